#pragma once
// A label with a filled background that shows hover and press and fires onClick
// on a completed click: pressed on the button and released inside it.

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

    LRESULT onMouseMove(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onMouseLeave(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onLeftButtonDown(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onLeftButtonUp(UINT message, WPARAM wParam, LPARAM lParam);

    // The pointer is over the button and leave tracking is armed.
    bool hovered() const { return hovered_; }
    // The left button went down on the button; the mouse is captured.
    bool pressed() const { return pressed_; }

    // The fill of the current state.
    Gdiplus::ARGB fillColor() const;

    static constexpr Gdiplus::ARGB NormalFill = 0xFF444444;
    static constexpr Gdiplus::ARGB HoveredFill = 0xFF888888;
    static constexpr Gdiplus::ARGB PressedFill = 0xFFBBBBBB;

private:
    bool hovered_ = false;
    bool pressed_ = false;
};

}  // namespace Nvx
