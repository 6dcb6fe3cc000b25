#include "ToolkitTestSupport.h"

using namespace testing_support;

namespace {

class RoutingTest : public ToolkitTest {};

TEST_F(RoutingTest, MessagesBeforeCreateGetTheSystemDefault) {
    Probe probe;
    // Answering 0 to WM_NCCREATE would make creation fail, so a handler that
    // ran there would show twice.
    for (UINT m : {WM_NCCREATE, WM_GETMINMAXINFO, WM_NCCALCSIZE}) probe.record(m);
    HWND atCreate = nullptr;
    probe.addHandler(WM_CREATE, [&](UINT, WPARAM, LPARAM) -> LRESULT {
        atCreate = probe.hwnd();
        return 0;
    });
    ASSERT_TRUE(probe.create(L"Nvx_AbstractControl", L"t", WS_POPUP, 0, 0, 40, 40, nullptr, nullptr));
    EXPECT_TRUE(probe.seen.empty());
    EXPECT_NE(atCreate, nullptr);
    EXPECT_EQ(atCreate, probe.hwnd());
    EXPECT_EQ(GetWindowLongPtrW(probe.hwnd(), GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&probe));
}

TEST_F(RoutingTest, WidgetWithoutCreateHandlerIsCreated) {
    Probe probe;
    ASSERT_TRUE(probe.create(L"Nvx_AbstractControl", L"t", WS_POPUP, 0, 0, 40, 40, nullptr, nullptr));
    EXPECT_TRUE(IsWindow(probe.hwnd()));
}

TEST_F(RoutingTest, DestroyReachesTheHandlerDetachedAndNothingAfterIt) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    HWND window = probe->hwnd();
    LONG_PTR slotAtDestroy = -1;
    HWND hwndAtDestroy = nullptr;
    probe->addHandler(WM_DESTROY, [&](UINT m, WPARAM, LPARAM) -> LRESULT {
        probe->seen.push_back(m);
        slotAtDestroy = GetWindowLongPtrW(window, GWLP_USERDATA);
        hwndAtDestroy = probe->hwnd();
        return 0;
    });
    probe->record(WM_NCDESTROY);
    DestroyWindow(window);
    EXPECT_EQ(probe->seen, std::vector<UINT>{WM_DESTROY});
    EXPECT_EQ(slotAtDestroy, 0);
    // The handler still sees its window; afterwards the widget has forgotten it.
    EXPECT_EQ(hwndAtDestroy, window);
    EXPECT_EQ(probe->hwnd(), nullptr);
}

TEST_F(RoutingTest, HandlersAreGoneWhileTheWidgetIsDestroyed) {
    int destroysSeen = 0;
    auto probe = makeTopLevel(0, 0, 40, 40);
    HWND window = probe->hwnd();
    probe->addHandler(WM_DESTROY, [&](UINT, WPARAM, LPARAM) -> LRESULT {
        ++destroysSeen;
        return 0;
    });
    probe.reset();
    EXPECT_EQ(destroysSeen, 0);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(RoutingTest, FirstRegistrationIsKept) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    probe->addHandler(WM_APP, [](UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
    probe->addHandler(WM_APP, [](UINT, WPARAM, LPARAM) -> LRESULT { return 2; });
    EXPECT_EQ(SendMessageW(probe->hwnd(), WM_APP, 0, 0), 1);
    // WM_PAINT keeps the widget's own handler, registered at construction.
    probe->addHandler(WM_PAINT, [](UINT, WPARAM, LPARAM) -> LRESULT { return 3; });
    repaint(*probe);
    EXPECT_EQ(probe->paints, 1);
}

TEST_F(RoutingTest, EmptyHandlerIsNotStored) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    probe->addHandler(WM_APP + 1, Nvx::MessageHandler());
    EXPECT_EQ(probe->handlers().count(WM_APP + 1), 0u);
    EXPECT_EQ(SendMessageW(probe->hwnd(), WM_APP + 1, 0, 0), 0);
}

TEST_F(RoutingTest, HandlerResultIsTheProceduresResultAndParametersArrive) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    probe->addHandler(WM_APP, [](UINT m, WPARAM w, LPARAM l) -> LRESULT {
        return static_cast<LRESULT>(m) * 1000000 + static_cast<LRESULT>(w) * 1000 + l;
    });
    EXPECT_EQ(SendMessageW(probe->hwnd(), WM_APP, 12, 34), static_cast<LRESULT>(WM_APP) * 1000000 + 12034);
    // Without a handler the default procedure answers.
    EXPECT_EQ(SendMessageW(probe->hwnd(), WM_GETTEXTLENGTH, 0, 0), 5);  // "probe"
    probe->addHandler(WM_GETTEXTLENGTH,
                      [&](UINT m, WPARAM w, LPARAM l) -> LRESULT { return probe->callDefault(m, w, l) + 100; });
    EXPECT_EQ(SendMessageW(probe->hwnd(), WM_GETTEXTLENGTH, 0, 0), 105);
}

TEST_F(RoutingTest, CreateTwiceReturnsFalseAndKeepsTheWindow) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    HWND first = probe->hwnd();
    probe->record(WM_CREATE);
    EXPECT_FALSE(probe->create(L"Nvx_AbstractControl", L"again", WS_POPUP, 0, 0, 40, 40, nullptr, nullptr));
    EXPECT_EQ(probe->hwnd(), first);
    EXPECT_TRUE(probe->seen.empty());
}

TEST_F(RoutingTest, WindowDestroyedFromOutsideIsForgotten) {
    auto parent = makeTopLevel(0, 0, 100, 100);
    auto* child = new Probe(parent.get());
    ASSERT_TRUE(child->create(L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, 0, 0, 20, 20, nullptr, parent.get()));
    HWND parentWindow = parent->hwnd();
    parent->close();
    EXPECT_FALSE(IsWindow(parentWindow));
    EXPECT_EQ(parent->hwnd(), nullptr);
    EXPECT_EQ(child->hwnd(), nullptr);
    // A new window may get the old handle value; deleting the widgets must not touch it.
    auto other = makeTopLevel(0, 0, 30, 30);
    parent.reset();
    EXPECT_TRUE(IsWindow(other->hwnd()));
}

TEST_F(RoutingTest, TextOfTheWindowIsCappedAt1023Characters) {
    auto probe = makeTopLevel(0, 0, 40, 40);
    probe->setText(L"Motion Platform");
    EXPECT_EQ(probe->text(), L"Motion Platform");
    probe->setText(std::wstring(3000, L'x'));
    EXPECT_EQ(probe->text(), std::wstring(1023, L'x'));
}

}  // namespace
