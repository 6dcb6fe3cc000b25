// The main window and its helpers in the test process: layout, scale factors,
// the logo resource, the clipboard, the check and the paint.

#include "ToolkitTestSupport.h"
#include "app/AppSupport.h"
#include "app/MainWindow.h"
#include "discovery/HidEnumeration.h"
#include "discovery/WinUsbEnumeration.h"
#include "TestPipeServer.h"
#include "TestSupport.h"
#include "diagnostics/Log.h"
#include "toolkit/Theme.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

using namespace app;
using namespace testing_support;
using namespace platform;

using testing_support::clipboardText;
using testing_support::makeTopLevel;
using testing_support::Probe;
using testing_support::pumpFor;
using testing_support::ToolkitTest;

namespace {

POINT positionInParent(const Nvx::Widget& widget) {
    RECT r;
    GetWindowRect(widget.hwnd(), &r);
    POINT p{r.left, r.top};
    ScreenToClient(GetParent(widget.hwnd()), &p);
    return p;
}

using Layout = ToolkitTest;

TEST_F(Layout, RowsPlaceWidgetsLeftToRightAndCentred) {
    auto container = makeTopLevel(0, 0, 650, 232);
    auto* a = new Probe(container.get());
    auto* b = new Probe(container.get());
    for (Probe* p : {a, b})
        ASSERT_TRUE(
            p->create(L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, 0, 0, 200, 50, nullptr, container.get()));

    layoutRow(10, 135, 10, {a, b});
    EXPECT_EQ(positionInParent(*a).x, 10);
    EXPECT_EQ(positionInParent(*b).x, 220);
    EXPECT_EQ(positionInParent(*b).y, 135);

    layoutCentredRow(*container, 180, 10, {a, b});
    EXPECT_EQ(positionInParent(*a).x, 120);
    EXPECT_EQ(positionInParent(*b).x, 330);
    EXPECT_EQ(positionInParent(*a).y, 180);

    // The gap of a 1.5 screen: 15 logical units; odd totals truncate.
    layoutCentredRow(*container, 0, 15, {a, b});
    EXPECT_EQ(positionInParent(*a).x, 117);  // (650 + 15 - 430) / 2
    EXPECT_EQ(positionInParent(*b).x, 332);

    layoutCentredRow(*container, 0, 10, {});  // nothing to place, nothing happens
}

TEST(ScaleFactor, KnownDeviceFactorsOnly) {
    const struct {
        int percentage;
        float scale;
    } cases[] = {{100, 1.0f}, {120, 1.2f}, {125, 1.25f}, {150, 1.5f}, {175, 1.75f}, {200, 2.0f},
                 {500, 5.0f}, {0, 1.0f},   {110, 1.0f},  {130, 1.0f}, {600, 1.0f},  {-150, 1.0f}};
    for (const auto& c : cases) EXPECT_FLOAT_EQ(scaleForDeviceFactor(c.percentage), c.scale) << c.percentage;
    // Under Wine the primary monitor reports 100: no scaling.
    EXPECT_FLOAT_EQ(monitorScaleFactor(), 1.0f);
    EXPECT_FLOAT_EQ(monitorScaleFactor(), 1.0f);
    EXPECT_FLOAT_EQ(windowScaleFactor(GetDesktopWindow()), 1.0f);
    // A window's DPI: 96 is 1.0; a DPI no display gives is refused (0).
    const struct {
        unsigned dpi;
        float scale;
    } dpis[] = {{96, 1.0f}, {120, 1.25f}, {144, 1.5f}, {480, 5.0f}, {48, 0.5f}, {47, 0.0f}, {0, 0.0f}, {481, 0.0f}};
    for (const auto& c : dpis) EXPECT_FLOAT_EQ(scaleForDpi(c.dpi), c.scale) << c.dpi;
}

using Logo = ToolkitTest;

TEST_F(Logo, DecodesTheResourceIntoABitmapOfItsOwn) {
    std::unique_ptr<Gdiplus::Bitmap> logo = loadPngResource(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(102), L"PNG");
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(logo->GetWidth(), 91u);
    EXPECT_EQ(logo->GetHeight(), 30u);
    Gdiplus::Color corner, badge;
    logo->GetPixel(0, 0, &corner);
    logo->GetPixel(12, 15, &badge);
    EXPECT_EQ(corner.GetA(), 0) << "transparent outside the badge";
    EXPECT_EQ(badge.GetA(), 255);
}

TEST_F(Logo, MissingOrBrokenResourceGivesNull) {
    HMODULE self = GetModuleHandleW(nullptr);
    EXPECT_EQ(loadPngResource(self, nullptr, L"PNG"), nullptr);
    EXPECT_EQ(loadPngResource(self, MAKEINTRESOURCEW(102), nullptr), nullptr);
    EXPECT_EQ(loadPngResource(self, MAKEINTRESOURCEW(101), L"PNG"), nullptr);
    EXPECT_EQ(loadPngResource(self, MAKEINTRESOURCEW(102), L"JPG"), nullptr);
    EXPECT_EQ(loadPngResource(self, MAKEINTRESOURCEW(103), L"PNG"), nullptr);
}

TEST(Clipboard, PutsUnicodeTextUpToTheFirstNul) {
    EXPECT_TRUE(setClipboardText(L"ABCDEF-GHIJKL"));
    EXPECT_EQ(clipboardText(), L"ABCDEF-GHIJKL");
    EXPECT_TRUE(setClipboardText(std::wstring(L"AB\0CD", 5)));
    EXPECT_EQ(clipboardText(), L"AB");
    EXPECT_TRUE(setClipboardText(L""));
    EXPECT_EQ(clipboardText(), L"");
}

// Another thread holds the clipboard from construction for holdMs, or until
// the holder goes.
class ClipboardHolder {
public:
    explicit ClipboardHolder(DWORD holdMs) : thread_([this, holdMs] { hold(holdMs); }) {
        while (stage_ == 0) Sleep(1);
    }
    ~ClipboardHolder() {
        release_ = true;
        thread_.join();
    }
    bool holding() const { return stage_ == 1; }

private:
    void hold(DWORD holdMs) {
        HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        const bool opened = OpenClipboard(owner) != FALSE;
        stage_ = opened ? 1 : -1;
        const ULONGLONG end = GetTickCount64() + holdMs;
        while (!release_ && GetTickCount64() < end) Sleep(1);
        if (opened) CloseClipboard();
        DestroyWindow(owner);
    }
    std::atomic<int> stage_{0};
    std::atomic<bool> release_{false};
    std::thread thread_;  // last: it starts once the flags exist
};

TEST(Clipboard, HeldClipboardIsLeftAlone) {
    ASSERT_TRUE(setClipboardText(L"before"));
    {
        ClipboardHolder holder(INFINITE);
        ASSERT_TRUE(holder.holding());
        EXPECT_FALSE(setClipboardText(L"after"));
    }
    EXPECT_EQ(clipboardText(), L"before") << "neither emptied nor replaced";
}

TEST(Clipboard, ClipboardHeldForAMomentIsWaitedFor) {
    {
        ClipboardHolder holder(ClipboardRetryMs / 3);
        ASSERT_TRUE(holder.holding());
        EXPECT_TRUE(setClipboardText(L"after a moment"));
    }
    EXPECT_EQ(clipboardText(), L"after a moment");
}

class MainWindowTest : public ToolkitTest {
protected:
    void TearDown() override {
        window.reset();
        ToolkitTest::TearDown();
    }
    // A window whose checks run only when the test asks.
    void makeWindow(CheckWorker::Check check = checkMotionUnits) {
        window = std::make_unique<MainWindow>(std::move(check));
        ASSERT_NE(window->hwnd(), nullptr);
        KillTimer(window->hwnd(), CheckTimerId);
    }
    // One check on the worker, its result shown.
    void checkNow() {
        const unsigned before = window->completedChecks();
        window->onTimer(WM_TIMER, 0, 0);
        ASSERT_TRUE(testing_support::waitUntil([&] { return window->completedChecks() > before; }, 10000));
    }
    std::unique_ptr<MainWindow> window;
};

// A start that is not first waits for the first one's window or for the first
// one to end; a first one that ends (its mark abandoned) hands the mark over.
TEST(SingleInstance, LaterStartTakesOverOnceTheFirstHasEnded) {
    const std::wstring name = L"Kelvane_SingleInstanceTest_" + std::to_wstring(GetCurrentProcessId());
    HANDLE firstMayEnd = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE firstIsUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread first([&] {
        SingleInstance mark(name);
        EXPECT_TRUE(mark.first());
        SetEvent(firstIsUp);
        WaitForSingleObject(firstMayEnd, 10000);
    });
    WaitForSingleObject(firstIsUp, 10000);

    SingleInstance later(name);
    EXPECT_FALSE(later.first());
    // Neither a window nor an end: the wait runs out.
    EXPECT_FALSE(later.waitForTurn(L"Kelvane_NoSuchWindowClass", 200));
    EXPECT_FALSE(later.first());
    // The first one's thread ends without letting go: the mark is abandoned and taken.
    SetEvent(firstMayEnd);
    first.join();
    EXPECT_TRUE(later.waitForTurn(L"Kelvane_NoSuchWindowClass", 5000));
    EXPECT_TRUE(later.first());
    CloseHandle(firstMayEnd);
    CloseHandle(firstIsUp);
}

// The mark is per user: its name carries the SID of the user the process runs as.
TEST(SingleInstance, ObjectNameCarriesTheUsersSid) {
    const std::wstring name = SingleInstance::objectName(L"Kelvane_Test");
    const std::wstring prefix = L"Local\\Kelvane_Test_";
    ASSERT_EQ(name.substr(0, prefix.size()), prefix);
    PSID named = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(name.substr(prefix.size()).c_str(), &named)) << "not a SID";
    const UniqueLocal namedBlock(named);
    UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    alignas(TOKEN_USER) unsigned char user[512];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size));
    EXPECT_TRUE(EqualSid(named, reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
}

TEST_F(MainWindowTest, HandlesItsMessagesPaintKeysAndDrag) {
    window = std::make_unique<MainWindow>();
    ASSERT_NE(window->hwnd(), nullptr);
    std::set<UINT> handled;
    for (const auto& entry : window->handlers()) handled.insert(entry.first);
    EXPECT_EQ(handled, (std::set<UINT>{WM_CREATE, WM_DESTROY, WM_TIMER, CheckResultMessage, CheckTimerRetryMessage,
                                       WM_DEVICECHANGE, WM_DPICHANGED, WM_SYSCOLORCHANGE, WM_SETTINGCHANGE,
                                       WM_GETOBJECT, bringToFrontMessage(), WM_PAINT, WM_ACTIVATE, WM_CLOSE,
                                       WM_LBUTTONDOWN, WM_MOUSEMOVE, WM_LBUTTONUP, WM_CAPTURECHANGED}));
    EXPECT_TRUE(window->checkTimerRunning());
    // The taskbar and Alt+Tab show the program's icon, not the system's default.
    EXPECT_NE(GetClassLongPtrW(window->hwnd(), GCLP_HICON), 0u);
    EXPECT_NE(GetClassLongPtrW(window->hwnd(), GCLP_HICONSM), 0u);
    EXPECT_TRUE(window->dialogNavigation());
    EXPECT_EQ(window->serialLabel()->text(), CheckingText);
    ASSERT_NE(window->logo(), nullptr);
    EXPECT_EQ(window->logo()->GetWidth(), 91u);
}

TEST_F(MainWindowTest, OnlyAChangedResultRepaintsTheSerialNumber) {
    makeWindow();
    ShowWindow(window->hwnd(), SW_SHOWNOACTIVATE);  // a hidden window has nothing to repaint
    const HWND label = window->serialLabel()->hwnd();
    auto deliver = [&](const wchar_t* text) {
        ValidateRect(label, nullptr);
        window->onCheckResult(CheckResultMessage, 0, reinterpret_cast<LPARAM>(new std::wstring(text)));
        return GetUpdateRect(label, nullptr, FALSE) != FALSE;
    };
    EXPECT_TRUE(deliver(L"FIRST"));
    EXPECT_FALSE(deliver(L"FIRST"));
    EXPECT_TRUE(deliver(L"SECOND"));
    EXPECT_EQ(window->serialLabel()->text(), L"SECOND");
}

TEST_F(MainWindowTest, CheckShowsTheFirstUnitWithASerialNumberOrTheNoUnitText) {
    makeWindow();
    checkNow();
    EXPECT_EQ(window->serialLabel()->text(), NoUnitText);

    const struct {
        const wchar_t* serial;
        const wchar_t* shown;
    } cases[] = {
        {L"ABCDEFGHIJKLMNOPQRSTUVWX", L"ABCDEF-GHIJKL-MNOPQR-STUVWX"},
        {L"", L"SECOND"},  // a first unit without a serial number does not hide the second
        {L"1234567", L"123456-7"},
    };
    for (const auto& c : cases) {
        ServiceUnit first = testing_support::sampleUnit(1);
        first.productId = 0xA110;
        first.serialNumber = c.serial;
        ServiceUnit second = first;
        second.serialNumber = L"SECOND";
        testing_support::TestPipeServer service({first, second}, ServiceName);
        ASSERT_TRUE(service.start());
        checkNow();
        EXPECT_EQ(window->serialLabel()->text(), c.shown);
    }
    checkNow();  // the service is gone again
    EXPECT_EQ(window->serialLabel()->text(), NoUnitText);

    window->copyToClipboard();
    EXPECT_EQ(clipboardText(), NoUnitText);
}

// A check that waits until the test lets it go.
struct HeldCheck {
    platform::UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    platform::UniqueHandle returned{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    CheckWorker::Check check() {
        return [this] {
            ++calls;
            thread = GetCurrentThreadId();
            WaitForSingleObject(release.get(), INFINITE);
            SetEvent(returned.get());
            return std::wstring(L"HELD");
        };
    }
};

TEST_F(MainWindowTest, ChecksRunOnTheWorkerOneAtATime) {
    HeldCheck held;
    makeWindow(held.check());
    window->onTimer(WM_TIMER, 0, 0);
    ASSERT_TRUE(testing_support::waitUntil([&] { return held.calls == 1; }, 5000));
    EXPECT_NE(held.thread.load(), GetCurrentThreadId());
    window->onTimer(WM_TIMER, 0, 0);  // skipped: the first still runs
    window->onTimer(WM_TIMER, 0, 0);
    EXPECT_EQ(window->serialLabel()->text(), CheckingText);
    SetEvent(held.release.get());
    ASSERT_TRUE(testing_support::waitUntil([&] { return window->completedChecks() == 1; }, 5000));
    EXPECT_EQ(window->serialLabel()->text(), L"HELD");
    pumpFor(100);
    EXPECT_EQ(held.calls, 1) << "ticks during a check do not queue up";
    checkNow();
    EXPECT_EQ(held.calls, 2);
}

TEST_F(MainWindowTest, ClosingDuringAStuckCheckNeitherWaitsNorHearsFromIt) {
    HeldCheck held;
    makeWindow(held.check());
    window->onTimer(WM_TIMER, 0, 0);
    ASSERT_TRUE(testing_support::waitUntil([&] { return held.calls == 1; }, 5000));
    window->onDestroy(WM_DESTROY, 0, 0);  // what the window's destruction starts with
    EXPECT_FALSE(window->finishChecks(200)) << "the check is stuck: it is left, not waited for";
    SetEvent(held.release.get());
    ASSERT_EQ(WaitForSingleObject(held.returned.get(), 5000), WAIT_OBJECT_0);
    Sleep(100);
    MSG msg;  // the filter still lets WM_QUIT through
    while (PeekMessageW(&msg, window->hwnd(), CheckResultMessage, CheckResultMessage, PM_REMOVE)) {
        EXPECT_NE(msg.message, CheckResultMessage) << "nothing is posted once the window is closing";
    }
    EXPECT_EQ(window->serialLabel()->text(), CheckingText);
}

TEST_F(MainWindowTest, OnlyUnitInterfacesComingOrGoingStartACheck) {
    HeldCheck held;
    SetEvent(held.release.get());
    makeWindow(held.check());
    const DEV_BROADCAST_DEVICEINTERFACE_W hid = interfaceNotice(discovery::HidInterfaceGuid);
    const DEV_BROADCAST_DEVICEINTERFACE_W other = interfaceNotice(discovery::UsbDeviceClassGuid);
    DEV_BROADCAST_DEVICEINTERFACE_W cut = hid;
    cut.dbcc_size = sizeof(DEV_BROADCAST_HDR);
    DEV_BROADCAST_HDR volume = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    const struct {
        WPARAM event;
        const void* data;
    } ignored[] = {{DBT_DEVICEARRIVAL, &other},  {DBT_DEVICEARRIVAL, &cut},     {DBT_DEVICEARRIVAL, &volume},
                   {DBT_DEVICEARRIVAL, nullptr}, {DBT_DEVICEQUERYREMOVE, &hid}, {DBT_DEVNODES_CHANGED, nullptr}};
    for (const auto& notice : ignored) {
        SendMessageW(window->hwnd(), WM_DEVICECHANGE, notice.event, reinterpret_cast<LPARAM>(notice.data));
    }
    pumpFor(200);
    EXPECT_EQ(held.calls, 0);

    const DEV_BROADCAST_DEVICEINTERFACE_W winUsb = interfaceNotice(discovery::WinUsbInterfaceGuid);
    for (const auto* notice : {&hid, &winUsb}) {
        for (const WPARAM event : {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
            const unsigned before = window->completedChecks();
            SendMessageW(window->hwnd(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(notice));
            EXPECT_TRUE(testing_support::waitUntil([&] { return window->completedChecks() == before + 1; }, 5000));
        }
    }
    EXPECT_EQ(held.calls, 4);
}

TEST_F(MainWindowTest, NoticesDuringACheckMakeExactlyOneMoreCheck) {
    HeldCheck held;
    makeWindow(held.check());
    const DEV_BROADCAST_DEVICEINTERFACE_W hid = interfaceNotice(discovery::HidInterfaceGuid);
    // Sent, as the system does: a notice carries a pointer, which posting may not.
    const auto notify = [&](WPARAM event) {
        SendMessageW(window->hwnd(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&hid));
    };
    notify(DBT_DEVICEARRIVAL);
    ASSERT_TRUE(testing_support::waitUntil([&] { return held.calls == 1; }, 5000)) << "a notice checks at once";
    for (int i = 0; i < 8; ++i) {  // a storm while the check is held
        notify(DBT_DEVICEREMOVECOMPLETE);
        notify(DBT_DEVICEARRIVAL);
        window->onTimer(WM_TIMER, 0, 0);
    }
    pumpFor(100);
    EXPECT_EQ(held.calls, 1);
    SetEvent(held.release.get());  // every check from now on returns at once
    ASSERT_TRUE(testing_support::waitUntil([&] { return window->completedChecks() == 2; }, 5000));
    pumpFor(300);
    EXPECT_EQ(held.calls, 2) << "sixteen notices during a check make one more check, not a queue";
    EXPECT_EQ(window->completedChecks(), 2u);

    notify(DBT_DEVICEARRIVAL);  // and the next notice, once idle, checks at once again
    EXPECT_TRUE(testing_support::waitUntil([&] { return held.calls == 3; }, 5000));
}

TEST_F(MainWindowTest, PaintsBackgroundBandsBorderAndLogo) {
    window = std::make_unique<MainWindow>();
    ShowWindow(window->hwnd(), SW_SHOWNORMAL);
    testing_support::repaint(*window);
    const struct {
        int x, y;
        Gdiplus::ARGB colour;
    } cases[] = {
        {0, 0, 0xFF000000},      // the border
        {649, 231, 0xFF000000},  // its opposite corner
        {300, 30, 0xFF444444},   // dark top, behind the heading
        {300, 62, 0xFF999999},   // the explanation's band
        {300, 117, 0xFFF4F4F4},  // the serial number's band
        {60, 200, 0xFF444444},   // dark bottom, beside the buttons
        {1, 100, 0xFF000000},    // the border covers the bands' 2-pixel margin
    };
    const Shot shown = shoot(*window);
    for (const auto& c : cases) {
        EXPECT_EQ(shown.at(c.x, c.y), c.colour) << "(" << c.x << ", " << c.y << ")";
    }
    // The logo sits in the top right corner, 545 to 636 by 17 to 47.
    EXPECT_NE(shown.at(545 + 12, 17 + 15), 0xFF444444u);
    EXPECT_EQ(shown.at(545 + 12, 50), 0xFF444444u);
}

BOOL CALLBACK collectChildRect(HWND child, LPARAM param) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    reinterpret_cast<std::vector<RECT>*>(param)->push_back(r);
    return TRUE;
}

TEST_F(MainWindowTest, LayoutIsScaledOnceAtEveryScale) {
    const struct {
        float scale;
        SIZE window;
        RECT children[6];  // heading, explanation, "S/N:", serial number, the two buttons
        // One row per scale, the children's rectangles in two lines.
        // clang-format off
    } cases[] = {
        {1.0f, {650, 232}, {{8, 10, 648, 60}, {10, 70, 650, 120}, {10, 135, 55, 175}, {65, 135, 555, 175},
                            {120, 180, 320, 230}, {330, 180, 530, 230}}},
        {1.25f, {812, 290}, {{10, 12, 810, 74}, {12, 87, 812, 149}, {12, 168, 68, 218}, {80, 168, 692, 218},
                             {150, 225, 400, 287}, {412, 225, 662, 287}}},
        // The serial number starts 15 pixels (10 scaled once) after "S/N:".
        {1.5f, {975, 348}, {{12, 15, 972, 90}, {15, 105, 975, 180}, {15, 202, 82, 262}, {97, 202, 832, 262},
                            {180, 270, 480, 345}, {495, 270, 795, 345}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scale);
        window = std::make_unique<MainWindow>(c.scale);
        RECT r;
        GetWindowRect(window->hwnd(), &r);
        EXPECT_EQ(r.right - r.left, c.window.cx);
        EXPECT_EQ(r.bottom - r.top, c.window.cy);
        std::vector<RECT> children;
        EnumChildWindows(window->hwnd(), collectChildRect, reinterpret_cast<LPARAM>(&children));
        ASSERT_EQ(children.size(), 6u);
        for (size_t i = 0; i < children.size(); ++i) {
            const RECT& got = children[i];
            EXPECT_TRUE(EqualRect(&got, &c.children[i])) << "child " << i << " at (" << got.left << ", " << got.top
                                                         << ", " << got.right << ", " << got.bottom << ")";
        }
        EXPECT_FLOAT_EQ(window->serialLabel()->font()->GetSize(), 16.0f * c.scale);
        window.reset();
    }
}

TEST_F(MainWindowTest, DestroyingTheWindowPostsQuitWithZero) {
    window = std::make_unique<MainWindow>();
    DestroyWindow(window->hwnd());
    MSG msg;
    bool quit = false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            EXPECT_EQ(msg.wParam, 0u);
        }
    }
    EXPECT_TRUE(quit);
    EXPECT_EQ(window->hwnd(), nullptr);
}

std::vector<RECT> childRects(HWND window) {
    std::vector<RECT> children;
    EnumChildWindows(window, collectChildRect, reinterpret_cast<LPARAM>(&children));
    return children;
}

std::wstring quickCheck() { return L"CHECKED"; }

// 96 -> 144 -> 120 -> 96: after each WM_DPICHANGED the window fills the suggested
// rectangle and every child (fonts and the focus cue's scale too) is where a
// window made at that DPI puts it.
TEST_F(MainWindowTest, DpiChangeLaysOutAsAFreshWindowAtThatDpi) {
    window = std::make_unique<MainWindow>(1.0f, quickCheck);
    RECT at;
    GetWindowRect(window->hwnd(), &at);
    for (const UINT dpi : {144u, 120u, 96u}) {
        SCOPED_TRACE(dpi);
        const float s = static_cast<float>(dpi) / 96.0f;
        RECT freshWindow;
        std::vector<RECT> fresh;
        {
            MainWindow reference(s, quickCheck);
            GetWindowRect(reference.hwnd(), &freshWindow);
            fresh = childRects(reference.hwnd());
        }
        RECT suggested{at.left, at.top, at.left + freshWindow.right - freshWindow.left,
                       at.top + freshWindow.bottom - freshWindow.top};
        SendMessageW(window->hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        RECT got;
        GetWindowRect(window->hwnd(), &got);
        EXPECT_TRUE(EqualRect(&got, &suggested));
        const std::vector<RECT> children = childRects(window->hwnd());
        ASSERT_EQ(children.size(), fresh.size());
        for (size_t i = 0; i < children.size(); ++i) {
            EXPECT_TRUE(EqualRect(&children[i], &fresh[i])) << "child " << i;
            EXPECT_FLOAT_EQ(Nvx::widgetOf(GetWindow(window->hwnd(), GW_CHILD))->scale(), s);
        }
        EXPECT_FLOAT_EQ(window->scale(), s);
        EXPECT_FLOAT_EQ(window->serialLabel()->font()->GetSize(), 16.0f * s);
    }
    // A DPI no display gives changes nothing.
    RECT tiny{0, 0, 10, 10};
    SendMessageW(window->hwnd(), WM_DPICHANGED, MAKEWPARAM(4, 4), reinterpret_cast<LPARAM>(&tiny));
    EXPECT_FLOAT_EQ(window->scale(), 1.0f);
}

// Counted on the test's (the window's) thread, read by the same.
std::atomic<int> g_timerRequests{0};
UINT_PTR WINAPI refuseTimer(HWND, UINT_PTR, UINT, TIMERPROC) {
    ++g_timerRequests;
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return 0;
}

TEST_F(MainWindowTest, RefusedTimerIsLoggedOnceAndAskedForAgainWhileChecksGoOn) {
    using namespace diagnostics;
    const std::wstring log = resolveLogFolder(LogFolderKind::LocalAppData) + L"\\Kelvane_TimerTest.log";
    deleteFileIfPresent(log);
    startLog("Kelvane_TimerTest", false, LogFolderKind::LocalAppData, LogHeaderMode::None);
    g_timerRequests = 0;
    installTimerStarter(refuseTimer);
    window = std::make_unique<MainWindow>(quickCheck);
    EXPECT_FALSE(window->checkTimerRunning());
    EXPECT_TRUE(pumpUntil([&] { return window->serialLabel()->text() == L"CHECKED" && g_timerRequests >= 3; }, 5000))
        << "the window leaves \"(checking...)\" without its timer";
    installTimerStarter(nullptr);
    EXPECT_TRUE(pumpUntil([&] { return window->checkTimerRunning(); }, 3000));
    window.reset();
    endLog();
    size_t refusals = 0;
    for (const std::string& line : splitCrLfLines(readFileBytes(log))) {
        if (line.find("GEC:4001, X:1816") != std::string::npos) ++refusals;
    }
    EXPECT_EQ(refusals, 1u);
}

// The window's changes to its message filter, made on the test's (the window's) thread.
struct FilterChange {
    HWND window;
    UINT message;
    DWORD action;
};
std::vector<FilterChange> g_filterChanges;
BOOL WINAPI recordFilterChange(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT) {
    g_filterChanges.push_back({window, message, action});
    return TRUE;
}
BOOL WINAPI refuseFilterChange(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT) {
    recordFilterChange(window, message, action, nullptr);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Wine has no User Interface Privilege Isolation: what the window asks of its
// own filter is what can be seen, and that the request still brings it forward.
TEST_F(MainWindowTest, SecondStartsRequestIsLetThroughTheFilterAndARefusalIsLogged) {
    TestLog log("Kelvane_FilterTest");
    for (const MessageFilterChanger changer : {recordFilterChange, refuseFilterChange}) {
        g_filterChanges.clear();
        installMessageFilterChanger(changer);
        makeWindow(quickCheck);
        installMessageFilterChanger(nullptr);
        ASSERT_EQ(g_filterChanges.size(), 1u);
        EXPECT_EQ(g_filterChanges[0].window, window->hwnd());
        EXPECT_EQ(g_filterChanges[0].message, bringToFrontMessage());
        EXPECT_EQ(g_filterChanges[0].action, static_cast<DWORD>(MSGFLT_ALLOW));
        EXPECT_EQ(SendMessageW(window->hwnd(), bringToFrontMessage(), 0, 0), BringToFrontAnswer);
    }
    std::vector<std::string> filterLines;
    for (const std::string& line : log.errorLines()) {
        if (line.find("GEC:4003") != std::string::npos) filterLines.push_back(line);
    }
    EXPECT_EQ(filterLines, std::vector<std::string>{"GEC:4003, X:5"}) << "the refusal alone, with its reason";
}

// A screen reader hears of each new serial number: a name change of the label's client object.
// Filled by the hook on the test's thread while it pumps messages.
std::vector<HWND> g_renamed;
void CALLBACK recordRename(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    if (object == OBJID_CLIENT && child == CHILDID_SELF) g_renamed.push_back(hwnd);
}

TEST_F(MainWindowTest, NewSerialNumberIsAnnouncedToScreenReaders) {
    makeWindow(quickCheck);
    g_renamed.clear();
    const UniqueWinEventHook hook(SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr,
                                                  recordRename, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT));
    ASSERT_TRUE(hook);
    checkNow();
    pumpFor(50);
    const HWND label = window->serialLabel()->hwnd();
    EXPECT_EQ(std::count(g_renamed.begin(), g_renamed.end(), label), 1);
    checkNow();  // the same text again: nothing new to announce
    pumpFor(50);
    EXPECT_EQ(std::count(g_renamed.begin(), g_renamed.end(), label), 1);
}

// Nothing only a screen reader needs is made at start-up: the labels and buttons
// are annotated when a client first asks for the window's accessible object.
TEST_F(MainWindowTest, ControlsAreAnnotatedOnlyOnceAClientAsks) {
    makeWindow(quickCheck);
    ShowWindow(window->hwnd(), SW_SHOWNOACTIVATE);
    pumpFor(50);
    std::vector<Nvx::Label*> labels;
    for (HWND child = GetWindow(window->hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (auto* label = dynamic_cast<Nvx::Label*>(Nvx::widgetOf(child))) labels.push_back(label);
    }
    ASSERT_EQ(labels.size(), 6u);
    for (const Nvx::Label* label : labels) EXPECT_FALSE(label->roleAnnotationTried());
    SendMessageW(window->hwnd(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
    for (const Nvx::Label* label : labels) EXPECT_TRUE(label->roleAnnotationTried());
}

// High contrast reported on (Wine cannot switch it): every part in the
// system's pairs, the focus cue always shown, the logo in its own colours;
// a theme change at run time repaints the window.
// What the high-contrast seam reports; the test's thread only.
bool g_highContrast = false;
bool reportedHighContrast() { return g_highContrast; }

TEST_F(MainWindowTest, HighContrastPaintsWithTheSystemsColourPairs) {
    Nvx::setHighContrastQuery(reportedHighContrast);
    g_highContrast = false;
    makeWindow(quickCheck);
    ShowWindow(window->hwnd(), SW_SHOWNORMAL);
    pumpFor(50);
    EXPECT_EQ(shoot(*window).at(300, 30), 0xFF444444u);

    g_highContrast = true;
    SendMessageW(window->hwnd(), WM_SYSCOLORCHANGE, 0, 0);
    pumpFor(100);  // the repaint it asked for
    using Nvx::systemColor;
    const Shot shown = shoot(*window);
    for (const POINT p : {POINT{300, 30}, POINT{300, 62}, POINT{300, 117}, POINT{60, 200}}) {
        EXPECT_EQ(shown.at(p.x, p.y), systemColor(COLOR_WINDOW)) << p.x << ", " << p.y;
    }
    EXPECT_EQ(shown.at(0, 0), systemColor(COLOR_WINDOWTEXT)) << "the border";
    EXPECT_NE(shown.at(545 + 12, 17 + 15), systemColor(COLOR_WINDOW)) << "the logo";
    EXPECT_EQ(shoot(*window->serialLabel()).at(480, 2), systemColor(COLOR_WINDOW));

    // The focused button: its face, its text and the highlight cue, with no keyboard use.
    const HWND copy = GetWindow(window->serialLabel()->hwnd(), GW_HWNDNEXT);
    auto* button = dynamic_cast<Nvx::Button*>(Nvx::widgetOf(copy));
    ASSERT_NE(button, nullptr);
    SetFocus(copy);
    testing_support::repaint(*button);
    const Shot face = shoot(*button);
    EXPECT_EQ(face.at(1, 1), systemColor(COLOR_BTNFACE));
    EXPECT_GT(face.count(systemColor(COLOR_BTNTEXT)), 0) << "the text";
    EXPECT_EQ(face.at(3, 3), systemColor(COLOR_HIGHLIGHT)) << "the cue";
    EXPECT_EQ(face.count(Nvx::Button::NormalFill), 0);

    g_highContrast = false;
    SendMessageW(window->hwnd(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    pumpFor(100);
    EXPECT_EQ(shoot(*window).at(300, 30), 0xFF444444u);
    Nvx::setHighContrastQuery(nullptr);
}

// A minute of checks without the service: its line once, then one line that
// counts the rest (the log ends with the window).
TEST_F(MainWindowTest, AMinuteWithoutTheServiceWritesItsLineOnceThenTheCount) {
    TestLog log("KelvaneTest_MainWindowRepeat");
    makeWindow();
    for (int second = 0; second < 60; ++second) checkNow();
    window.reset();
    diagnostics::endLog();
    const std::vector<std::string> lines = log.errorLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "GEC:2003, X:2");
    EXPECT_EQ(lines[1].rfind("GEC:1001, X:59, GEC:2003, X:2 since ", 0), 0u) << lines[1];
}

TEST_F(MainWindowTest, CopyThatTheClipboardRefusesIsLogged) {
    TestLog log("KelvaneTest_MainWindowCopy");
    makeWindow(quickCheck);
    {
        ClipboardHolder holder(INFINITE);
        ASSERT_TRUE(holder.holding());
        window->copyToClipboard();
    }
    const std::vector<std::string> lines = log.errorLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("GEC:4002, X:", 0), 0u) << lines[0];
}

// What the window shows, read back whole, after the repaints a desktop sends
// (restores, theme and DPI changes): the same pixels however many came, and
// nothing of an earlier drawing left under the new one.
class RepaintTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        Nvx::setHighContrastQuery(reportedHighContrast);
        g_highContrast = false;
        makeWindow(quickCheck);
        ShowWindow(window->hwnd(), SW_SHOWNOACTIVATE);
        settle();
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        Nvx::setHighContrastQuery(nullptr);
    }
    // Paints whatever is invalid in the window and its children, now.
    void settle() { RedrawWindow(window->hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); }
    Shot shown() {
        Shot shot = shoot(*window);
        EXPECT_EQ(shot.at(300, 30), 0xFF444444u) << "the window is on the screen, dark behind the heading";
        EXPECT_GT(shot.count(0xFFFFFFFF), 200) << "white text";
        return shot;
    }
};

TEST_F(RepaintTest, HundredRepaintsShowTheSamePixels) {
    const Shot first = shown();
    for (int i = 0; i < 100; ++i) {
        RedrawWindow(window->hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    EXPECT_EQ(shown().differences(first), 0);
}

TEST_F(RepaintTest, HighContrastAndDpiRoundTripsLeaveNoTrace) {
    const Shot before = shown();
    g_highContrast = true;
    SendMessageW(window->hwnd(), WM_SYSCOLORCHANGE, 0, 0);
    settle();
    EXPECT_GT(shoot(*window).differences(before), 1000) << "high contrast shows";
    g_highContrast = false;
    SendMessageW(window->hwnd(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    settle();
    EXPECT_EQ(shown().differences(before), 0) << "back from high contrast";

    RECT at;
    GetWindowRect(window->hwnd(), &at);
    for (const UINT dpi : {144u, 96u}) {
        const int width = Nvx::toPixels(MainWindowWidth, scaleForDpi(dpi));
        const int height = Nvx::toPixels(MainWindowHeight, scaleForDpi(dpi));
        RECT suggested{at.left, at.top, at.left + width, at.top + height};
        SendMessageW(window->hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        settle();
    }
    EXPECT_EQ(shown().differences(before), 0) << "back at 96 DPI";
}

}  // namespace

#ifdef KELVANE_VIRTUAL_HID_INSTALL
// In the prefix with the virtual HID unit (tests/support/virtual-hid), no
// service, and no timer: only the notices can start a check.
using VirtualHidMainWindow = MainWindowTest;

TEST_F(VirtualHidMainWindow, FollowsTheUnitUnpluggedAndPluggedAgainWithoutATick) {
    const VirtualHidUnit unit =
        firstVirtualHidUnit(windowsPathOf(KELVANE_VIRTUAL_HID_INSTALL), windowsPathOf(KELVANE_VIRTUAL_HID_INF));
    const wchar_t* const grouped = L"VHX3K9-M2P7Q4-R8T1W6-Y5Z0AB";
    makeWindow();
    checkNow();
    ASSERT_EQ(window->serialLabel()->text(), grouped);
    const auto shownWithin = [&](const wchar_t* text, DWORD timeoutMs) {
        return testing_support::waitUntil([&] { return window->serialLabel()->text() == text; }, timeoutMs);
    };
    ASSERT_TRUE(unit.unplug());
    EXPECT_TRUE(shownWithin(NoUnitText, 3000));
    ASSERT_TRUE(unit.plug());
    EXPECT_TRUE(shownWithin(grouped, 3000));
}
#endif
