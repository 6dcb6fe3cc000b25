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
    // what screen readers read, and tells them of a change
    // (EVENT_OBJECT_NAMECHANGE on the client object); no repaint. The owner
    // calls invalidate afterwards.
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
    // Removes the role annotation of the window that goes away.
    LRESULT onDestroy(UINT message, WPARAM wParam, LPARAM lParam);
    // A client asks for the window's accessible object: the role annotation is
    // made now, before the system builds the object, and then never again.
    virtual LRESULT onGetObject(UINT message, WPARAM wParam, LPARAM lParam);

    // The accessibility role screen readers and UI Automation are given for the
    // window (an MSAA role: static text for a label); its name is the window text.
    long accessibleRole() const { return role_; }
    // Annotates the window with its role through the system's accessibility
    // property service, once; nothing at start-up needs it, only a client that
    // asks for an accessible object (this label's, or its top-level window's).
    void annotateRole();
    // Whether the annotation was tried: a client asked.
    bool roleAnnotationTried() const { return roleAnnotationTried_; }
    // Whether the system took the role (Windows does; a system without dynamic
    // annotation leaves the window a plain client area).
    bool roleAnnotated() const { return roleAnnotated_; }

    Gdiplus::ARGB color() const { return color_; }
    // The colour the text is painted in: color(), or the window text colour
    // while high contrast is on.
    virtual Gdiplus::ARGB textColor() const;
    // Null when no valid font could be made.
    const Gdiplus::Font* font() const { return font_.get(); }

protected:
    // For kinds of label: the window's class and its accessibility role.
    Label(Widget* parent, const wchar_t* className, long role);

    Gdiplus::StringFormat& format() { return *format_; }

private:
    void clearRoleAnnotation();

    std::wstring text_;
    std::unique_ptr<Gdiplus::Font> font_;
    Gdiplus::ARGB color_ = 0xFF000000;
    std::unique_ptr<Gdiplus::StringFormat> format_;
    long role_ = 0;
    bool roleAnnotationTried_ = false;
    bool roleAnnotated_ = false;
};

}  // namespace Nvx
