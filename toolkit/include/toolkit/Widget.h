#pragma once
// Window-backed widgets. Every toolkit window class has the one windowProcedure,
// which finds the widget through the window's user-data slot and hands each
// message to the widget's table of handlers.

#include "toolkit/GdiPlus.h"
#include "toolkit/Object.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Nvx {

// A handler receives the message id, wParam and lParam and returns the window
// procedure's result.
using MessageHandler = std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)>;
// One handler per message id; insertion never replaces a registered handler.
using HandlerMap = std::unordered_map<UINT, MessageHandler>;

// Registers a toolkit window class of the live application's module, with
// windowProcedure, CS_HREDRAW | CS_VREDRAW, no background brush and the given
// icons (large and small; null: the system's default). Returns
// RegisterClassExW's atom; 0 when it fails or no application exists.
ATOM registerWindowClass(const std::wstring& className, HCURSOR cursor, HICON icon = nullptr,
                         HICON smallIcon = nullptr);
void unregisterWindowClass(const std::wstring& className);

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Logical units to pixels: value times scale, truncated toward zero and held in
// the int range. CW_USEDEFAULT passes unchanged.
int toPixels(int value, float scale);
// Pixels to logical units: value divided by scale, truncated toward zero.
int toLogical(int pixels, float scale);

struct Size {
    int width = 0;
    int height = 0;
};

class Widget;

// The widget behind a window of the toolkit's window procedure; null for any
// other window (whose user-data slot means something else).
Widget* widgetOf(HWND hwnd);

// What a top-level widget with dialog-like keyboard handling keeps. Owned by
// that widget, used on the GUI thread only.
struct DialogKeys {
    struct Shortcut {
        UINT key;
        bool control;
        bool shift;
        std::function<void()> action;
    };
    std::function<void()> defaultAction;  // Enter when the focused widget does not take it
    std::function<void()> cancelAction;   // Esc, Alt+F4 and WM_CLOSE
    std::vector<Shortcut> shortcuts;
    bool focusCues = false;    // shown once the keyboard was used to move the focus
    HWND lastFocus = nullptr;  // restored when the window is activated again
};

// Moving a top-level window by dragging its background. GUI thread only.
struct BackgroundDrag {
    bool armed = false;   // the left button went down on the background
    bool moving = false;  // the pointer left the drag threshold: the window follows it
    POINT start{};        // cursor at the press, screen pixels
    POINT origin{};       // window's top left at the press, screen pixels
};

class Widget : public Object {
public:
    // Enters the widget in parent's children (parent owns it from then on) and
    // copies the parent's scale once. Creates no window.
    explicit Widget(Widget* parent);
    ~Widget() override;

    // Creates the widget's window once; false when it already has one or when
    // creation failed (logged as "Build failed <code>"). Positions and sizes are
    // logical units.
    bool create(const std::wstring& className, const std::wstring& windowName, DWORD style, int x, int y, int width,
                int height, HMENU menu, Widget* parent);

    // Routes one message to its handler, or to the default procedure.
    LRESULT dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    // The default treatment, for a handler that wants it as well.
    LRESULT callDefault(UINT message, WPARAM wParam, LPARAM lParam);

    virtual void setFont(HFONT font);
    virtual void setText(const std::wstring& text);
    // The window text, at most 1023 characters.
    virtual std::wstring text() const;
    // Draws the widget's content over its background, in its own client
    // coordinates.
    virtual void paint(Gdiplus::Graphics* graphics) = 0;
    // Draws the whole client area from scratch: what the widget shows through
    // (paintBackground, unless the content covers every pixel), then its content.
    void render(Gdiplus::Graphics* graphics);
    // Whether paint covers every pixel of the client area, so that nothing
    // shows through it.
    virtual bool opaque() const { return false; }
    // What shows through the widget: its own background (the window colour
    // while high contrast is on); without one, its parent's drawing under it;
    // a top-level widget without one shows the window colour.
    void paintBackground(Gdiplus::Graphics* graphics);

