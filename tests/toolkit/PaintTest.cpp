#include "ToolkitTestSupport.h"

#include <climits>

using namespace testing_support;

namespace {

class PaintTest : public ToolkitTest {};

// Pixels of the buffer within rect that have exactly the colour.
int countPixels(const Nvx::Widget& widget, Gdiplus::ARGB color) {
    int count = 0;
    Gdiplus::Bitmap* buffer = widget.backBuffer();
    if (!buffer) return 0;
    for (UINT y = 0; y < buffer->GetHeight(); ++y) {
        for (UINT x = 0; x < buffer->GetWidth(); ++x) {
            Gdiplus::Color c;
            buffer->GetPixel(static_cast<INT>(x), static_cast<INT>(y), &c);
            if (c.GetValue() == color) ++count;
        }
    }
    return count;
}

// Pixels of a red hue: the red text colour blended over white.
int countReddish(const Nvx::Widget& widget) {
    int count = 0;
    Gdiplus::Bitmap* buffer = widget.backBuffer();
    for (INT y = 0; buffer && y < static_cast<INT>(buffer->GetHeight()); ++y) {
        for (INT x = 0; x < static_cast<INT>(buffer->GetWidth()); ++x) {
            Gdiplus::Color c;
            buffer->GetPixel(x, y, &c);
            if (c.GetR() > c.GetG() + 0x20 && c.GetG() == c.GetB()) ++count;
        }
    }
    return count;
}

// The bounding box of the pixels that are not the colour.
RECT boxOfOthers(const Nvx::Widget& widget, Gdiplus::ARGB color) {
    RECT box{INT_MAX, INT_MAX, -1, -1};
    Gdiplus::Bitmap* buffer = widget.backBuffer();
    for (INT y = 0; buffer && y < static_cast<INT>(buffer->GetHeight()); ++y) {
        for (INT x = 0; x < static_cast<INT>(buffer->GetWidth()); ++x) {
            Gdiplus::Color c;
            buffer->GetPixel(x, y, &c);
            if (c.GetValue() == color) continue;
            if (x < box.left) box.left = x;
            if (y < box.top) box.top = y;
            if (x > box.right) box.right = x;
            if (y > box.bottom) box.bottom = y;
        }
    }
    return box;
}

TEST_F(PaintTest, BackBufferIsReusedAtTheSameSizeAndRebuiltAfterAResize) {
    auto probe = makeTopLevel(10, 10, 120, 80);
    EXPECT_EQ(probe->backBuffer(), nullptr);
    repaint(*probe);
    ASSERT_NE(probe->backBuffer(), nullptr);
    Gdiplus::Bitmap* first = probe->backBuffer();
    EXPECT_EQ(first->GetWidth(), 120u);
    EXPECT_EQ(first->GetHeight(), 80u);
    EXPECT_EQ(first->GetPixelFormat(), PixelFormat32bppPARGB);

    repaint(*probe);
    EXPECT_EQ(probe->paints, 2);
    EXPECT_EQ(probe->backBuffer(), first);

    probe->resize(150, 60);
    repaint(*probe);
    ASSERT_NE(probe->backBuffer(), first);
    EXPECT_EQ(probe->backBuffer()->GetWidth(), 150u);
    EXPECT_EQ(probe->backBuffer()->GetHeight(), 60u);
}

TEST_F(PaintTest, BufferKeepsWhatNeitherBackgroundNorContentCovers) {
    auto probe = makeTopLevel(10, 10, 40, 30);
    repaint(*probe);
    EXPECT_EQ(bufferPixel(*probe, 5, 5), 0u);  // a new buffer holds nothing
    probe->fill = 0xFF123456;
    repaint(*probe);
    probe->fill = 0;
    repaint(*probe);
    EXPECT_EQ(bufferPixel(*probe, 5, 5), 0xFF123456u);
}

TEST_F(PaintTest, BackgroundFillsTheClientAreaUnderTheContent) {
    auto probe = makeTopLevel(10, 10, 64, 48);
    probe->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFF00C000)));
    repaint(*probe);
    for (POINT p : {POINT{0, 0}, POINT{63, 0}, POINT{0, 47}, POINT{63, 47}, POINT{30, 20}}) {
        EXPECT_EQ(bufferPixel(*probe, p.x, p.y), 0xFF00C000u) << p.x << "," << p.y;
    }
    // The content is drawn over it, and a new background replaces the old one.
    probe->fill = 0xFF0000FF;
    repaint(*probe);
    EXPECT_EQ(bufferPixel(*probe, 30, 20), 0xFF0000FFu);
    probe->fill = 0;
    probe->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFFFFFFFF)));
    repaint(*probe);
    EXPECT_EQ(bufferPixel(*probe, 30, 20), 0xFFFFFFFFu);
}

TEST_F(PaintTest, WindowShowsTheBuffer) {
    auto probe = makeTopLevel(200, 200, 40, 40);
    probe->fill = 0xFF2040C0;
    repaint(*probe);
    HDC dc = GetDC(probe->hwnd());
    COLORREF shown = GetPixel(dc, 20, 20);
    ReleaseDC(probe->hwnd(), dc);
    EXPECT_EQ(shown, RGB(0x20, 0x40, 0xC0));
}

class LabelPaintTest : public ToolkitTest {
protected:
    std::unique_ptr<Probe> parent;
    Nvx::Label* label = nullptr;

