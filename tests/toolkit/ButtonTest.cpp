#include "ToolkitTestSupport.h"

using namespace testing_support;

namespace {

// A button at (150, 150) on the screen, 200 x 50, on a 400 x 200 popup at (100, 100).
class ButtonTest : public ToolkitTest {
protected:
    static constexpr int Left = 150;
    static constexpr int Top = 150;
    static constexpr int Width = 200;
    static constexpr int Height = 50;

    std::unique_ptr<Probe> parent;
    Nvx::Button* button = nullptr;
    int clicks = 0;

    void SetUp() override {
        ToolkitTest::SetUp();
        parent = makeTopLevel(100, 100, 400, 200);
        button = new Nvx::Button(parent.get());
        button->move(50, 50);
        button->resize(Width, Height);
        button->setText(L"Copy to clipboard");
        button->onClick = [this] { ++clicks; };
        pumpFor(30);
    }
    void TearDown() override {
        parent.reset();
        ToolkitTest::TearDown();
    }

    // Moves the pointer to a point relative to the button's top left corner.
    void pointAt(int x, int y) { pointerTo(Left + x, Top + y); }
    Gdiplus::ARGB shownFill() {
        repaint(*button);
        return shoot(*button).at(2, 2);
    }
};

TEST_F(ButtonTest, ClickOutcomesByReleasePoint) {
    struct Case {
        const char* what;
        POINT release;  // relative to the button
        int clicks;
        bool hoveredAfter;
    } cases[] = {
        {"release where pressed", {100, 25}, 1, true},
        {"release at the top left corner", {0, 0}, 1, true},
        {"release at the last column and row", {Width - 1, Height - 1}, 1, true},
        {"release at x equal to the width", {Width, 25}, 0, false},
        {"release at y equal to the height", {100, Height}, 0, false},
        {"release far outside", {300, 120}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clicks = 0;
        pointAt(100, 25);
        ASSERT_TRUE(pumpUntil([&] { return button->hovered(); }));
        leftDown();
        ASSERT_TRUE(pumpUntil([&] { return button->pressed(); }));
        EXPECT_EQ(GetCapture(), button->hwnd());
        pointAt(c.release.x, c.release.y);
        leftUp();
        ASSERT_TRUE(pumpUntil([&] { return !button->pressed(); }));
        EXPECT_EQ(clicks, c.clicks);
        EXPECT_EQ(GetCapture(), nullptr);
        // Back to the hover or the normal colour.
        pumpUntil([&] { return button->hovered() == c.hoveredAfter; }, 1500);
        EXPECT_EQ(button->hovered(), c.hoveredAfter);
        EXPECT_EQ(shownFill(), c.hoveredAfter ? Nvx::Button::HoveredFill : Nvx::Button::NormalFill);
        pointerTo(1, 1);
        pumpUntil([&] { return !button->hovered(); }, 1500);
    }
}

TEST_F(ButtonTest, FillFollowsHoverAndPress) {
    EXPECT_EQ(shownFill(), Nvx::Button::NormalFill);
    pointAt(20, 20);
    ASSERT_TRUE(pumpUntil([&] { return button->hovered(); }));
    EXPECT_EQ(shownFill(), Nvx::Button::HoveredFill);
    leftDown();
    ASSERT_TRUE(pumpUntil([&] { return button->pressed(); }));
    EXPECT_EQ(shownFill(), Nvx::Button::PressedFill);
    // Held down, the button stays pressed after the pointer left it.
    pointerTo(Left + Width + 60, Top + Height + 60);
    pumpFor(300);
    EXPECT_TRUE(button->pressed());
    EXPECT_EQ(shownFill(), Nvx::Button::PressedFill);
    leftUp();
    ASSERT_TRUE(pumpUntil([&] { return !button->pressed(); }));
    ASSERT_TRUE(pumpUntil([&] { return !button->hovered(); }));
    EXPECT_EQ(shownFill(), Nvx::Button::NormalFill);
    EXPECT_EQ(clicks, 0);
}

TEST_F(ButtonTest, ReleaseWithoutAPressOnTheButtonFiresNothing) {
    // The press lands on the parent, next to the button.
    pointerTo(Left - 20, Top + 10);
    leftDown();
    pointAt(50, 25);
    pumpUntil([&] { return button->hovered(); });
    leftUp();
    pumpFor(100);
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(button->pressed());
    EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(ButtonTest, DoubleClickFiresTwice) {
    pointAt(60, 20);
    ASSERT_TRUE(pumpUntil([&] { return button->hovered(); }));
    leftDown();
    leftUp();
    leftDown();
    leftUp();
    ASSERT_TRUE(pumpUntil([&] { return clicks == 2; }));
    EXPECT_EQ(GetCapture(), nullptr);
    pumpFor(100);
    EXPECT_EQ(clicks, 2);
}

TEST_F(ButtonTest, EmptyActionDoesNothing) {
    button->onClick = nullptr;
    pointAt(60, 20);
    ASSERT_TRUE(pumpUntil([&] { return button->hovered(); }));
    leftDown();
    leftUp();
    ASSERT_TRUE(pumpUntil([&] { return !button->pressed(); }));
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(clicks, 0);
}

TEST_F(ButtonTest, ActionMayDestroyTheWholeWindow) {
    HWND parentWindow = parent->hwnd();
    button->onClick = [this] {
        ++clicks;
        parent->close();
    };
    pointAt(60, 20);
    ASSERT_TRUE(pumpUntil([&] { return button->hovered(); }));
    leftDown();
    leftUp();
    ASSERT_TRUE(pumpUntil([&] { return clicks == 1; }));
    EXPECT_FALSE(IsWindow(parentWindow));
    EXPECT_EQ(button->hwnd(), nullptr);
    EXPECT_EQ(parent->hwnd(), nullptr);
    EXPECT_FALSE(button->pressed());
    EXPECT_EQ(GetCapture(), nullptr);
}

}  // namespace
