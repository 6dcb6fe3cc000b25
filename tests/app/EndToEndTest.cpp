// The real program under Wine, driven from outside: its window, real pointer
// clicks, the clipboard, the service simulator as the unit's source, its exit
// code and its log.

#include "TestSupport.h"
#include "diagnostics/Log.h"
#include "diagnostics/ModuleInfo.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleacc.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace diagnostics;
using namespace testing_support;

namespace {

constexpr DWORD StartTimeoutMs = 30000;  // a process start under Wine can take seconds
constexpr DWORD TickTimeoutMs = 8000;    // a few of the window's 1-second checks
const wchar_t* const ClassName = L"Tavrello_Kelvane_MainWindow";
const wchar_t* const Serial24 = L"TVK7Q2M9X4LP8RZ3HN6WC5JD";
const wchar_t* const Grouped24 = L"TVK7Q2-M9X4LP-8RZ3HN-6WC5JD";
const wchar_t* const NoUnit = L"(no motion unit has been found)";

std::wstring appPath() { return windowsPathOf(KELVANE_APP_EXE); }
std::wstring simulatorPath() { return windowsPathOf(KELVANE_SERVICE_SIMULATOR); }

// Moves the real pointer and lets it get there: a press goes where the pointer
// is, and on a fresh Wine session a press sent at once was seen to get lost.
void pointerTo(POINT point) {
    SetCursorPos(point.x, point.y);
    waitUntil(
        [&] {
            POINT at{};
            return GetCursorPos(&at) && at.x == point.x && at.y == point.y;
        },
        500);
    Sleep(50);
}

// A real click of the left button at a screen point.
void clickAt(POINT point) {
    pointerTo(point);
    sendLeftClick();
}

// Real key strokes: the keys go down in order and come up in reverse order.
void pressKeys(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = key;
        inputs.push_back(in);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = *key;
        in.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(in);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// A real drag with the left button, in a few steps, between two screen points.
void dragBetween(POINT from, POINT to) {
    pointerTo(from);
    INPUT press{};
    press.type = INPUT_MOUSE;
    press.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    SendInput(1, &press, sizeof(INPUT));
    Sleep(50);
    for (int step = 1; step <= 4; ++step) {
        SetCursorPos(from.x + (to.x - from.x) * step / 4, from.y + (to.y - from.y) * step / 4);
        Sleep(50);
    }
    INPUT release{};
    release.type = INPUT_MOUSE;
    release.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, &release, sizeof(INPUT));
    Sleep(100);
}

// The name an accessibility client in another process (a screen reader) reads.
std::wstring accessibleName(HWND hwnd) {
    // IAccessible's id, spelled out: MinGW's oleacc and uuid libraries both define it.
    const IID accessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    IAccessible* object = nullptr;
    if (AccessibleObjectFromWindow(hwnd, OBJID_CLIENT, accessible, reinterpret_cast<void**>(&object)) != S_OK) {
        return L"<none>";
    }
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    std::wstring result = object->get_accName(self, &name) == S_OK && name ? name : L"";
    SysFreeString(name);
    object->Release();
    return result;
}

std::wstring windowText(HWND hwnd) {
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    return text;
}

struct Child {
    HWND hwnd;
    RECT rect;  // in the parent's client coordinates
};

BOOL CALLBACK collectChild(HWND hwnd, LPARAM param) {
    auto* children = reinterpret_cast<std::vector<Child>*>(param);
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    children->push_back({hwnd, r});
    return TRUE;
}

std::vector<Child> childrenOf(HWND parent) {
    std::vector<Child> children;
    EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

std::wstring logPath() { return resolveLogFolder(LogFolderKind::LocalAppData) + L"\\Tavrello_Kelvane.log"; }

size_t logLinesWith(const std::string& text) {
    size_t count = 0;
    for (const std::string& line : splitCrLfLines(readFileBytes(logPath()))) {
        if (line.find(text) != std::string::npos) ++count;
    }
    return count;
}
const char* const LogCreated = " A: =============== LOG CREATED ===============";
const char* const LogDestroyed = " A: ============== LOG DESTROYED ==============";

// Top-level windows of the program's class.
std::vector<HWND> programWindows() {
    std::vector<HWND> found;
    for (HWND w = FindWindowExW(nullptr, nullptr, ClassName, nullptr); w;
         w = FindWindowExW(nullptr, w, ClassName, nullptr)) {
        found.push_back(w);
    }
    return found;
}

// The program, started for one test and closed (or killed) at its end.
class Program {
public:
    Program() : process_(appPath(), L"") {}

    bool waitForWindow() {
        return waitUntil([&] { return (hwnd_ = FindWindowW(ClassName, nullptr)) != nullptr && IsWindowVisible(hwnd_); },
                         StartTimeoutMs);
    }
    HWND hwnd() const { return hwnd_; }
    ChildProcess& process() { return process_; }

    // Screen point at the centre of a child at the layout's position.
    POINT centreOf(int x, int y, int width, int height) const {
        POINT p{x + width / 2, y + height / 2};
        ClientToScreen(hwnd_, &p);
        return p;
    }
    // Makes the window the foreground window, so that keys go to it.
    bool activate() {
        SetForegroundWindow(hwnd_);
        return waitUntil([&] { return GetForegroundWindow() == hwnd_; }, 2000);
    }
    HWND focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetWindowThreadProcessId(hwnd_, nullptr), &info);
        return info.hwndFocus;
    }
    HWND child(size_t index) const {
        const std::vector<Child> children = childrenOf(hwnd_);
        return index < children.size() ? children[index].hwnd : nullptr;
    }
    HWND copyButton() const { return child(4); }
    HWND closeButton() const { return child(5); }
    std::wstring serialShown() const { return windowText(child(3)); }
    void clickCopy() { clickAt(centreOf(120, 180, 200, 50)); }
    void clickClose() { clickAt(centreOf(330, 180, 200, 50)); }