    void SetUp() override {
        ToolkitTest::SetUp();
        parent = makeTopLevel(100, 100, 400, 200);
        label = new Nvx::Label(parent.get());
        label->move(10, 10);
        label->resize(300, 80);
        label->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFFFFFFFF)));
    }
    void TearDown() override {
        parent.reset();
        ToolkitTest::TearDown();
    }
};

TEST_F(LabelPaintTest, NewLabelIsAnEmptyVisibleChildWithItsOwnText) {
    Nvx::Label fresh(parent.get());
    ASSERT_NE(fresh.hwnd(), nullptr);
    EXPECT_EQ(GetWindowLongW(fresh.hwnd(), GWL_STYLE) & (WS_CHILD | WS_VISIBLE),
              static_cast<LONG>(WS_CHILD | WS_VISIBLE));
    EXPECT_EQ(GetParent(fresh.hwnd()), parent->hwnd());
    EXPECT_EQ(fresh.pixelSize().width, 0);
    ASSERT_NE(fresh.font(), nullptr);
    EXPECT_EQ(fresh.font()->GetSize(), 8.0f);
    EXPECT_EQ(fresh.font()->GetUnit(), Gdiplus::UnitPixel);
    // The label keeps its text and mirrors it into the window text, which is
    // what screen readers read.
    fresh.setText(L"(checking...)");
    EXPECT_EQ(fresh.text(), L"(checking...)");
    EXPECT_EQ(GetWindowTextLengthW(fresh.hwnd()), 13);
}

TEST_F(LabelPaintTest, TextIsDrawnInItsColourWithTheAvailableFonts) {
    struct Case {
        const wchar_t* family;  // null: the label's default font
        float size;
        bool solidStrokes;  // large enough for pixels of the full text colour
    } cases[] = {{nullptr, 8.0f, false}, {L"Arial", 24.0f, true}, {L"Verdana", 16.0f, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family ? c.family : L"default");
        if (c.family) {
            Gdiplus::FontFamily family(c.family, nullptr);
            ASSERT_EQ(family.GetLastStatus(), Gdiplus::Ok);
            label->setFont(Gdiplus::Font(&family, c.size, Gdiplus::FontStyleBold, Gdiplus::UnitPixel));
        }
        label->setColor(Gdiplus::Color(0xFFD00000));
        label->setText(L"MMM WWW");
        repaint(*label);
        if (c.solidStrokes) {
            EXPECT_GT(countPixels(*label, 0xFFD00000), 4);
        }
        EXPECT_GT(countReddish(*label), 4);
        // Anti-aliased: edge pixels are blends, neither the text nor the background.
        const int total = 300 * 80;
        const int white = countPixels(*label, 0xFFFFFFFF);
        const int red = countPixels(*label, 0xFFD00000);
        EXPECT_GT(total - white - red, 0);
        // The default format starts at the top left.
        RECT box = boxOfOthers(*label, 0xFFFFFFFF);
        EXPECT_LT(box.left, 10);
        EXPECT_LT(box.top, 12);
    }
}

TEST_F(LabelPaintTest, NewTextAppearsOnlyAfterInvalidate) {
    label->setColor(Gdiplus::Color(0xFF000000));
    label->setText(L"");
    repaint(*label);
    EXPECT_EQ(countPixels(*label, 0xFFFFFFFF), 300 * 80);
    label->setText(L"MMMM");
    UpdateWindow(label->hwnd());
    EXPECT_EQ(countPixels(*label, 0xFFFFFFFF), 300 * 80);
    label->invalidate(false, nullptr);
    UpdateWindow(label->hwnd());
    EXPECT_LT(countPixels(*label, 0xFFFFFFFF), 300 * 80);
}

TEST_F(LabelPaintTest, LabelWithoutFontDrawsNothing) {
    Gdiplus::FontFamily missing(L"No Such Face At All", nullptr);
    label->setFont(Gdiplus::Font(&missing, 12.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel));
    EXPECT_EQ(label->font(), nullptr);
    label->setText(L"MMMM");
    repaint(*label);
    EXPECT_EQ(countPixels(*label, 0xFFFFFFFF), 300 * 80);
}

TEST_F(LabelPaintTest, ButtonCentresItsTextOverItsFill) {
    auto* button = new Nvx::Button(parent.get());
    button->move(20, 100);
    button->resize(200, 50);
    Gdiplus::FontFamily family(L"Verdana", nullptr);
    button->setFont(Gdiplus::Font(&family, 16.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel));
    button->setColor(Gdiplus::Color(0xFFFFFFFF));
    button->setText(L"Close");
    repaint(*button);
    EXPECT_EQ(bufferPixel(*button, 1, 1), Nvx::Button::NormalFill);
    RECT box = boxOfOthers(*button, Nvx::Button::NormalFill);
    ASSERT_GE(box.right, box.left);
    const int centreX = (box.left + box.right) / 2;
    const int centreY = (box.top + box.bottom) / 2;
    EXPECT_NEAR(centreX, 100, 4);
    EXPECT_NEAR(centreY, 25, 4);
    wchar_t className[64] = {};
    GetClassNameW(button->hwnd(), className, 64);
    EXPECT_STREQ(className, L"Nvx_AbstractButton");
}

}  // namespace
