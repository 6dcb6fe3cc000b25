#include "toolkit/Button.h"

namespace Nvx {

Button::Button(Widget* parentWidget) : Label(parentWidget, L"Nvx_AbstractButton") {
    addHandler(WM_MOUSELEAVE, &Button::onMouseLeave);
    addHandler(WM_MOUSEMOVE, &Button::onMouseMove);
    addHandler(WM_LBUTTONDOWN, &Button::onLeftButtonDown);
    addHandler(WM_LBUTTONUP, &Button::onLeftButtonUp);
    format().SetAlignment(Gdiplus::StringAlignmentCenter);
    format().SetLineAlignment(Gdiplus::StringAlignmentCenter);
}

Button::~Button() {
    onClick = nullptr;
}

Gdiplus::ARGB Button::fillColor() const {
    if (pressed_) return PressedFill;
    return hovered_ ? HoveredFill : NormalFill;
}

void Button::paint(Gdiplus::Graphics* graphics) {
    if (!graphics) return;
    Gdiplus::SolidBrush fill{Gdiplus::Color(fillColor())};
    graphics->FillRectangle(&fill, clientRect());
    Label::paint(graphics);
}

LRESULT Button::onMouseMove(UINT, WPARAM, LPARAM) {
    if (!hovered_ && hwnd()) {
        TRACKMOUSEEVENT track{};
        track.cbSize = sizeof(track);
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = hwnd();
        track.dwHoverTime = HOVER_DEFAULT;
        TrackMouseEvent(&track);
    }
    hovered_ = true;
    invalidate(false, nullptr);
    return 0;
}

LRESULT Button::onMouseLeave(UINT, WPARAM, LPARAM) {
    hovered_ = false;
    invalidate(false, nullptr);
    return 0;
}

LRESULT Button::onLeftButtonDown(UINT, WPARAM, LPARAM) {
    pressed_ = true;
    if (hwnd()) SetCapture(hwnd());
    invalidate(false, nullptr);
    return 0;
}

LRESULT Button::onLeftButtonUp(UINT, WPARAM, LPARAM) {
    POINT cursor{};
    if (pressed_ && hovered_ && hwnd() && GetCursorPos(&cursor) && ScreenToClient(hwnd(), &cursor)) {
        const Size bounds = pixelSize();
        const bool inside = cursor.x >= 0 && cursor.x < bounds.width &&
                            cursor.y >= 0 && cursor.y < bounds.height;
        // The action may destroy this button's window (a "Close" button does);
        // the object itself lives on until its parent is deleted.
        // A copy runs, so that an action may also replace onClick.
        if (inside && onClick) {
            std::function<void()> action = onClick;
            action();
        }
    }
    ReleaseCapture();
    pressed_ = false;
    invalidate(false, nullptr);
    return 0;
}

}  // namespace Nvx
