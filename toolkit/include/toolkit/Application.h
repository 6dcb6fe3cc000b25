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
    // the exit code given to PostQuitMessage.
    static int run();

private:
    static Application* instance_;
    HINSTANCE hInstance_;
};

}  // namespace Nvx