    // Clicks "Copy to clipboard" (or copies another way) until the clipboard
    // holds `expected`. A copy can miss while this process reads the clipboard.
    bool copiedTextBecomes(const std::wstring& expected, DWORD timeoutMs = TickTimeoutMs,
                           const std::function<void()>& copy = nullptr) {
        return waitUntil(
            [&] {
                clearClipboard();
                if (copy) {
                    copy();
                } else {
                    clickCopy();
                }
                return waitUntil([&] { return clipboardText() == expected; }, 300);
            },
            timeoutMs);
    }

private:
    ChildProcess process_;
    HWND hwnd_ = nullptr;
};

class Simulator {
public:
    explicit Simulator(const std::wstring& arguments) : process_(simulatorPath(), arguments) {
        serving_ = process_.waitForOutput("serving", StartTimeoutMs);
    }
    bool serving() const { return serving_; }
    ChildProcess& process() { return process_; }

private:
    ChildProcess process_;
    bool serving_ = false;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // A window left over from an earlier failure would be found instead of ours.
        ASSERT_EQ(FindWindowW(ClassName, nullptr), nullptr);
        clearClipboard();
    }
};

TEST_F(EndToEnd, WindowIsFramelessCentredAndLaidOut) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    HWND main = program.hwnd();

    wchar_t title[64] = {};
    GetWindowTextW(main, title, 64);
    EXPECT_STREQ(title, L"Motion Platform Serial Number");
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, 0);
    EXPECT_EQ(style & WS_THICKFRAME, 0);

    RECT window;
    GetWindowRect(main, &window);
    EXPECT_EQ(window.left, 635);
    EXPECT_EQ(window.top, 424);
    EXPECT_EQ(window.right - window.left, 650);
    EXPECT_EQ(window.bottom - window.top, 232);
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, 650) << "the frame is gone: the client area is the whole window";
    EXPECT_EQ(client.bottom, 232);

    const RECT expected[] = {
        {8, 10, 648, 60},      // heading
        {10, 70, 650, 120},    // explanation
        {10, 135, 55, 175},    // "S/N:"
        {65, 135, 555, 175},   // serial number
        {120, 180, 320, 230},  // "Copy to clipboard"
        {330, 180, 530, 230},  // "Close"
    };
    const std::vector<Child> children = childrenOf(main);
    ASSERT_EQ(children.size(), 6u);
    for (size_t i = 0; i < children.size(); ++i) {
        const RECT& r = children[i].rect;
        EXPECT_TRUE(EqualRect(&r, &expected[i]))
            << "child " << i << " at (" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
    }
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

