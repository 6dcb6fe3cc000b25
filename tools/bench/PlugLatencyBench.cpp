// plug-latency: the real program while a virtual HID unit (the test driver) is
// unplugged and plugged again, ten events, with the program's device notices on
// and then off (KELVANE_DEVICE_NOTICES=off: its one-second timer alone). For
// each event: the time from the system's notice (this process is registered for
// the same notices) to the change of the serial-number label's window text, and
// the median and maximum. Then a storm: eight quick plug cycles, with WM_NULL
// round trips to the window sampled every 20 ms, the state the window ends in,
// and the checks the program made (the service simulator, serving no unit,
// counts one request per check); once with the notices on, once with the timer
// alone, which shows what the installers' load on the machine does by itself.
//
// Usage (scripts/bench.sh plug-latency makes the prefix and passes these):
//   plug-latency <installer> <inf> <instance id> <serial number>
// Needs a display and a prefix that holds the unit.

#include "BenchSupport.h"
#include "discovery/DeviceNotices.h"
#include "discovery/MotionUnit.h"

#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t* const WindowClass = L"Tavrello_Kelvane_MainWindow";
constexpr int Events = 10;
constexpr int StormCycles = 8;
constexpr DWORD LabelTimeoutMs = 10000;

double nowMs() { return bench::nowMicroseconds() / 1000.0; }

// The bench's main thread owns both: written by the notice window's procedure,
// which runs inside that thread's message pumping.
double g_firstNoticeMs = -1;  // the first notice since it was last set to -1
int g_notices = 0;

LRESULT CALLBACK noticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        if (discovery::isUnitInterfaceChange(wParam, lParam)) {
            if (g_firstNoticeMs < 0) g_firstNoticeMs = nowMs();
            ++g_notices;
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

void pumpFor(DWORD ms) {
    const double end = nowMs() + ms;
    while (nowMs() < end) {
        pump();
        Sleep(1);
    }
}

std::wstring windowText(HWND hwnd) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    return text;
}

