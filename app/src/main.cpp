// The program's entry point: log, application, window, message loop, teardown.

#include "app/AppSupport.h"
#include "app/MainWindow.h"
#include "diagnostics/Log.h"
#include "platform/SystemDlls.h"
#include "toolkit/Application.h"

#include <windows.h>

namespace {

// How long a second start waits for the first one's window to appear, or for
// the first one to end.
constexpr DWORD FirstWindowWaitMs = 5000;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything loads a DLL by name: System32 only.
    platform::useSystemDllsOnly();
    // One window per user: a second start brings the first one's window to the
    // front and ends before it touches the log. A start while the first one is
    // ending (its window gone, its check given a moment) runs once it has ended.
    app::SingleInstance instanceMark(L"Tavrello_Kelvane");
    if (!instanceMark.first() && !instanceMark.waitForTurn(app::MainWindowClassName, FirstWindowWaitMs)) return 0;
    diagnostics::startLog("Tavrello_Kelvane", false, diagnostics::LogFolderKind::LocalAppData,
                          diagnostics::LogHeaderMode::Created);
    bool checksEnded = true;
    {
        Nvx::Application application(instance);
        app::MainWindow window;
        // KELVANE_DEVICE_NOTICES=off leaves the checks to the timer alone, so that
        // a benchmark can measure what the notices are worth.
        wchar_t notices[8] = {};
        if (GetEnvironmentVariableW(L"KELVANE_DEVICE_NOTICES", notices, 8) == 3 && lstrcmpiW(notices, L"off") == 0) {
            window.stopDeviceNotices();
        }
        // Without a window there is nothing to show and no WM_QUIT would ever come.
        if (window.hwnd() != nullptr) {
            ShowWindow(window.hwnd(), SW_SHOWNORMAL);
            Nvx::Application::run();
        }
        // The window is gone already; a check in flight gets a moment to end.
        checksEnded = window.finishChecks(app::CheckWorker::ShutdownWaitMs);
    }
    diagnostics::endLog();
    if (!checksEnded) {
        // The worker is stuck inside a pipe or device call. Returning would run
        // the exit-time teardown (the WinUSB handle registry frees the handles
        // the worker may be using; static objects it may still reach are
        // destroyed) while it runs. End the process here instead: the log is
        // closed and flushed, nothing else holds unsaved data, and the system
        // closes every handle and ends the worker with the process.
        TerminateProcess(GetCurrentProcess(), 0);
    }
    return 0;
}
