#pragma once
// A widget that draws a text with a GDI+ font, colour and string format.

#include "toolkit/Widget.h"

#include <memory>
#include <string>

namespace Nvx {

class Label : public Widget {
public:
    // Builds the label and its child window (WS_CHILD | WS_VISIBLE) of class
    // className, or "Nvx_AbstractControl" when none is given. The window has no
    // visible area until the owner moves and resizes it.
    explicit Label(Widget* parent, const wchar_t* className = nullptr);
    ~Label() override;

    // The label keeps its text and mirrors it into the window text, which is
    // what screen readers read; no repaint. The owner calls invalidate afterwards.
    void setText(const std::wstring& text) override;
    std::wstring text() const override;

    using Widget::setFont;
    // Keeps a clone of font; requests no repaint.
    void setFont(const Gdiplus::Font& font);
    // Requests no repaint.
    void setColor(const Gdiplus::Color& color);

    void paint(Gdiplus::Graphics* graphics) override;

    // A label that cannot take the focus lets the pointer through to its parent.
    LRESULT onHitTest(UINT message, WPARAM wParam, LPARAM lParam);
    // Hands accessibility clients the system's standard object for the label's
    // role ("Static" text; a button says "Button"), named by the window text.
    LRESULT onGetObject(UINT message, WPARAM wParam, LPARAM lParam);

    Gdiplus::ARGB color() const { return color_; }
    // Null when no valid font could be made.
    const Gdiplus::Font* font() const { return font_.get(); }

protected:
    Gdiplus::StringFormat& format() { return *format_; }
    // The standard window class whose accessibility role the widget takes.
    void setAccessibleClass(const wchar_t* className) { accessibleClass_ = className; }

private:
    std::wstring text_;
    std::unique_ptr<Gdiplus::Font> font_;
    Gdiplus::ARGB color_ = 0xFF000000;
    std::unique_ptr<Gdiplus::StringFormat> format_;
    const wchar_t* accessibleClass_ = L"Static";
};

}  // namespace Nvx
