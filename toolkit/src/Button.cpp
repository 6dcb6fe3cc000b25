#include "toolkit/Button.h"

#include "toolkit/Theme.h"

#include <oleacc.h>

namespace Nvx {

Button::Button(Widget* parentWidget) : Label(parentWidget, L"Nvx_AbstractButton", ROLE_SYSTEM_PUSHBUTTON) {
    addHandler(WM_MOUSELEAVE, &Button::onMouseLeave);
    addHandler(WM_MOUSEMOVE, &Button::onMouseMove);
    addHandler(WM_LBUTTONDOWN, &Button::onLeftButtonDown);
    addHandler(WM_LBUTTONUP, &Button::onLeftButtonUp);
    addHandler(WM_KEYDOWN, &Button::onKeyDown);
    addHandler(WM_KEYUP, &Button::onKeyUp);
    addHandler(BM_CLICK, &Button::onButtonMessage);
    addHandler(BM_GETSTATE, &Button::onButtonMessage);
    setFocusable(true);
    format().SetAlignment(Gdiplus::StringAlignmentCenter);
    format().SetLineAlignment(Gdiplus::StringAlignmentCenter);
}

Button::~Button() { onClick = nullptr; }

Gdiplus::ARGB Button::fillColor() const {
    const bool down = pressed_ || keyPressed_;
    if (highContrast()) return systemColor(down ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
    if (down) return PressedFill;
    return hovered_ ? HoveredFill : NormalFill;
}

Gdiplus::ARGB Button::textColor() const {
    if (!highContrast()) return color();
    return systemColor(pressed_ || keyPressed_ ? COLOR_HIGHLIGHTTEXT : COLOR_BTNTEXT);
}

Gdiplus::ARGB Button::focusCueColor() const { return highContrast() ? systemColor(COLOR_HIGHLIGHT) : FocusCue; }

bool Button::showsFocusCue() const { return hasFocus() && (focusCuesShown() || highContrast()); }

void Button::paint(Gdiplus::Graphics* graphics) {
    if (!graphics) return;
    Gdiplus::SolidBrush fill{Gdiplus::Color(fillColor())};
    const Gdiplus::RectF bounds = clientRect();
    graphics->FillRectangle(&fill, bounds);
    if (showsFocusCue()) {
        // A light dotted outline a few pixels inside the edge, as on the
        // system's own buttons, drawn in the dark theme's light colour.
        const Gdiplus::REAL inset = 3.0f * scale();
        Gdiplus::Pen cue(Gdiplus::Color(focusCueColor()), 1.0f);
        cue.SetDashStyle(Gdiplus::DashStyleDot);
        graphics->DrawRectangle(&cue, bounds.X + inset, bounds.Y + inset, bounds.Width - 2 * inset - 1.0f,
                                bounds.Height - 2 * inset - 1.0f);
    }
    Label::paint(graphics);
}

void Button::click() {
    if (!onClick) return;
    std::function<void()> action = onClick;
    action();
}

bool Button::activate() {
    click();
    return true;
}

void Button::focusChanged(bool gained) {
    if (!gained) keyPressed_ = false;  // Space released elsewhere clicks nothing
}

LRESULT Button::onKeyDown(UINT message, WPARAM wParam, LPARAM lParam) {
    if (wParam != VK_SPACE) return callDefault(message, wParam, lParam);
    if (!pressed_ && !(HIWORD(lParam) & KF_REPEAT)) {
        keyPressed_ = true;
        invalidate(false, nullptr);
    }
    return 0;
}

LRESULT Button::onKeyUp(UINT message, WPARAM wParam, LPARAM lParam) {
    if (wParam != VK_SPACE) return callDefault(message, wParam, lParam);
    if (keyPressed_) {
        keyPressed_ = false;
        invalidate(false, nullptr);
        click();  // may destroy the window, as a mouse click may
    }
    return 0;
}

LRESULT Button::onButtonMessage(UINT message, WPARAM, LPARAM) {
    if (message == BM_CLICK) {
        click();
        return 0;
    }
    LRESULT state = 0;
    if (pressed_ || keyPressed_) state |= BST_PUSHED;
    if (hasFocus()) state |= BST_FOCUS;
    return state;
}

LRESULT Button::onGetObject(UINT message, WPARAM wParam, LPARAM lParam) {
    // The object id arrives as a DWORD in lParam.
    if (static_cast<LONG>(static_cast<DWORD>(lParam)) == OBJID_QUERYCLASSNAMEIDX) return PushButtonClassIndex;
    return Label::onGetObject(message, wParam, lParam);
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
    if (hwnd()) {
        if (focusable()) SetFocus(hwnd());
        SetCapture(hwnd());
    }
    invalidate(false, nullptr);
    return 0;
}

LRESULT Button::onLeftButtonUp(UINT, WPARAM, LPARAM) {
    POINT cursor{};
    if (pressed_ && hovered_ && hwnd() && GetCursorPos(&cursor) && ScreenToClient(hwnd(), &cursor)) {
        const Size bounds = pixelSize();
        const bool inside = cursor.x >= 0 && cursor.x < bounds.width && cursor.y >= 0 && cursor.y < bounds.height;
        // The action may destroy this button's window (a "Close" button does);
        // the object itself lives on until its parent is deleted.
        if (inside) click();
    }
    ReleaseCapture();
    pressed_ = false;
    invalidate(false, nullptr);
    return 0;
}

}  // namespace Nvx
