#include "toolkit/Widget.h"

#include "toolkit/Application.h"
#include "toolkit/Theme.h"

#include "diagnostics/Log.h"
#include "platform/Unique.h"

#include <climits>
#include <cstdlib>
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

ATOM registerWindowClass(const std::wstring& className, HCURSOR cursor, HICON icon, HICON smallIcon) {
    Application* app = Application::instance();
    if (!app) return 0;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProcedure;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = app->hInstance();
    wc.hIcon = icon;
    wc.hCursor = cursor;
    wc.hbrBackground = nullptr;
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = className.c_str();
    wc.hIconSm = smallIcon;
    return RegisterClassExW(&wc);
}

void unregisterWindowClass(const std::wstring& className) { UnregisterClassW(className.c_str(), nullptr); }

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
}

void Widget::addHandler(UINT message, MessageHandler handler) {
    if (!handler) return;
    handlers_.emplace(message, std::move(handler));
}

bool Widget::create(const std::wstring& className, const std::wstring& windowName, DWORD style, int x, int y, int width,
                    int height, HMENU menu, Widget* parentWidget) {
    if (hwnd_) return false;
    HWND parentWindow = parentWidget ? parentWidget->hwnd_ : nullptr;
    // The window procedure sets hwnd_ at WM_CREATE; the result is stored again
    // here, null when creation failed (also when WM_CREATE refused it).
    HWND created =
        CreateWindowExW(0, className.c_str(), windowName.c_str(), style, toPixels(x, scale_), toPixels(y, scale_),
                        toPixels(width, scale_), toPixels(height, scale_), parentWindow, menu, toolkitModule(), this);
    hwnd_ = created;
    if (!hwnd_) {
        DWORD error = GetLastError();
        diagnostics::logError("Build failed %d", static_cast<int>(error));
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
    SetWindowPos(hwnd_, nullptr, toPixels(x, scale_), toPixels(y, scale_), 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void Widget::movePixels(int x, int y) {
    if (!hwnd_) return;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void Widget::resize(int width, int height) {
    if (!hwnd_) return;
    SetWindowPos(hwnd_, nullptr, 0, 0, toPixels(width, scale_), toPixels(height, scale_), SWP_NOMOVE | SWP_NOZORDER);
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
                          static_cast<Gdiplus::REAL>(r.right - r.left), static_cast<Gdiplus::REAL>(r.bottom - r.top));
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
    // The maximize box goes too: the system then offers no maximize (Win+Up,
    // snapping) for a window that has no frame to be restored with.
    style &= ~static_cast<LONG>(WS_CAPTION | WS_THICKFRAME | WS_MINIMIZE | WS_MAXIMIZE | WS_MAXIMIZEBOX | WS_SYSMENU);
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

void Widget::setBackground(const Gdiplus::Brush& brush) { background_.reset(brush.Clone()); }

void Widget::render(Gdiplus::Graphics* graphics) {
    if (!graphics) return;
    if (!opaque()) paintBackground(graphics);
    paint(graphics);
}

void Widget::paintBackground(Gdiplus::Graphics* graphics) {
    if (!graphics) return;
    const Gdiplus::RectF area = clientRect();
    if (background_ && !highContrast()) {
        graphics->FillRectangle(background_.get(), area);
        return;
    }
    // A child without a background of its own shows its parent's drawing; the
    // desktop, a top-level window's parent, is no widget.
    Widget* under = background_ || !hwnd_ ? nullptr : widgetOf(GetAncestor(hwnd_, GA_PARENT));
    if (under == nullptr) {
        Gdiplus::SolidBrush window{Gdiplus::Color(systemColor(COLOR_WINDOW))};
        graphics->FillRectangle(&window, area);
        return;
    }
    POINT origin{0, 0};
    MapWindowPoints(hwnd_, under->hwnd_, &origin, 1);
    // The parent's transform, hints and clip are its own.
    const Gdiplus::GraphicsState state = graphics->Save();
    graphics->TranslateTransform(static_cast<Gdiplus::REAL>(-origin.x), static_cast<Gdiplus::REAL>(-origin.y));
    under->render(graphics);
    graphics->Restore(state);
}

LRESULT Widget::onPaint(UINT, WPARAM, LPARAM) {
    if (!hwnd_) return 0;
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(hwnd_, &ps);
    const RECT area = ps.rcPaint;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (dc && width > 0 && height > 0) {
        // Children paint their own areas, over what shows through them: the
        // window never draws there, so nothing flickers under them.
        for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            RECT r{};
            if (!IsWindowVisible(child) || !GetWindowRect(child, &r)) continue;
            MapWindowPoints(HWND_DESKTOP, hwnd_, reinterpret_cast<POINT*>(&r), 2);
            ExcludeClipRect(dc, r.left, r.top, r.right, r.bottom);
        }
        // The buffer: a 32-bit bitmap that GDI+ draws into as a bitmap of its
        // own (text is blended as on any GDI+ bitmap) and GDI copies from.
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // rows from the top, as GDI+ lays them out
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        const platform::UniqueGdiObject bitmap(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        const platform::UniqueMemoryDc memory(CreateCompatibleDC(dc));
        if (bitmap && bits && memory) {
            {
                Gdiplus::Bitmap frame(width, height, width * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits));
                Gdiplus::Graphics buffer(&frame);
                buffer.TranslateTransform(static_cast<Gdiplus::REAL>(-area.left),
                                          static_cast<Gdiplus::REAL>(-area.top));
                buffer.SetTextRenderingHint(Gdiplus::TextRenderingHintSingleBitPerPixelGridFit);
                render(&buffer);
            }  // GDI+ has let go of the memory
            const HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
            BitBlt(dc, area.left, area.top, width, height, memory.get(), 0, 0, SRCCOPY);
            SelectObject(memory.get(), previous);
        }
    }
    EndPaint(hwnd_, &ps);
    return 0;
}

}  // namespace Nvx

namespace Nvx {

Widget* widgetOf(HWND hwnd) {
    // Only our own window procedure puts a widget into the user-data slot.
    if (!hwnd || reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)) != windowProcedure) return nullptr;
    return reinterpret_cast<Widget*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

Widget* Widget::root() {
    Widget* top = this;
    while (auto* up = dynamic_cast<Widget*>(top->parent())) top = up;
    return top;
}

const Widget* Widget::root() const { return const_cast<Widget*>(this)->root(); }

void Widget::setFocusable(bool value) {
    if (!hwnd_) return;
    LONG style = GetWindowLongW(hwnd_, GWL_STYLE);
    style = value ? (style | WS_TABSTOP) : (style & ~static_cast<LONG>(WS_TABSTOP));
    SetWindowLongW(hwnd_, GWL_STYLE, style);
    addHandler(WM_SETFOCUS, &Widget::onFocusChange);
    addHandler(WM_KILLFOCUS, &Widget::onFocusChange);
}

bool Widget::focusable() const { return hwnd_ && (GetWindowLongW(hwnd_, GWL_STYLE) & WS_TABSTOP) != 0; }

bool Widget::hasFocus() const { return hwnd_ && GetFocus() == hwnd_; }

bool Widget::focusCuesShown() const {
    const Widget* top = root();
    // Without dialog keys nothing hides the cue.
    return !top->dialog_ || top->dialog_->focusCues;
}

LRESULT Widget::onFocusChange(UINT message, WPARAM, LPARAM) {
    const bool gained = message == WM_SETFOCUS;
    Widget* top = root();
    if (gained && top != this && top->dialog_) top->dialog_->lastFocus = hwnd_;
    focusChanged(gained);
    invalidate(false, nullptr);
    return 0;
}

void Widget::enableDialogNavigation() {
    if (dialog_) return;
    dialog_.reset(new DialogKeys());
    // Users who asked Windows to always show keyboard cues get them from the start.
    BOOL alwaysShown = FALSE;
    if (SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &alwaysShown, 0)) dialog_->focusCues = alwaysShown != FALSE;
    addHandler(WM_ACTIVATE, &Widget::onDialogActivate);
    addHandler(WM_CLOSE, &Widget::onDialogClose);
}

void Widget::setDefaultAction(std::function<void()> action) {
    if (dialog_) dialog_->defaultAction = std::move(action);
}

void Widget::setCancelAction(std::function<void()> action) {
    if (dialog_) dialog_->cancelAction = std::move(action);
}

void Widget::addShortcut(UINT key, bool control, bool shift, std::function<void()> action) {
    if (dialog_ && action) dialog_->shortcuts.push_back({key, control, shift, std::move(action)});
}

void Widget::focusNext(bool backwards) {
    if (!hwnd_) return;
    std::vector<HWND> stops;
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) && IsWindowVisible(child) && IsWindowEnabled(child)) {
            stops.push_back(child);
        }
    }
    if (stops.empty()) return;
    const HWND focus = GetFocus();
    size_t next = backwards ? stops.size() - 1 : 0;
    for (size_t i = 0; i < stops.size(); ++i) {
        if (stops[i] != focus) continue;
        next = backwards ? (i + stops.size() - 1) % stops.size() : (i + 1) % stops.size();
        break;
    }
    SetFocus(stops[next]);
}

