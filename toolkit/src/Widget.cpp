#include "toolkit/Widget.h"

#include "toolkit/Application.h"

#include "diagnostics/Log.h"

#include <climits>
#include <cmath>

namespace Nvx {

namespace {

constexpr int DefaultCoordinate = static_cast<int>(CW_USEDEFAULT);

// Truncates toward zero, held in the int range (a float outside it has no int value).
int truncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

HINSTANCE toolkitModule() {
    Application* app = Application::instance();
    return app ? app->hInstance() : GetModuleHandleW(nullptr);
}

}  // namespace

int toPixels(int value, float scale) {
    if (value == DefaultCoordinate) return value;
    return truncateToInt(static_cast<double>(static_cast<float>(value) * scale));
}

int toLogical(int pixels, float scale) {
    return truncateToInt(static_cast<double>(static_cast<float>(pixels) / scale));
}

ATOM registerWindowClass(const std::wstring& className, HCURSOR cursor) {
    Application* app = Application::instance();
    if (!app) return 0;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProcedure;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = app->hInstance();
    wc.hIcon = nullptr;
    wc.hCursor = cursor;
    wc.hbrBackground = nullptr;
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = className.c_str();
    wc.hIconSm = nullptr;
    return RegisterClassExW(&wc);
}

void unregisterWindowClass(const std::wstring& className) {
    UnregisterClassW(className.c_str(), nullptr);
}

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* widget = reinterpret_cast<Widget*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (widget) {
        if (message != WM_DESTROY) return widget->dispatch(message, wParam, lParam);
        // Nothing after WM_DESTROY reaches the widget, and the widget forgets the
        // window once its own handler has run: the handle is no longer its own.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        LRESULT result = widget->dispatch(message, wParam, lParam);
        if (widget->hwnd_ == hwnd) widget->hwnd_ = nullptr;
        return result;
    }
    if (message == WM_CREATE && lParam) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (cs->lpCreateParams) {
            widget = static_cast<Widget*>(cs->lpCreateParams);
            widget->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(widget));
            return widget->dispatch(message, wParam, lParam);
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

Widget::Widget(Widget* parentWidget) {
    setParent(parentWidget);
    if (parentWidget) scale_ = parentWidget->scale_;
    addHandler(WM_PAINT, &Widget::onPaint);
}

Widget::~Widget() {
    // From here on the window's messages go to the default procedure: no handler
    // of a half-destroyed widget runs.
    handlers_.clear();
    if (hwnd_) {
        HWND window = hwnd_;
        DestroyWindow(window);
        hwnd_ = nullptr;
    }
    background_.reset();
    backBuffer_.reset();
}

void Widget::addHandler(UINT message, MessageHandler handler) {
    if (!handler) return;
    handlers_.emplace(message, std::move(handler));
}

bool Widget::create(const std::wstring& className, const std::wstring& windowName, DWORD style,
                    int x, int y, int width, int height, HMENU menu, Widget* parentWidget) {
    if (hwnd_) return false;
    HWND parentWindow = parentWidget ? parentWidget->hwnd_ : nullptr;
    // The window procedure sets hwnd_ at WM_CREATE; the result is stored again
    // here, null when creation failed (also when WM_CREATE refused it).
    HWND created = CreateWindowExW(0, className.c_str(), windowName.c_str(), style,
                                   toPixels(x, scale_), toPixels(y, scale_),
                                   toPixels(width, scale_), toPixels(height, scale_),
                                   parentWindow, menu, toolkitModule(), this);
    hwnd_ = created;
    if (!hwnd_) {
        DWORD error = GetLastError();
        if (Log* log = Log::instance()) log->writeError("Build failed %d", static_cast<int>(error));
    }
    return hwnd_ != nullptr;
}

LRESULT Widget::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    auto found = handlers_.find(message);
    if (found == handlers_.end()) return callDefault(message, wParam, lParam);
    return found->second(message, wParam, lParam);
}

LRESULT Widget::callDefault(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!hwnd_) return 0;
    return defaultProc_(hwnd_, message, wParam, lParam);
}

