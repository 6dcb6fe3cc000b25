// The program's entry point: log, application, window, message loop, teardown.

#include "app/MainWindow.h"
#include "diagnostics/Log.h"
#include "toolkit/Application.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    startLog("Tavrello_Kelvane", false, LogFolderKind::LocalAppData, LogHeaderMode::Created);
    {
        Nvx::Application application(instance);
        MainWindow window;
        // Without a window there is nothing to show and no WM_QUIT would ever come.
        if (window.hwnd() != nullptr) {
            ShowWindow(window.hwnd(), SW_SHOWNORMAL);
            Nvx::Application::run();
        }
    }
    endLog();
    return 0;
}
