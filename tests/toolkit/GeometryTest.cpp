#include "ToolkitTestSupport.h"

#include <climits>
#include <cmath>

using namespace testing_support;

namespace {

RECT windowRect(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

TEST(ScaleConversionTest, TruncatesTowardZeroAndPassesDefaultUnscaled) {
    const int def = static_cast<int>(CW_USEDEFAULT);
    struct Case {
        int value;
        float scale;
        int pixels;
    } cases[] = {
        {8, 1.25f, 10},
        {10, 1.25f, 12},
        {650, 1.25f, 812},
        {232, 1.5f, 348},
        {-7, 1.25f, -8},
        {7, 1.25f, 8},
        {0, 3.0f, 0},
        {def, 1.25f, def},
        {def, 0.5f, def},
        {INT_MAX, 2.0f, INT_MAX},
        {INT_MIN + 1, 2.0f, INT_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Nvx::toPixels(c.value, c.scale), c.pixels) << c.value << " at " << c.scale;
    }
    EXPECT_EQ(Nvx::toLogical(812, 1.25f), 649);
    EXPECT_EQ(Nvx::toLogical(975, 1.5f), 650);
    EXPECT_EQ(Nvx::toLogical(-10, 1.5f), -6);
}

class GeometryTest : public ToolkitTest {};

TEST_F(GeometryTest, ScaledCreateMoveResizeAndSize) {
    auto probe = makeTopLevel(8, 10, 650, 232, 1.25f);
    RECT r = windowRect(probe->hwnd());
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 12);
    EXPECT_EQ(r.right - r.left, 812);
    EXPECT_EQ(r.bottom - r.top, 290);

    probe->move(40, 80);
    probe->resize(100, 20);
    r = windowRect(probe->hwnd());
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.right - r.left, 125);
    EXPECT_EQ(r.bottom - r.top, 25);
    probe->move(8, 10);
    r = windowRect(probe->hwnd());
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 12);

    probe->resize(650, 232);
    EXPECT_EQ(probe->pixelSize().width, 812);
    EXPECT_EQ(probe->size().width, 649);
    EXPECT_EQ(probe->size().height, 232);
    Gdiplus::RectF client = probe->clientRect();
    EXPECT_EQ(client.X, 0.0f);
    EXPECT_EQ(client.Width, 812.0f);
    EXPECT_EQ(client.Height, 290.0f);
}

TEST_F(GeometryTest, CenterOnScreen) {
    ASSERT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
    ASSERT_EQ(GetSystemMetrics(SM_CYSCREEN), 1080);
    auto probe = makeTopLevel(3, 7, 650, 232);
    probe->centerOnScreen();
    RECT r = windowRect(probe->hwnd());
    EXPECT_EQ(r.left, 635);
    EXPECT_EQ(r.top, 424);
    EXPECT_EQ(r.right - r.left, 650);
    // Odd remainders truncate.
    probe->resize(651, 233);
    probe->centerOnScreen();
    r = windowRect(probe->hwnd());
    EXPECT_EQ(r.left, 634);
    EXPECT_EQ(r.top, 423);
}

TEST_F(GeometryTest, DefaultCoordinatesOfAChildPassUnscaled) {
    auto parent = makeTopLevel(100, 100, 200, 200);
    parent->setScale(0.5f);
    auto* child = new Probe(parent.get());
    const int def = static_cast<int>(CW_USEDEFAULT);
    ASSERT_TRUE(
        child->create(L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, def, def, def, def, nullptr, parent.get()));
    // Scaled, the default would have become a real, far-off position.
    RECT r = windowRect(child->hwnd());
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.right - r.left, 0);
    EXPECT_EQ(r.bottom - r.top, 0);
}

TEST_F(GeometryTest, ChildCopiesTheParentsScaleOnce) {
    auto parent = makeTopLevel(0, 0, 100, 100);
    parent->setScale(1.5f);
    auto* child = new Probe(parent.get());
    EXPECT_EQ(child->scale(), 1.5f);
    parent->setScale(2.0f);
    EXPECT_EQ(child->scale(), 1.5f);
    Probe orphan;
    EXPECT_EQ(orphan.scale(), 1.0f);
}

TEST_F(GeometryTest, ScaleMustBeFiniteAndPositive) {
    Probe probe;
    probe.setScale(1.75f);
    for (float bad : {0.0f, -1.0f, std::nanf(""), INFINITY}) {
        probe.setScale(bad);
        EXPECT_EQ(probe.scale(), 1.75f) << bad;
    }
}

TEST_F(GeometryTest, RemovedFrameLeavesTheWholeWindowAsClientArea) {
    // The main window's style.
    auto probe = makeTopLevel(10, 10, 650, 232, 1.0f, WS_POPUP | WS_OVERLAPPEDWINDOW);
    probe->removeFrame();
    const LONG style = GetWindowLongW(probe->hwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MAXIMIZEBOX | WS_MAXIMIZE), 0);
    RECT client{};
    GetClientRect(probe->hwnd(), &client);
    EXPECT_EQ(client.right, 650);
    EXPECT_EQ(client.bottom, 232);
    POINT origin{0, 0};
    ClientToScreen(probe->hwnd(), &origin);
    RECT r = windowRect(probe->hwnd());
    EXPECT_EQ(origin.x, r.left);
    EXPECT_EQ(origin.y, r.top);
}