void Widget::showFocusCues() {
    if (!dialog_ || dialog_->focusCues) return;
    dialog_->focusCues = true;
    if (Widget* focused = widgetOf(GetFocus())) focused->invalidate(false, nullptr);
}

bool Widget::handleDialogKey(const MSG& msg) {
    if (!dialog_ || !hwnd_) return false;
    const bool control = GetKeyState(VK_CONTROL) < 0;
    const bool shift = GetKeyState(VK_SHIFT) < 0;
    const bool alt = (HIWORD(msg.lParam) & KF_ALTDOWN) != 0;
    const bool repeat = (HIWORD(msg.lParam) & KF_REPEAT) != 0;
    // A held key acts once.
    auto once = [repeat](const std::function<void()>& action) {
        if (!repeat && action) {
            std::function<void()> run = action;  // the action may replace its own slot
            run();
        }
        return true;
    };

    if (msg.message == WM_SYSKEYDOWN) {
        if (msg.wParam != VK_F4 || !alt || control || shift) return false;
        if (!repeat) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
        return true;
    }
    if (msg.message != WM_KEYDOWN || alt) return false;
    switch (msg.wParam) {
    case VK_TAB:
        if (control) return false;
        focusNext(shift);
        showFocusCues();
        return true;
    case VK_RETURN: {
        if (control || shift) return false;
        if (repeat) return true;
        Widget* focused = widgetOf(GetFocus());
        if (focused && focused != this && IsChild(hwnd_, focused->hwnd()) && focused->activate()) return true;
        return once(dialog_->defaultAction);
    }
    case VK_ESCAPE:
        if (control || shift || !dialog_->cancelAction) return false;
        return once(dialog_->cancelAction);
    default: break;
    }
    for (const DialogKeys::Shortcut& shortcut : dialog_->shortcuts) {
        if (shortcut.key == msg.wParam && shortcut.control == control && shortcut.shift == shift) {
            return once(shortcut.action);
        }
    }
    return false;
}

