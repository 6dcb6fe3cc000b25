// The real program under Wine, driven from outside: its window, real pointer
// clicks, the clipboard, the service simulator as the unit's source, its exit
// code and its log.

#include "TestSupport.h"
#include "diagnostics/Log.h"
#include "diagnostics/ModuleInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

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

// A real click of the left button at a screen point.
void clickAt(POINT point) {
    SetCursorPos(point.x, point.y);
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, inputs, sizeof(INPUT));
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
    void clickCopy() { clickAt(centreOf(120, 180, 200, 50)); }
    void clickClose() { clickAt(centreOf(330, 180, 200, 50)); }

    // Clicks "Copy to clipboard" until the clipboard holds `expected`.
    bool copiedTextBecomes(const std::wstring& expected, DWORD timeoutMs = TickTimeoutMs) {
        return waitUntil(
            [&] {
                clearClipboard();
                clickCopy();
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
        {8, 10, 648, 60},     // heading
        {10, 70, 650, 120},   // explanation
        {10, 135, 55, 175},   // "S/N:"
        {65, 135, 555, 175},  // serial number
        {120, 180, 320, 230}, // "Copy to clipboard"
        {330, 180, 530, 230}, // "Close"
    };
    const std::vector<Child> children = childrenOf(main);
    ASSERT_EQ(children.size(), 6u);
    for (size_t i = 0; i < children.size(); ++i) {
        const RECT& r = children[i].rect;
        EXPECT_TRUE(EqualRect(&r, &expected[i])) << "child " << i << " at (" << r.left << ", " << r.top << ", "
                                                 << r.right << ", " << r.bottom << ")";
    }
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, CopiesCheckingTextBeforeTheFirstTickThenTheNoUnitText) {
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    // Within the first second the label still shows the start text.
    program.clickCopy();
    EXPECT_TRUE(waitUntil([] { return clipboardText() == L"(checking...)"; }, 900)) << "clipboard: " << std::string(clipboardText().begin(), clipboardText().end());
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));
    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}

TEST_F(EndToEnd, ShowsTheServiceUnitAndFollowsTheServiceGoingAndComing) {
    auto simulator = std::make_unique<Simulator>(std::wstring(L"--serial ") + Serial24);
    ASSERT_TRUE(simulator->serving()) << simulator->process().output();
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    EXPECT_TRUE(program.copiedTextBecomes(Grouped24));

    simulator.reset();  // the service goes away
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));

    simulator = std::make_unique<Simulator>(std::wstring(L"--serial ") + Serial24);
    ASSERT_TRUE(simulator->serving());
    EXPECT_TRUE(program.copiedTextBecomes(Grouped24));

    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
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
    EXPECT_NE(text.find(">true</dpiAware>"), std::string::npos);
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
class VirtualHidEndToEnd : public EndToEnd {
protected:
    // Runs the device installer with `arguments`; true when it succeeded.
    static bool install(const std::wstring& arguments) {
        ChildProcess installer(windowsPathOf(KELVANE_VIRTUAL_HID_INSTALL), arguments);
        const DWORD code = installer.exitCode(StartTimeoutMs);
        EXPECT_EQ(code, 0u) << installer.output();
        return code == 0;
    }
};

TEST_F(VirtualHidEndToEnd, ShowsTheHidUnitAndFollowsItsRemovalAndReturn) {
    const std::wstring instance = L"\"ROOT\\VID_0483&PID_A110\\7&2A3B4C5D&0&0000\"";
    const wchar_t* const grouped = L"VHX3K9-M2P7Q4-R8T1W6-Y5Z0AB";
    Program program;
    ASSERT_TRUE(program.waitForWindow());
    EXPECT_TRUE(program.copiedTextBecomes(grouped));

    ASSERT_TRUE(install(L"--remove " + instance));  // the unit is unplugged
    EXPECT_TRUE(program.copiedTextBecomes(NoUnit));

    ASSERT_TRUE(install(L"\"" + windowsPathOf(KELVANE_VIRTUAL_HID_INF) + L"\" --device " + instance +
                        L" 0483 A110 Tavrello \"Motion Unit\" --serial VHX3K9M2P7Q4R8T1W6Y5Z0AB"));
    EXPECT_TRUE(program.copiedTextBecomes(grouped));

    program.clickClose();
    EXPECT_EQ(program.process().exitCode(StartTimeoutMs), 0u);
}
#endif