TEST_F(GeometryTest, WidgetWithoutWindowDoesNothing) {
    auto other = makeTopLevel(300, 300, 80, 80);
    UpdateWindow(other->hwnd());
    RECT dirty{};
    ASSERT_FALSE(GetUpdateRect(other->hwnd(), &dirty, FALSE));

    Probe probe;
    probe.invalidate(true, nullptr);
    probe.invalidate(false, nullptr);
    probe.move(1, 2);
    probe.resize(3, 4);
    probe.centerOnScreen();
    probe.removeFrame();
    probe.setText(L"x");
    probe.setFont(nullptr);
    probe.close();
    EXPECT_EQ(probe.text(), L"");
    EXPECT_EQ(probe.size().width, 0);
    EXPECT_EQ(probe.pixelSize().height, 0);
    EXPECT_EQ(probe.clientRect().Width, 0.0f);
    EXPECT_EQ(probe.callDefault(WM_GETTEXTLENGTH, 0, 0), 0);
    // No other window was asked to repaint.
    EXPECT_FALSE(GetUpdateRect(other->hwnd(), &dirty, FALSE));
}

TEST_F(GeometryTest, InvalidateWithParentMarksTheParentsAreaUnderTheChild) {
    auto parent = makeTopLevel(0, 0, 200, 200);
    auto* child = new Probe(parent.get());
    ASSERT_TRUE(
        child->create(L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, 20, 30, 50, 40, nullptr, parent.get()));
    UpdateWindow(parent->hwnd());
    UpdateWindow(child->hwnd());
    child->invalidate(true, nullptr);
    RECT dirty{};
    ASSERT_TRUE(GetUpdateRect(parent->hwnd(), &dirty, FALSE));
    EXPECT_EQ(dirty.left, 20);
    EXPECT_EQ(dirty.top, 30);
    EXPECT_EQ(dirty.right, 70);
    EXPECT_EQ(dirty.bottom, 70);
    ASSERT_TRUE(GetUpdateRect(child->hwnd(), &dirty, FALSE));
    EXPECT_EQ(dirty.right, 50);

    UpdateWindow(parent->hwnd());
    UpdateWindow(child->hwnd());
    RECT part{5, 5, 10, 10};
    child->invalidate(false, &part);
    EXPECT_FALSE(GetUpdateRect(parent->hwnd(), &dirty, FALSE));
    ASSERT_TRUE(GetUpdateRect(child->hwnd(), &dirty, FALSE));
    EXPECT_EQ(dirty.left, 5);
    EXPECT_EQ(dirty.right, 10);
}

class OwnershipTest : public ToolkitTest {};

TEST_F(OwnershipTest, ParentDeletesItsChildren) {
    int deletions = 0;
    auto* parent = new Probe(nullptr, &deletions);
    auto* child = new Probe(parent, &deletions);
    auto* grandchild = new Probe(child, &deletions);
    EXPECT_EQ(parent->children().count(child), 1u);
    EXPECT_EQ(child->parent(), parent);
    EXPECT_EQ(grandchild->parent(), child);
    delete parent;
    EXPECT_EQ(deletions, 3);
}

TEST_F(OwnershipTest, ChildDeletedFirstLeavesItsParent) {
    int deletions = 0;
    auto parent = makeTopLevel(0, 0, 100, 100);
    auto* first = new Probe(parent.get(), &deletions);
    auto* second = new Probe(parent.get(), &deletions);
    ASSERT_TRUE(first->create(L"Nvx_AbstractControl", L"", WS_CHILD, 0, 0, 10, 10, nullptr, parent.get()));
    HWND firstWindow = first->hwnd();
    delete first;
    EXPECT_EQ(deletions, 1);
    EXPECT_FALSE(IsWindow(firstWindow));
    EXPECT_EQ(parent->children().count(first), 0u);
    EXPECT_EQ(parent->children().count(second), 1u);
    parent.reset();
    EXPECT_EQ(deletions, 2);
}

TEST_F(OwnershipTest, DeletingAParentDestroysTheChildWindowsOnce) {
    auto parent = makeTopLevel(0, 0, 100, 100);
    auto* child = new Probe(parent.get());
    ASSERT_TRUE(child->create(L"Nvx_AbstractControl", L"", WS_CHILD, 0, 0, 10, 10, nullptr, parent.get()));
    int childDestroys = 0;
    child->addHandler(WM_DESTROY, [&](UINT, WPARAM, LPARAM) -> LRESULT {
        ++childDestroys;
        return 0;
    });
    HWND childWindow = child->hwnd();
    parent.reset();
    // The child still existed when Win32 destroyed its window with the parent's.
    EXPECT_EQ(childDestroys, 1);
    EXPECT_FALSE(IsWindow(childWindow));
}

}  // namespace
