// soak-check: the window's check, on its worker thread, 10,000 times back to
// back in one process, with a repaint of the window between checks, for (a)
// nothing reachable and (b) the service simulator serving one unit. Prints the
// check's median time, the process's private bytes after the warm-up and at
// the end, and the pipe connections the simulator saw opened and closed.
//
// Usage: soak-check [checks (10000)] [longest warm-up (20000)]
// The warm-up lasts at least 30 seconds and until the private bytes have not
// changed over 2,000 checks (under Wine the process's committed memory grows by
// about 90 KiB early on, once); its length and growth are printed too.
// The simulator is service-simulator.exe beside this program.

#include "BenchSupport.h"
#include "app/MainWindow.h"
#include "diagnostics/Log.h"
#include "toolkit/Application.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace diagnostics;
using namespace app;

namespace {

void pumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_TIMER) continue;  // the checks here are the soak's own
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The simulator with one unit, its output going to a file.
class Simulator : public bench::ChildProcess {
public:
    Simulator()
        : ChildProcess(bench::besideThisProgram(L"service-simulator.exe"), L"--serial SOAK00000000000000000001") {}

    bool waitForServing() const { return waitForOutput("serving", 30000); }
    // The counts of the simulator's last connection line, once every connection is closed.
    bool finalCounts(unsigned& opened, unsigned& closed) const {
        for (int i = 0; i < 100; ++i) {
            const std::string text = output();
            const size_t at = text.rfind("closed: opened ");
            if (at != std::string::npos &&
                sscanf(text.c_str() + at, "closed: opened %u, closed %u", &opened, &closed) == 2 && opened == closed) {
                return true;
            }
            Sleep(50);
        }
        return false;
    }
};

struct Result {
    double medianUs = 0;
    int warmUpChecks = 0;
    size_t start = 0;  // before the warm-up
    size_t before = 0;
    size_t after = 0;
};

// One check on the window's worker thread, until its result is shown, and the
// repaint after it; returns the check's time in microseconds.
double checkAndRepaint(MainWindow& window) {
    const unsigned shown = window.completedChecks();
    const double start = bench::nowMicroseconds();
    window.onTimer(WM_TIMER, 0, 0);
    while (window.completedChecks() == shown) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT);
        pumpMessages();
    }
    const double elapsed = bench::nowMicroseconds() - start;
    RedrawWindow(window.hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    pumpMessages();
    return elapsed;
}

Result soak(MainWindow& window, int checks, int longestWarmUp) {
    constexpr int Block = 500;
    constexpr int SteadyBlocks = 4;
    constexpr ULONGLONG ShortestWarmUpMs = 30000;
    Result result;
    result.start = testing_support::privateBytes();
    const ULONGLONG warmUpEnd = GetTickCount64() + ShortestWarmUpMs;
    for (int steady = 0;
         (steady < SteadyBlocks || GetTickCount64() < warmUpEnd) && result.warmUpChecks < longestWarmUp;) {
        const size_t before = testing_support::privateBytes();
        for (int i = 0; i < Block; ++i) checkAndRepaint(window);
        result.warmUpChecks += Block;
        steady = testing_support::privateBytes() == before ? steady + 1 : 0;
    }
    // Filled now, so that the pages of the times themselves count before the soak.
    std::vector<double> times(static_cast<size_t>(checks), 0.0);
    result.before = testing_support::privateBytes();
    for (double& time : times) time = checkAndRepaint(window);
    result.after = testing_support::privateBytes();
    result.medianUs = bench::median(times);
    return result;
}

void print(const char* name, const Result& r, const std::wstring& shown) {
    const long long growth = static_cast<long long>(r.after) - static_cast<long long>(r.before);
    const long long warmUpGrowth = static_cast<long long>(r.before) - static_cast<long long>(r.start);
    printf(
        "%-24s median check %8.1f us   private bytes %zu -> %zu (%+lld, target < 65536)   shows \"%ls\"\n"
        "%-24s warm-up: %d checks, private bytes %+lld\n",
        name, r.medianUs, r.before, r.after, growth, shown.c_str(), "", r.warmUpChecks, warmUpGrowth);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int checks = argc > 1 ? _wtoi(argv[1]) : 10000;
    const int warmUp = argc > 2 ? _wtoi(argv[2]) : 20000;
    if (checks <= 0 || warmUp < 0) {
        fprintf(stderr, "usage: soak-check [checks (10000)] [longest warm-up (20000)]\n");
        return 1;
    }
    Nvx::Application application(GetModuleHandleW(nullptr));
    MainWindow window;
    if (window.hwnd() == nullptr) {
        fprintf(stderr, "soak-check: the window could not be created\n");
        return 2;
    }
    ShowWindow(window.hwnd(), SW_SHOWNORMAL);
    pumpMessages();
    printf("%d checks after a warm-up (at most %d checks), a repaint after each check\n", checks, warmUp);

    const Result none = soak(window, checks, warmUp);
    print("(a) nothing reachable", none, window.serialLabel()->text());

    Simulator simulator;
    if (!simulator.waitForServing()) {
        fprintf(stderr, "soak-check: the simulator did not start:\n%s\n", simulator.output().c_str());
        return 2;
    }
    const Result served = soak(window, checks, warmUp);
    print("(b) simulator, 1 unit", served, window.serialLabel()->text());
    unsigned opened = 0, closed = 0;
    const bool settled = simulator.finalCounts(opened, closed);
    printf("simulator connections: opened %u, closed %u%s (expected %d)\n", opened, closed,
           settled ? "" : " (not all closed)", checks + served.warmUpChecks);
    fflush(stdout);
    return settled ? 0 : 3;
}
