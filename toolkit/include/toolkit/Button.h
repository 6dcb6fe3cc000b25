#pragma once
// A label with a filled background that shows hover and press and fires onClick
// on a completed click: pressed on the button and released inside it. It takes
// the focus (Tab, or a press on it); while focused, Space pressed and released
// clicks it, and Enter activates it through the top-level widget's dialog keys.

#include "toolkit/Label.h"

#include <functional>

namespace Nvx {

class Button : public Label {
public:
    // Builds the button and its child window of class "Nvx_AbstractButton".
    explicit Button(Widget* parent);
    ~Button() override;

    // The owner's action; an empty one is skipped.
    std::function<void()> onClick;

    void paint(Gdiplus::Graphics* graphics) override;
    // Its fill covers the whole button.
    bool opaque() const override { return true; }

    // Fires onClick (a copy of it, so that the action may replace it).
    void click();
    bool activate() override;
    void focusChanged(bool gained) override;

    LRESULT onMouseMove(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onMouseLeave(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onLeftButtonDown(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onLeftButtonUp(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onKeyDown(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onKeyUp(UINT message, WPARAM wParam, LPARAM lParam);
    // BM_CLICK (what accessibility clients' default action sends) and BM_GETSTATE.
    LRESULT onButtonMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Tells Active Accessibility that the window works as a standard push
    // button (OBJID_QUERYCLASSNAMEIDX), so that screen readers and UI
    // Automation get the system's button object: its default action sends
    // BM_CLICK, which presses the button. Other requests go as a label's do.
    LRESULT onGetObject(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The pointer is over the button and leave tracking is armed.
    bool hovered() const { return hovered_; }
    // The left button went down on the button; the mouse is captured.
    bool pressed() const { return pressed_; }
    // Space is held down on the focused button.
    bool keyPressed() const { return keyPressed_; }
    // The focus cue is drawn: the button has the focus and its window shows
    // cues, or high contrast is on (then always).
    bool showsFocusCue() const;

    // The fill of the current state; with high contrast the button face, or
    // the highlight while pressed.
    Gdiplus::ARGB fillColor() const;
    // With high contrast the button text, or the highlight text while pressed.
    Gdiplus::ARGB textColor() const override;
    // The dotted outline's colour; with high contrast the highlight.
    Gdiplus::ARGB focusCueColor() const;

    static constexpr Gdiplus::ARGB NormalFill = 0xFF444444;
    static constexpr Gdiplus::ARGB HoveredFill = 0xFF888888;
    static constexpr Gdiplus::ARGB PressedFill = 0xFFBBBBBB;
    // The dotted outline inside a focused button.
    static constexpr Gdiplus::ARGB FocusCue = 0xFFF4F4F4;
    // What a standard push button answers to OBJID_QUERYCLASSNAMEIDX.
    static constexpr LRESULT PushButtonClassIndex = 65536 + 2;

private:
    bool hovered_ = false;
    bool pressed_ = false;
    bool keyPressed_ = false;
};

}  // namespace Nvx