// The desktop's DPI for the processes started while this exists: Wine takes it
// from the user's LogPixels as a process starts. The value before (or its
// absence) comes back when this goes, so no other test sees it.
class ScopedLogPixels {
public:
    explicit ScopedLogPixels(DWORD dpi) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key_.put(), nullptr) != ERROR_SUCCESS) {
            return;
        }
        DWORD size = sizeof(before_);
        DWORD type = 0;
        hadValue_ = RegQueryValueExW(key_.get(), L"LogPixels", nullptr, &type, reinterpret_cast<BYTE*>(&before_),
                                     &size) == ERROR_SUCCESS &&
                    type == REG_DWORD;
        set_ = RegSetValueExW(key_.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                              sizeof(dpi)) == ERROR_SUCCESS;
    }
    ~ScopedLogPixels() {
        if (!set_) return;
        if (hadValue_) {
            RegSetValueExW(key_.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&before_),
                           sizeof(before_));
        } else {
            RegDeleteValueW(key_.get(), L"LogPixels");
        }
    }
    ScopedLogPixels(const ScopedLogPixels&) = delete;
    ScopedLogPixels& operator=(const ScopedLogPixels&) = delete;
    bool set() const { return set_; }

private:
    platform::UniqueRegistryKey key_;
    DWORD before_ = 0;
    bool hadValue_ = false;
    bool set_ = false;
};

// Started on a 144 DPI desktop, the window is laid out at 144 from the moment
// it shows, without waiting for a WM_DPICHANGED (which never comes at start).
TEST_F(EndToEnd, StartsLaidOutAtTheDesktopsDpi) {
    std::unique_ptr<Program> program;
    {
        ScopedLogPixels desktop(144);
        ASSERT_TRUE(desktop.set());
        program = std::make_unique<Program>();
        ASSERT_TRUE(program->waitForWindow());
    }
    RECT window;
    GetWindowRect(program->hwnd(), &window);
    EXPECT_EQ(window.right - window.left, 975);
    EXPECT_EQ(window.bottom - window.top, 348);
    // The layout at scale 1.5, as a window made at 144 DPI has it.
    const RECT expected[] = {{12, 15, 972, 90},   {15, 105, 975, 180},  {15, 202, 82, 262},
                             {97, 202, 832, 262}, {180, 270, 480, 345}, {495, 270, 795, 345}};
    const std::vector<Child> children = childrenOf(program->hwnd());
    ASSERT_EQ(children.size(), 6u);
    for (size_t i = 0; i < children.size(); ++i) {
        const RECT& r = children[i].rect;
        EXPECT_TRUE(EqualRect(&r, &expected[i]))
            << "child " << i << " at (" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
    }
    PostMessageW(program->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(program->process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, CopiesCheckingTextBeforeTheFirstTickThenTheNoUnitText) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    // Within the first second the label still shows the start text.
    program.clickCopy();
    std::wstring seen;
    EXPECT_TRUE(waitUntil([&] { return (seen = clipboardText()) == L"(checking...)"; }, 900))
        << "clipboard: " << testing::PrintToString(seen);
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

// The log of the program's last run ends with its destroyed line.
void expectLogEndsWithDestroyedLine() {
    const std::vector<std::string> lines = splitCrLfLines(readFileBytes(logPath()));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.back().find(" A: ============== LOG DESTROYED =============="), std::string::npos) << lines.back();
}

// The service's unit is shown, then the no-unit text once the service is gone,
// then the unit again once it is back; Close then ends the program cleanly.
void followServiceGoingAndComing(const std::wstring& serviceOptions) {
    deleteFileIfPresent(logPath());
    const std::wstring arguments = serviceOptions + L" --serial " + Serial24;
    auto simulator = std::make_unique<Simulator>(arguments);
    ASSERT_TRUE(simulator->serving()) << simulator->process().output();
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    EXPECT_TRUE(program.copiedTextBecomes(Grouped24));

    simulator.reset();  // the service goes away
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));

    simulator = std::make_unique<Simulator>(arguments);
    ASSERT_TRUE(simulator->serving());
    EXPECT_TRUE(program.copiedTextBecomes(Grouped24));

    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
    expectLogEndsWithDestroyedLine();
}

TEST_F(EndToEnd, ShowsTheServiceUnitAndFollowsTheServiceGoingAndComing) { followServiceGoingAndComing(L""); }

