#include "ToolkitTestSupport.h"

#include "toolkit/Theme.h"

#include <algorithm>
#include <climits>

using namespace testing_support;

namespace {

class PaintTest : public ToolkitTest {};

// Pixels of a red hue: the red text colour blended over white.
int countReddish(const Shot& shot) {
    return static_cast<int>(std::count_if(shot.pixels.begin(), shot.pixels.end(), [](Gdiplus::ARGB argb) {
        const Gdiplus::Color c(argb);
        return c.GetR() > c.GetG() + 0x20 && c.GetG() == c.GetB();
    }));
}

// The bounding box of the pixels that are not the colour.
RECT boxOfOthers(const Shot& shot, Gdiplus::ARGB color) {
    RECT box{INT_MAX, INT_MAX, -1, -1};
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            if (shot.at(x, y) == color) continue;
            if (x < box.left) box.left = x;
            if (y < box.top) box.top = y;
            if (x > box.right) box.right = x;
            if (y > box.bottom) box.bottom = y;
        }
    }
    return box;
}

TEST_F(PaintTest, TopLevelWithoutBackgroundShowsTheWindowColourUnderItsContent) {
    auto probe = makeTopLevel(10, 10, 40, 30);
    const Gdiplus::ARGB window = Nvx::systemColor(COLOR_WINDOW);
    repaint(*probe);
    EXPECT_EQ(shoot(*probe).count(window), 40 * 30);
    probe->fill = 0xFF123456;
    repaint(*probe);
    EXPECT_EQ(shoot(*probe).count(0xFF123456), 40 * 30);
    // Nothing of the last paint is kept.
    probe->fill = 0;
    repaint(*probe);
    EXPECT_EQ(shoot(*probe).count(window), 40 * 30);
}

TEST_F(PaintTest, BackgroundFillsTheClientAreaUnderTheContent) {
    auto probe = makeTopLevel(10, 10, 64, 48);
    probe->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFF00C000)));
    repaint(*probe);
    const Shot shown = shoot(*probe);
    for (POINT p : {POINT{0, 0}, POINT{63, 0}, POINT{0, 47}, POINT{63, 47}, POINT{30, 20}}) {
        EXPECT_EQ(shown.at(p.x, p.y), 0xFF00C000u) << p.x << "," << p.y;
    }
    // The content is drawn over it, and a new background replaces the old one.
    probe->fill = 0xFF0000FF;
    repaint(*probe);
    EXPECT_EQ(shoot(*probe).at(30, 20), 0xFF0000FFu);
    probe->fill = 0;
    probe->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFFFFFFFF)));
    repaint(*probe);
    EXPECT_EQ(shoot(*probe).at(30, 20), 0xFFFFFFFFu);
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

// A parent's paint leaves its children's areas to them: it never draws over a
// child for the child to draw again.
TEST_F(PaintTest, ParentPaintLeavesItsChildrensAreas) {
    auto parent = makeTopLevel(10, 10, 120, 80);
    parent->fill = 0xFF0000C0;
    auto* child = new Probe(parent.get());
    ASSERT_TRUE(
        child->create(L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, 20, 20, 40, 30, nullptr, parent.get()));
    child->fill = 0xFFC00000;
    repaint(*parent);
    repaint(*child);
    child->fill = 0xFF00C000;  // shows only when the child itself paints
    for (int i = 0; i < 3; ++i) {
        InvalidateRect(parent->hwnd(), nullptr, FALSE);  // the child's area too
        ValidateRect(child->hwnd(), nullptr);
        UpdateWindow(parent->hwnd());
    }
    const Shot shown = shoot(*parent);
    EXPECT_EQ(shown.count(0xFFC00000), 40 * 30);
    EXPECT_EQ(shown.count(0xFF0000C0), 120 * 80 - 40 * 30);
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
        const Shot shown = shoot(*label);
        if (c.solidStrokes) {
            EXPECT_GT(shown.count(0xFFD00000), 4);
        }
        EXPECT_GT(countReddish(shown), 4);
        // Anti-aliased: edge pixels are blends, neither the text nor the background.
        const int total = 300 * 80;
        EXPECT_GT(total - shown.count(0xFFFFFFFF) - shown.count(0xFFD00000), 0);
        // The default format starts at the top left.
        RECT box = boxOfOthers(shown, 0xFFFFFFFF);
        EXPECT_LT(box.left, 10);
        EXPECT_LT(box.top, 12);
    }
}

TEST_F(LabelPaintTest, NewTextAppearsOnlyAfterInvalidate) {
    label->setColor(Gdiplus::Color(0xFF000000));
    label->setText(L"");
    repaint(*label);
    EXPECT_EQ(shoot(*label).count(0xFFFFFFFF), 300 * 80);
    label->setText(L"MMMM");
    UpdateWindow(label->hwnd());
    EXPECT_EQ(shoot(*label).count(0xFFFFFFFF), 300 * 80);
    label->invalidate(false, nullptr);
    UpdateWindow(label->hwnd());
    EXPECT_LT(shoot(*label).count(0xFFFFFFFF), 300 * 80);
}

TEST_F(LabelPaintTest, LabelWithoutFontDrawsNothing) {
    Gdiplus::FontFamily missing(L"No Such Face At All", nullptr);
    label->setFont(Gdiplus::Font(&missing, 12.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel));
    EXPECT_EQ(label->font(), nullptr);
    label->setText(L"MMMM");
    repaint(*label);
    EXPECT_EQ(shoot(*label).count(0xFFFFFFFF), 300 * 80);
}

// Without a background of its own a label shows its parent's drawing under its
// text: the same after the hundredth paint, and nothing of a text it no longer has.
TEST_F(LabelPaintTest, LabelWithoutBackgroundShowsItsParentAndNoOldText) {
    parent->fill = 0xFF0000C0;
    auto* bare = new Nvx::Label(parent.get());
    bare->move(10, 100);
    bare->resize(300, 60);
    Gdiplus::FontFamily family(L"Arial", nullptr);
    bare->setFont(Gdiplus::Font(&family, 24.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel));
    bare->setColor(Gdiplus::Color(0xFFFFFFFF));
    bare->setText(L"MMM WWW");
    repaint(*bare);
    const Shot first = shoot(*bare);
    EXPECT_GT(first.count(0xFFFFFFFF), 20);
    EXPECT_GT(first.count(0xFF0000C0), 300 * 60 / 2);
    for (int i = 0; i < 100; ++i) repaint(*bare);
    EXPECT_EQ(shoot(*bare).differences(first), 0);
    bare->setText(L"");
    repaint(*bare);
    EXPECT_EQ(shoot(*bare).count(0xFF0000C0), 300 * 60);
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
    const Shot shown = shoot(*button);
    EXPECT_EQ(shown.at(1, 1), Nvx::Button::NormalFill);
    RECT box = boxOfOthers(shown, Nvx::Button::NormalFill);
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