BOOL CALLBACK collectChild(HWND hwnd, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

// The program's window and its serial-number label (its fourth child).
struct ProgramWindow {
    HWND window = nullptr;
    HWND label = nullptr;
};

ProgramWindow waitForProgram() {
    ProgramWindow found;
    const ULONGLONG end = GetTickCount64() + 30000;
    while (GetTickCount64() < end) {
        found.window = FindWindowW(WindowClass, nullptr);
        if (found.window != nullptr && IsWindowVisible(found.window)) {
            std::vector<HWND> children;
            EnumChildWindows(found.window, collectChild, reinterpret_cast<LPARAM>(&children));
            if (children.size() == 6) {
                found.label = children[3];
                return found;
            }
        }
        Sleep(20);
    }
    return {};
}

// Pumps this thread's messages until the label shows `text` or timeoutMs has
// passed; when it is shown, the time it was first seen.
double labelShows(HWND label, const std::wstring& text, DWORD timeoutMs) {
    const double end = nowMs() + timeoutMs;
    while (nowMs() < end) {
        pump();
        if (windowText(label) == text) return nowMs();
        Sleep(1);
    }
    return -1;
}

struct Plug {
    std::wstring installer, inf, instanceId, serial;

    // Starts the installer; the caller pumps messages while it runs.
    std::unique_ptr<bench::ChildProcess> start(bool plugged) const {
        const std::wstring arguments = plugged ? L"\"" + inf + L"\" --device \"" + instanceId +
                                                     L"\" 0483 A110 Tavrello \"Motion Unit\" --serial " + serial
                                               : L"--remove \"" + instanceId + L"\"";
        return std::make_unique<bench::ChildProcess>(installer, arguments);
    }
    bool run(bool plugged) const { return finish(*start(plugged)); }
    // Pumps this thread's messages while the installer runs (at most a minute).
    static bool finish(const bench::ChildProcess& installer) {
        const double end = nowMs() + 60000;
        while (installer.exitCode(5) == STILL_ACTIVE && nowMs() < end) pump();
        return installer.exitCode(0) == 0;
    }
};

struct Latencies {
    std::vector<double> ms;  // notice -> label, per event
    int missed = 0;          // events without a notice or without a change
};

double maximum(const std::vector<double>& values) {
    double m = 0;
    for (double v : values) m = v > m ? v : m;
    return m;
}

void printSummary(const char* name, const Latencies& l) {
    printf("%-28s median %7.1f ms, maximum %7.1f ms over %zu events%s\n", name, bench::median(l.ms), maximum(l.ms),
           l.ms.size(), l.missed != 0 ? " (some events MISSED)" : "");
}

// Ten events (unplug, plug, ...) with the program as it is started here.
bool measureEvents(const Plug& plug, const std::wstring& grouped, bool notices, Latencies& result) {
    SetEnvironmentVariableW(L"KELVANE_DEVICE_NOTICES", notices ? nullptr : L"off");
    bench::ChildProcess program(bench::besideThisProgram(L"..\\app\\Tavrello_Kelvane.exe"), L"");
    const ProgramWindow window = waitForProgram();
    if (window.label == nullptr || labelShows(window.label, grouped, LabelTimeoutMs) < 0) {
        fprintf(stderr, "the program did not show the unit\n");
        return false;
    }
    for (int i = 0; i < Events; ++i) {
        const bool plugged = i % 2 == 1;
        const std::wstring expected = plugged ? grouped : std::wstring(discovery::NoUnitText);
        // Pauses of different lengths, so that the events meet the timer at different phases.
        pumpFor(300 + (i * 173) % 700);
        g_firstNoticeMs = -1;
        auto installer = plug.start(plugged);
        const double changed = labelShows(window.label, expected, LabelTimeoutMs);
        if (!Plug::finish(*installer)) printf("  event %2d: the installer failed\n", i + 1);
        pumpFor(50);  // a notice delivered late still counts
        if (changed < 0 || g_firstNoticeMs < 0) {
            ++result.missed;
            printf("  event %2d %-8s %s\n", i + 1, plugged ? "plug" : "unplug",
                   changed < 0 ? "the label did not change" : "no notice here");
        } else {
            result.ms.push_back(changed - g_firstNoticeMs);
            printf("  event %2d %-8s notice -> label %8.1f ms\n", i + 1, plugged ? "plug" : "unplug", result.ms.back());
        }
        fflush(stdout);
    }
    PostMessageW(window.window, WM_CLOSE, 0, 0);
    program.exitCode(15000);
    SetEnvironmentVariableW(L"KELVANE_DEVICE_NOTICES", nullptr);
    return true;
}

size_t countRequests(const bench::ChildProcess& simulator) {
    const std::string text = simulator.output();
    size_t count = 0;
    for (size_t at = text.find("request "); at != std::string::npos; at = text.find("request ", at + 1)) ++count;
    return count;
}

bool storm(const Plug& plug, const std::wstring& grouped, bool notices) {
    SetEnvironmentVariableW(L"KELVANE_DEVICE_NOTICES", notices ? nullptr : L"off");
    bench::ChildProcess simulator(bench::besideThisProgram(L"service-simulator.exe"), L"--no-units");
    if (!simulator.waitForOutput("serving", 30000)) {
        fprintf(stderr, "the simulator did not start:\n%s\n", simulator.output().c_str());
        return false;
    }
    bench::ChildProcess program(bench::besideThisProgram(L"..\\app\\Tavrello_Kelvane.exe"), L"");
    const ProgramWindow window = waitForProgram();
    if (window.label == nullptr || labelShows(window.label, grouped, LabelTimeoutMs) < 0) {
        fprintf(stderr, "the program did not show the unit\n");
        return false;
    }
    // Round trips from a thread of their own, so that the installers' waits do not delay them.
    std::atomic<bool> sampling{true};
    std::vector<double> trips;
    int unanswered = 0;
    std::thread sampler([&] {
        while (sampling) {
            DWORD_PTR result = 0;
            const double start = nowMs();
            if (!SendMessageTimeoutW(window.window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result)) ++unanswered;
            trips.push_back(nowMs() - start);
            Sleep(20);
        }
    });
    const size_t requestsBefore = countRequests(simulator);
    const int noticesBefore = g_notices;
    const double started = nowMs();
    bool installed = true;
    for (int i = 0; i < StormCycles; ++i) {
        installed = plug.run(false) && installed;
        pumpFor(200);
        installed = plug.run(true) && installed;
        pumpFor(200);
    }
    const double stormMs = nowMs() - started;
    const size_t requestsInStorm = countRequests(simulator) - requestsBefore;
    const int seenNotices = g_notices - noticesBefore;
    const double shown = labelShows(window.label, grouped, 5000);
    pumpFor(3000);  // three seconds after the storm: the timer's checks alone
    const size_t requestsAfter = countRequests(simulator) - requestsBefore - requestsInStorm;
    sampling = false;
    sampler.join();
    PostMessageW(window.window, WM_CLOSE, 0, 0);
    program.exitCode(15000);
    SetEnvironmentVariableW(L"KELVANE_DEVICE_NOTICES", nullptr);

    int slow = 0;
    for (double trip : trips) slow += trip > 50 ? 1 : 0;
    printf("storm, %s: %d cycles in %.0f ms (installer %s), %d notices seen here\n",
           notices ? "notices on" : "notices off (the machine's own noise)", StormCycles, stormMs,
           installed ? "ok" : "FAILED", seenNotices);
    printf(
        "  round trips: longest %.1f ms, median %.1f ms, %d over 50 ms (%zu samples, %d unanswered); target <= 50 ms\n",
        maximum(trips), bench::median(trips), slow, trips.size(), unanswered);
    printf("  checks during the storm: %zu; in the 3 s after it: %zu (the timer's pace is 3)\n", requestsInStorm,
           requestsAfter);
    printf("  ends showing the unit: %s\n", shown >= 0 ? "yes" : "NO");
    return shown >= 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: plug-latency <installer> <inf> <instance id> <serial number>\n");
        return 1;
    }
    const Plug plug{argv[1], argv[2], argv[3], argv[4]};
    const std::wstring grouped = discovery::formatSerialNumber(argv[4]);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = noticeWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PlugLatencyNotices";
    RegisterClassW(&windowClass);
    const platform::UniqueWindow noticeWindow(CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                                              HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr));
    const discovery::UnitInterfaceNotices notices(noticeWindow.get());
    if (!notices.complete()) {
        fprintf(stderr, "registering for device notices failed\n");
        return 2;
    }
    printf("notice -> label change per event (unplug and plug alternate); target <= 100 ms every event\n");
    fflush(stdout);
    int status = 0;
    Latencies on, off;
    for (const bool withNotices : {true, false}) {
        printf("%s:\n", withNotices ? "notices on" : "notices off (timer only)");
        if (!measureEvents(plug, grouped, withNotices, withNotices ? on : off)) status = 2;
    }
    printSummary("notices on:", on);
    printSummary("notices off (timer only):", off);
    fflush(stdout);
    // The same storm with the timer alone: what the machine's load alone does to the round trips.
    for (const bool withNotices : {true, false}) {
        if (!storm(plug, grouped, withNotices)) status = 2;
    }
    return status;
}