TEST_F(EndToEnd, FollowsAUnitComingAndGoingWhileEveryPassIsSlow) { followServiceGoingAndComing(L"--delay-ms 60"); }

// A service that reports 128 devices and answers each request after 60 ms keeps
// every pass busy for seconds: the window still answers, and Close still ends
// the program at once with exit code 0 and a complete log.
TEST_F(EndToEnd, CloseInTheMiddleOfALongPass) {
    deleteFileIfPresent(logPath());
    Simulator simulator(L"--count 128 --delay-ms 60");
    ASSERT_TRUE(simulator.serving()) << simulator.process().output();
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    ASSERT_TRUE(simulator.process().waitForOutput("index 3", TickTimeoutMs)) << "a pass is under way";
    for (int i = 0; i < 5; ++i) {
        DWORD_PTR result = 0;
        EXPECT_NE(SendMessageTimeoutW(program.hwnd(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result), 0)
            << "the window answers while the pass runs";
        Sleep(100);
    }
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
    const std::string output = simulator.process().output();
    EXPECT_EQ(output.find("index 127"), std::string::npos) << "closed before the pass could end";
    expectLogEndsWithDestroyedLine();
}

TEST_F(EndToEnd, UnitWithEmptySerialShowsAsNoUnit) {
    Simulator simulator(L"--serial=");
    ASSERT_TRUE(simulator.serving()) << simulator.process().output();
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    // The service was asked (the check ran), and the unit is still not shown.
    EXPECT_TRUE(simulator.process().waitForOutput("serial", TickTimeoutMs)) << simulator.process().output();
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, CloseEndsWithExitCodeZeroAndTheLogsLastLine) {
    deleteFileIfPresent(logPath());
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
    const std::vector<std::string> lines = splitCrLfLines(readFileBytes(logPath()));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.front().find(" A: =============== LOG CREATED ==============="), std::string::npos);
    EXPECT_NE(lines.back().find(" A: ============== LOG DESTROYED =============="), std::string::npos);
}

TEST_F(EndToEnd, EscAndAltF4CloseAsCloseDoes) {
    const struct {
        const char* what;
        std::vector<WORD> keys;
    } cases[] = {{"Esc", {VK_ESCAPE}}, {"Alt+F4", {VK_MENU, VK_F4}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        deleteFileIfPresent(logPath());
        Program program;
        ASSERT_TRUE(program.waitForWindow());
        ASSERT_TRUE(program.activate());
        pressKeys(c.keys);
        EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
        const std::vector<std::string> lines = splitCrLfLines(readFileBytes(logPath()));
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find(LogDestroyed), std::string::npos);
    }
}

