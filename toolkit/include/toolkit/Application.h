#pragma once
// The one application object of a process: starts GDI+, registers the toolkit's
// window classes and runs the message loop.

#include "toolkit/Object.h"

#include <windows.h>

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

private:
    static Application* instance_;
    HINSTANCE hInstance_;
    bool comInitialized_ = false;
};

}  // namespace Nvx