void Widget::setFont(HFONT font) {
    if (!hwnd_) return;
    SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void Widget::setText(const std::wstring& value) {
    if (!hwnd_) return;
    SendMessageW(hwnd_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
    InvalidateRect(hwnd_, nullptr, FALSE);
}

std::wstring Widget::text() const {
    if (!hwnd_) return std::wstring();
    wchar_t buffer[1025] = {};
    GetWindowTextW(hwnd_, buffer, 1024);
    buffer[1024] = L'\0';
    return std::wstring(buffer);
}

void Widget::move(int x, int y) {
    if (!hwnd_) return;
    SetWindowPos(hwnd_, nullptr, toPixels(x, scale_), toPixels(y, scale_), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
}

void Widget::resize(int width, int height) {
    if (!hwnd_) return;
    SetWindowPos(hwnd_, nullptr, 0, 0, toPixels(width, scale_), toPixels(height, scale_),
                 SWP_NOMOVE | SWP_NOZORDER);
}

Size Widget::pixelSize() const {
    RECT r{};
    if (!hwnd_ || !GetWindowRect(hwnd_, &r)) return Size{};
    return Size{r.right - r.left, r.bottom - r.top};
}

Size Widget::size() const {
    Size pixels = pixelSize();
    return Size{toLogical(pixels.width, scale_), toLogical(pixels.height, scale_)};
}

Gdiplus::RectF Widget::clientRect() const {
    RECT r{};
    if (!hwnd_ || !GetClientRect(hwnd_, &r)) return Gdiplus::RectF();
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(r.left), static_cast<Gdiplus::REAL>(r.top),
                          static_cast<Gdiplus::REAL>(r.right - r.left),
                          static_cast<Gdiplus::REAL>(r.bottom - r.top));
}

void Widget::centerOnScreen() {
    RECT r{};
    if (!hwnd_ || !GetWindowRect(hwnd_, &r)) return;
    int x = (GetSystemMetrics(SM_CXSCREEN) + r.left - r.right) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) + r.top - r.bottom) / 2;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void Widget::removeFrame() {
    if (!hwnd_) return;
    LONG style = GetWindowLongW(hwnd_, GWL_STYLE);
    style &= ~static_cast<LONG>(WS_CAPTION | WS_THICKFRAME | WS_MINIMIZE | WS_MAXIMIZE | WS_SYSMENU);
    SetWindowLongW(hwnd_, GWL_STYLE, style);
    LONG exStyle = GetWindowLongW(hwnd_, GWL_EXSTYLE);
    exStyle &= ~static_cast<LONG>(WS_EX_DLGMODALFRAME | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE);
    SetWindowLongW(hwnd_, GWL_EXSTYLE, exStyle);
    // The new styles take effect only once the frame is recalculated.
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Widget::setScale(float factor) {
    if (!std::isfinite(factor) || factor <= 0.0f) return;
    scale_ = factor;
}

void Widget::close() {
    if (hwnd_) DestroyWindow(hwnd_);
}

void Widget::invalidate(bool includeParent, const RECT* rect) {
    // Never with a null window: InvalidateRect(NULL, ...) repaints every window.
    if (!hwnd_) return;
    if (includeParent) {
        HWND parentWindow = GetParent(hwnd_);
        RECT client{};
        if (parentWindow && GetClientRect(hwnd_, &client)) {
            POINT origin{0, 0};
            MapWindowPoints(hwnd_, parentWindow, &origin, 1);
            OffsetRect(&client, origin.x, origin.y);
            InvalidateRect(parentWindow, &client, FALSE);
        }
    }
    InvalidateRect(hwnd_, rect, FALSE);
}

void Widget::setBackground(const Gdiplus::Brush& brush) {
    background_.reset(brush.Clone());
}

LRESULT Widget::onPaint(UINT, WPARAM, LPARAM) {
    if (!hwnd_) return 0;
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(hwnd_, &ps);
    RECT window{};
    GetWindowRect(hwnd_, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;

    if (!backBuffer_ || static_cast<int>(backBuffer_->GetWidth()) != width ||
        static_cast<int>(backBuffer_->GetHeight()) != height) {
        std::unique_ptr<Gdiplus::Bitmap> fresh;
        if (width > 0 && height > 0) {
            fresh.reset(new Gdiplus::Bitmap(width, height, PixelFormat32bppPARGB));
            if (fresh->GetLastStatus() != Gdiplus::Ok) fresh.reset();
        }
        backBuffer_ = std::move(fresh);
    }

    if (dc && backBuffer_) {
        Gdiplus::Graphics buffer(backBuffer_.get());
        buffer.SetTextRenderingHint(Gdiplus::TextRenderingHintSingleBitPerPixelGridFit);
        if (background_) buffer.FillRectangle(background_.get(), clientRect());
        paint(&buffer);
        Gdiplus::Graphics screen(dc);
        screen.DrawImage(backBuffer_.get(), 0, 0);
    }
    EndPaint(hwnd_, &ps);
    return 0;
}

}  // namespace Nvx