TEST_F(EndToEnd, CtrlCAndEnterCopyWhatTheLabelShows) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    ASSERT_TRUE(program.activate());
    ASSERT_TRUE(waitUntil([&] { return program.serialShown() == NoUnit; }, TickTimeoutMs));
    const struct {
        const char* what;
        std::vector<WORD> keys;
    } cases[] = {{"Ctrl+C", {VK_CONTROL, 'C'}}, {"Enter with no button focused", {VK_RETURN}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(program.copiedTextBecomes(NoUnit, 3000, [&] { pressKeys(c.keys); }));
    }
    EXPECT_EQ(program.focus(), program.hwnd()) << "no button took the focus";
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, TabMovesTheFocusAndEnterOrSpaceActivatesTheFocusedButton) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    ASSERT_TRUE(program.activate());
    const HWND copy = program.copyButton();
    const HWND close = program.closeButton();
    const struct {
        std::vector<WORD> keys;
        HWND focused;
    } steps[] = {
        {{VK_TAB}, copy},
        {{VK_TAB}, close},
        {{VK_TAB}, copy},  // wraps
        {{VK_SHIFT, VK_TAB}, close},
        {{VK_SHIFT, VK_TAB}, copy},  // wraps back
    };
    for (const auto& step : steps) {
        pressKeys(step.keys);
        EXPECT_TRUE(waitUntil([&] { return program.focus() == step.focused; }, 2000));
    }
    ASSERT_TRUE(waitUntil([&] { return program.serialShown() == NoUnit; }, TickTimeoutMs));
    for (const WORD key : std::vector<WORD>{VK_SPACE, VK_RETURN}) {
        EXPECT_TRUE(program.copiedTextBecomes(NoUnit, 3000, [&] { pressKeys({key}); })) << "key " << key;
    }
    pressKeys({VK_TAB});
    ASSERT_TRUE(waitUntil([&] { return program.focus() == close; }, 2000));
    pressKeys({VK_SPACE});
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, DraggingTheBackgroundMovesTheWindow) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    const auto origin = [&] {
        RECT r;
        GetWindowRect(program.hwnd(), &r);
        return POINT{r.left, r.top};
    };
    const POINT start = origin();
    // From the background right of the serial number, and from the heading's text.
    dragBetween(program.centreOf(600, 150, 0, 0), program.centreOf(700, 200, 0, 0));
    EXPECT_TRUE(waitUntil([&] { return origin().x == start.x + 100 && origin().y == start.y + 50; }, 2000));
    dragBetween(program.centreOf(300, 30, 0, 0), program.centreOf(200, 0, 0, 0));
    EXPECT_TRUE(waitUntil([&] { return origin().x == start.x && origin().y == start.y + 20; }, 2000));

    // A click, and a drag that starts on a button, leave it where it is.
    const POINT before = origin();
    clickAt(program.centreOf(600, 150, 0, 0));
    dragBetween(program.centreOf(120, 180, 200, 50), program.centreOf(120, 100, 200, 50));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(origin().x, before.x);
    EXPECT_EQ(origin().y, before.y);
    EXPECT_EQ(programWindows().size(), 1u);
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, ChildWindowTextsAreWhatTheyShow) {
    auto simulator = std::make_unique<Simulator>(std::wstring(L"--serial ") + Serial24);
    ASSERT_TRUE(simulator->serving()) << simulator->process().output();
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    const std::wstring shown[] = {
        L"Serial Number",
        L"This tool reads serial number (or license code) of your motion platform. Make sure that your motion unit "
        L"is connected to PC via USB and it is turned on.",
        L"S/N:",
        L"",
        L"Copy to clipboard",
        L"Close"};
    for (size_t i = 0; i < 6; ++i) {
        if (i != 3) {
            EXPECT_EQ(windowText(program.child(i)), shown[i]) << "child " << i;
            EXPECT_EQ(accessibleName(program.child(i)), shown[i]) << "child " << i;
        }
    }
    // The serial number's window text follows every update.
    EXPECT_TRUE(waitUntil([&] { return program.serialShown() == Grouped24; }, TickTimeoutMs));
    simulator.reset();
    EXPECT_TRUE(waitUntil([&] { return program.serialShown() == NoUnit; }, TickTimeoutMs));
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, SecondStartBringsTheFirstWindowForwardAndEnds) {
    deleteFileIfPresent(logPath());
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    // Something else is in front, and the window is minimised, when the second start comes.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
    ShowWindow(program.hwnd(), SW_MINIMIZE);
    SetForegroundWindow(other);
    ASSERT_TRUE(waitUntil([&] { return GetForegroundWindow() == other && IsIconic(program.hwnd()); }, 2000));

    ChildProcess second(appPath(), L"");
    EXPECT_EQ(second.exitCode(StartTimeoutMs), 0u);
    EXPECT_TRUE(waitUntil([&] { return GetForegroundWindow() == program.hwnd(); }, 2000));
    EXPECT_FALSE(IsIconic(program.hwnd()));
    EXPECT_EQ(programWindows().size(), 1u);
    EXPECT_EQ(logLinesWith(LogCreated), 1u);

    // The window itself takes the request and comes forward: on Windows only a
    // process the foreground right was passed to may bring it there.
    SetForegroundWindow(other);
    ASSERT_TRUE(waitUntil([&] { return GetForegroundWindow() == other; }, 2000));
    DWORD_PTR answer = 0;
    ASSERT_NE(SendMessageTimeoutW(program.hwnd(), RegisterWindowMessageW(L"Tavrello_Kelvane_BringToFront"), 0, 0,
                                  SMTO_ABORTIFHUNG, 5000, &answer),
              0);
    EXPECT_EQ(answer, 1u) << "the window answers the request";
    EXPECT_TRUE(waitUntil([&] { return GetForegroundWindow() == program.hwnd(); }, 2000));
    DestroyWindow(other);
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, OfTwoQuickStartsOnlyOneStays) {
    deleteFileIfPresent(logPath());
    Program first;
    ChildProcess second(appPath(), L"");
    ASSERT_TRUE(first.waitForWindow());
    // One of the two ends by itself with 0; the other keeps its window.
    ASSERT_TRUE(waitUntil([&] { return first.process().exitCode(0) == 0 || second.exitCode(0) == 0; }, StartTimeoutMs));
    waitUntil([] { return false; }, 1500);  // a second window would have shown by now
    EXPECT_EQ(programWindows().size(), 1u);
    EXPECT_EQ(logLinesWith(LogCreated), 1u);
    EXPECT_TRUE(first.process().exitCode(0) == STILL_ACTIVE || second.exitCode(0) == STILL_ACTIVE);
    PostMessageW(first.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(first.process().exitCode(StartTimeoutMs), 0u);
    EXPECT_EQ(second.exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, ProgramCarriesItsResources) {
    HMODULE exe = LoadLibraryExW(appPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr);
    HRSRC logo = FindResourceW(exe, MAKEINTRESOURCEW(102), L"PNG");
    ASSERT_NE(logo, nullptr);
    const auto* png = static_cast<const unsigned char*>(LockResource(LoadResource(exe, logo)));
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(png) + 1, 3), "PNG");
    // Width and height from the IHDR chunk, big-endian.
    const auto be32 = [](const unsigned char* p) { return (p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; };
    EXPECT_EQ(be32(png + 16), 91);
    EXPECT_EQ(be32(png + 20), 30);

    HRSRC manifest = FindResourceW(exe, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(exe, manifest))),
                           SizeofResource(exe, manifest));
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(text.find(">true/pm</dpiAware>"), std::string::npos);
    EXPECT_NE(text.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
    // A manifest's version has four parts: the version resource's.
    EXPECT_NE(text.find("name=\"Tavrello.Kelvane\" version=\"" KELVANE_FILE_VERSION "\""), std::string::npos);
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(FindResourceW(exe, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
    FreeLibrary(exe);

    // The version resource carries the project's version.
    const FileVersion version = readFileVersion(appPath().c_str());
    EXPECT_EQ(version.major, KELVANE_VERSION_MAJOR);
    EXPECT_EQ(version.minor, KELVANE_VERSION_MINOR);
    EXPECT_EQ(version.build, KELVANE_VERSION_PATCH);
}

}  // namespace

#ifdef KELVANE_VIRTUAL_HID_INSTALL
// In the prefix with the virtual HID unit (tests/support/virtual-hid) and no service.
using VirtualHidEndToEnd = EndToEnd;

TEST_F(VirtualHidEndToEnd, ShowsTheHidUnitAndFollowsItsRemovalAndReturn) {
    const VirtualHidUnit unit =
        firstVirtualHidUnit(windowsPathOf(KELVANE_VIRTUAL_HID_INSTALL), windowsPathOf(KELVANE_VIRTUAL_HID_INF));
    const wchar_t* const grouped = L"VHX3K9-M2P7Q4-R8T1W6-Y5Z0AB";
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    EXPECT_TRUE(program.copiedTextBecomes(grouped));

    ASSERT_TRUE(unit.unplug());
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));

    ASSERT_TRUE(unit.plug());
    EXPECT_TRUE(program.copiedTextBecomes(grouped));

    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

// In the prefix whose units' serial numbers cannot be read (one has none, the
// other's read fails), and no service: each unit is named once, none is shown.
using VirtualHidNoSerialEndToEnd = EndToEnd;

TEST_F(VirtualHidNoSerialEndToEnd, UnitsWhoseSerialNumberCannotBeReadAreNamedOnceAndNotShown) {
    deleteFileIfPresent(logPath());
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    Sleep(5000);
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
    EXPECT_EQ(logLinesWith("GEC:3005, X:"), 2u);
    for (const char* instance : {"7&4d5e6f70&0&0000", "7&5e6f7081&0&0000"}) {
        EXPECT_EQ(logLinesWith(std::string("\\\\?\\hid#vid_0483&pid_a110#") + instance + "#{"), 1u) << instance;
    }
    EXPECT_EQ(logLinesWith("GEC:2003, X:2"), 2u) << "written once, then named in the repeat line at the end";
}
#endif
