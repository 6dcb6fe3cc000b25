#pragma once
// The one application object of a process: starts GDI+, registers the toolkit's
// window classes and runs the message loop.

#include "toolkit/GdiPlus.h"
#include "toolkit/Object.h"

#include <windows.h>

#include <memory>

namespace Nvx {

class Application : public Object {
public:
    // Throws std::runtime_error("Application is already created!") while another
    // application is live; that one is left untouched.
    explicit Application(HINSTANCE hInstance);
    ~Application() override;

    // The live application, or null.
    static Application* instance() { return instance_; }

    // The module every toolkit class registration and window creation uses.
    HINSTANCE hInstance() const { return hInstance_; }

    // GetMessageW / TranslateMessage / DispatchMessageW until WM_QUIT; returns
    // the exit code given to PostQuitMessage. Keys of a window whose top-level
    // widget asked for dialog navigation go to translateDialogMessage first.
    static int run();
    // True when the message was a key that a dialog-navigating top-level widget
    // took; it must then be neither translated nor dispatched.
    static bool translateDialogMessage(const MSG& msg);

    // COM for what needs it (the widgets' accessibility annotations), started
    // on the application's thread the first time it is asked for and ended with
    // the application; nothing at start-up needs it. False when there is no
    // application or COM could not be started. GUI thread only.
    static bool useCom();

    // The labels' default font, Arial at 8 pixels, made once (finding a family
    // is slow) and kept until the application goes; labels keep clones. Null
    // without an application. GUI thread only.
    static const Gdiplus::Font* defaultLabelFont();

private:
    static Application* instance_;
    HINSTANCE hInstance_;
    bool comInitialized_ = false;
    std::unique_ptr<Gdiplus::Font> defaultLabelFont_;
};

}  // namespace Nvx
