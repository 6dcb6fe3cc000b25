// footprint-bare-window: the floor the footprint benchmark compares the program
// against. A process that registers a window class and shows one 650 x 232
// popup in the middle of the screen, painted by the system with the window
// colour, until it is closed. Built static with the programs' compile and link
// options (kelvane_options), importing only the system DLLs it uses.

#include <windows.h>

namespace {

const wchar_t* const BareWindowClass = L"Kelvane_BareWindow";
constexpr int BareWindowWidth = 650;
constexpr int BareWindowHeight = 232;

LRESULT CALLBACK bareWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = bareWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = BareWindowClass;
    if (!RegisterClassExW(&windowClass)) return 1;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - BareWindowWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - BareWindowHeight) / 2;
    HWND window = CreateWindowExW(0, BareWindowClass, L"Bare window", WS_POPUP, x, y, BareWindowWidth, BareWindowHeight,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWNORMAL);  // painted in the loop, as the program's window is
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