LRESULT Widget::onDialogActivate(UINT message, WPARAM wParam, LPARAM lParam) {
    // Like a dialog: the control that had the focus gets it back, rather than
    // the window itself.
    const HWND last = dialog_ ? dialog_->lastFocus : nullptr;
    if (LOWORD(wParam) != WA_INACTIVE && !HIWORD(wParam) && last && IsWindow(last) && IsChild(hwnd_, last)) {
        SetFocus(last);
        return 0;
    }
    return callDefault(message, wParam, lParam);
}

LRESULT Widget::onDialogClose(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!dialog_ || !dialog_->cancelAction) return callDefault(message, wParam, lParam);
    std::function<void()> run = dialog_->cancelAction;
    run();
    return 0;
}

void Widget::enableBackgroundDrag() {
    if (drag_) return;
    drag_.reset(new BackgroundDrag());
    addHandler(WM_LBUTTONDOWN, &Widget::onDragButtonDown);
    addHandler(WM_MOUSEMOVE, &Widget::onDragMouseMove);
    addHandler(WM_LBUTTONUP, &Widget::onDragButtonUp);
    addHandler(WM_CAPTURECHANGED, &Widget::onDragCaptureChanged);
}

namespace {

POINT messagePoint() {
    const DWORD position = GetMessagePos();
    return POINT{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
}

}  // namespace

LRESULT Widget::onDragButtonDown(UINT, WPARAM, LPARAM) {
    RECT window{};
    if (!drag_ || !hwnd_ || !GetWindowRect(hwnd_, &window)) return 0;
    drag_->start = messagePoint();
    drag_->origin = POINT{window.left, window.top};
    drag_->moving = false;
    SetCapture(hwnd_);
    drag_->armed = GetCapture() == hwnd_;
    return 0;
}

LRESULT Widget::onDragMouseMove(UINT, WPARAM wParam, LPARAM) {
    if (!drag_ || !drag_->armed) return 0;
    if (!(wParam & MK_LBUTTON)) {  // the release went elsewhere
        onDragButtonUp(WM_LBUTTONUP, 0, 0);
        return 0;
    }
    const POINT at = messagePoint();
    const int dx = at.x - drag_->start.x;
    const int dy = at.y - drag_->start.y;
    // A press that wobbles a pixel or two is still a click, not a move.
    if (!drag_->moving && std::abs(dx) < GetSystemMetrics(SM_CXDRAG) && std::abs(dy) < GetSystemMetrics(SM_CYDRAG)) {
        return 0;
    }
    drag_->moving = true;
    SetWindowPos(hwnd_, nullptr, drag_->origin.x + dx, drag_->origin.y + dy, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
}

LRESULT Widget::onDragButtonUp(UINT, WPARAM, LPARAM) {
    if (!drag_ || !drag_->armed) return 0;
    drag_->armed = false;
    drag_->moving = false;
    if (GetCapture() == hwnd_) ReleaseCapture();
    return 0;
}

LRESULT Widget::onDragCaptureChanged(UINT, WPARAM, LPARAM) {
    if (drag_) {
        drag_->armed = false;
        drag_->moving = false;
    }
    return 0;
}

}  // namespace Nvx
