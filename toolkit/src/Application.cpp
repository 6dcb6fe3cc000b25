#include "toolkit/Application.h"

#include "toolkit/GdiPlus.h"
#include "toolkit/Widget.h"

#include <objbase.h>

#include <stdexcept>

namespace Nvx {

Application* Application::instance_ = nullptr;

namespace {

// GDI+ runs once per process, with its background thread suppressed: the hook
// and unhook are called here, on the GUI thread.
ULONG_PTR g_gdiplusToken = 0;
Gdiplus::GdiplusStartupOutput g_gdiplusOutput{};
ULONG_PTR g_gdiplusHookToken = 0;
bool g_gdiplusHooked = false;

void startGdiplus() {
    if (g_gdiplusToken != 0) return;
    Gdiplus::GdiplusStartupInput input;
    input.GdiplusVersion = 1;
    input.DebugEventCallback = nullptr;
    input.SuppressBackgroundThread = TRUE;
    input.SuppressExternalCodecs = FALSE;
    g_gdiplusOutput = Gdiplus::GdiplusStartupOutput{};
    Gdiplus::Status status = Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, &g_gdiplusOutput);
    // A failed start leaves no hook to call.
    if (status == Gdiplus::Ok && g_gdiplusOutput.NotificationHook) {
        g_gdiplusHooked = g_gdiplusOutput.NotificationHook(&g_gdiplusHookToken) == Gdiplus::Ok;
    }
}

void stopGdiplus() {
    if (g_gdiplusToken == 0) return;
    if (g_gdiplusHooked && g_gdiplusOutput.NotificationUnhook) {
        g_gdiplusOutput.NotificationUnhook(g_gdiplusHookToken);
    }
    g_gdiplusHooked = false;
    g_gdiplusHookToken = 0;
    Gdiplus::GdiplusShutdown(g_gdiplusToken);
    g_gdiplusToken = 0;
}

}  // namespace

Application::Application(HINSTANCE module) : hInstance_(module) {
    if (instance_) throw std::runtime_error("Application is already created!");
    startGdiplus();
    instance_ = this;
    // Neither result matters: a class that exists already stays as it is.
    registerWindowClass(L"Nvx_AbstractControl", LoadCursorW(nullptr, IDC_ARROW));
    registerWindowClass(L"Nvx_AbstractButton", LoadCursorW(nullptr, IDC_HAND));
}

Application::~Application() {
    defaultLabelFont_.reset();  // before GDI+ ends
    if (instance_ == this) {
        instance_ = nullptr;
        stopGdiplus();
    }
    if (comInitialized_) CoUninitialize();
}

const Gdiplus::Font* Application::defaultLabelFont() {
    Application* app = instance_;
    if (!app) return nullptr;
    if (!app->defaultLabelFont_) {
        Gdiplus::FontFamily family(L"Arial", nullptr);
        app->defaultLabelFont_.reset(new Gdiplus::Font(&family, 8.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel));
    }
    return app->defaultLabelFont_.get();
}

bool Application::useCom() {
    Application* app = instance_;
    if (!app) return false;
    if (!app->comInitialized_) app->comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    return app->comInitialized_;
}

bool Application::translateDialogMessage(const MSG& msg) {
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return false;
    Widget* top = widgetOf(GetAncestor(msg.hwnd, GA_ROOT));
    return top && top->dialogNavigation() && top->handleDialogKey(msg);
}

int Application::run() {
    MSG msg{};
    // GetMessageW gives -1 on an error (never for these arguments); that ends
    // the loop as well rather than spinning on it.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (translateDialogMessage(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace Nvx