    void move(int x, int y);
    // Places the window at (x, y) pixels of its parent, unscaled.
    void movePixels(int x, int y);
    void resize(int width, int height);
    // The window rectangle's size in logical units.
    Size size() const;
    // The window rectangle's size in pixels.
    Size pixelSize() const;
    // The client rectangle in pixels.
    Gdiplus::RectF clientRect() const;
    // Centres the window on the primary screen.
    void centerOnScreen();
    // Strips the caption and frame styles, the maximize box and the minimized
    // and maximized states, and applies the change. For top-level windows: on
    // a child window the maximize box's bit is WS_TABSTOP.
    void removeFrame();
    // Affects only later conversions. Values that are not finite and positive are ignored.
    void setScale(float scale);
    void close();

    // Focus. A focusable widget is a tab stop (WS_TABSTOP) and repaints when it
    // gains or loses the focus.
    void setFocusable(bool focusable);
    bool focusable() const;
    bool hasFocus() const;
    // What Enter does on the focused widget; false when the widget has no action.
    virtual bool activate() { return false; }
    // Called after the widget gained or lost the focus (it is then repainted).
    virtual void focusChanged(bool /*gained*/) {}

    // Dialog-like keys for a top-level widget: Tab and Shift+Tab move the focus
    // among the focusable children (wrapping), Enter activates the focused widget
    // or runs the default action, Esc and Alt+F4 (and WM_CLOSE) run the cancel
    // action, and the shortcuts run theirs. The application's message loop hands
    // the window's keys to handleDialogKey before anything else.
    void enableDialogNavigation();
    void setDefaultAction(std::function<void()> action);
    void setCancelAction(std::function<void()> action);
    void addShortcut(UINT key, bool control, bool shift, std::function<void()> action);
    // True when the key message was taken (it is then neither translated nor dispatched).
    bool handleDialogKey(const MSG& msg);
    // Moves the focus to the next (or previous) focusable child, wrapping.
    void focusNext(bool backwards);
    bool dialogNavigation() const { return dialog_ != nullptr; }
    // Whether focus cues are shown inside this widget's top-level window.
    bool focusCuesShown() const;
    // The top of this widget's ownership chain.
    Widget* root();
    const Widget* root() const;

    // Dragging the left button on the widget's own background (not on a child
    // that takes the pointer) moves the window; a click without movement does nothing.
    void enableBackgroundDrag();

    // Requests a repaint of rect (null: the whole client area), and with
    // includeParent also of the parent window's area under the widget. Never erases.
    void invalidate(bool includeParent, const RECT* rect);
    // Keeps a clone of brush, filled under the content at every paint (with the
    // window colour instead while high contrast is on).
    void setBackground(const Gdiplus::Brush& brush);
    // The WM_PAINT handler: renders the invalid part into one buffer of its
    // size, made for this paint and released after it, and copies that to the
    // window in one piece. The areas of visible child windows are left to them.
    LRESULT onPaint(UINT message, WPARAM wParam, LPARAM lParam);

    // The widget's window, or null while it has none (before create, after its
    // window was destroyed).
    HWND hwnd() const { return hwnd_; }
    float scale() const { return scale_; }
    const HandlerMap& handlers() const { return handlers_; }
    Gdiplus::Brush* background() const { return background_.get(); }

protected:
    // Registers handler for message unless one is already registered (the first
    // registration is kept). Empty handlers are never stored.
    void addHandler(UINT message, MessageHandler handler);
    // Binds a member function of the widget as the handler of message.
    template <typename W>
    void addHandler(UINT message, LRESULT (W::*member)(UINT, WPARAM, LPARAM)) {
        using namespace std::placeholders;
        addHandler(message, MessageHandler(std::bind(member, static_cast<W*>(this), _1, _2, _3)));
    }

private:
    friend LRESULT CALLBACK windowProcedure(HWND, UINT, WPARAM, LPARAM);

    LRESULT onFocusChange(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDialogActivate(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDialogClose(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDragButtonDown(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDragMouseMove(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDragButtonUp(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDragCaptureChanged(UINT message, WPARAM wParam, LPARAM lParam);
    void showFocusCues();

    HandlerMap handlers_;
    HWND hwnd_ = nullptr;
    WNDPROC defaultProc_ = DefWindowProcW;
    float scale_ = 1.0f;
    std::unique_ptr<Gdiplus::Brush> background_;
    std::unique_ptr<DialogKeys> dialog_;
    std::unique_ptr<BackgroundDrag> drag_;
};

}  // namespace Nvx
