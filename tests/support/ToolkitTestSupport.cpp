#include "ToolkitTestSupport.h"

#include "TestSupport.h"

namespace testing_support {

void Probe::paint(Gdiplus::Graphics* graphics) {
    ++paints;
    if (fill == 0) return;
    Gdiplus::SolidBrush brush{Gdiplus::Color(fill)};
    graphics->FillRectangle(&brush, clientRect());
}

void Probe::record(UINT message, LRESULT result) {
    addHandler(message, [this, result](UINT m, WPARAM, LPARAM) -> LRESULT {
        seen.push_back(m);
        return result;
    });
}

std::unique_ptr<Probe> makeTopLevel(int x, int y, int width, int height, float scale, DWORD style) {
    auto probe = std::make_unique<Probe>();
    probe->setScale(scale);
    EXPECT_TRUE(
        probe->create(L"Nvx_AbstractControl", L"probe", style & ~WS_VISIBLE, x, y, width, height, nullptr, nullptr));
    // Shown without activation: Wine hands an activated top-level window to the
    // window manager and then waits (2 s, there is none) when it goes away.
    if (style & WS_VISIBLE) ShowWindow(probe->hwnd(), SW_SHOWNOACTIVATE);
    return probe;
}

bool pumpUntil(const std::function<bool()>& done, int ms) {
    return testing_support::waitUntil(done, static_cast<DWORD>(ms));
}

void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

namespace {

void sendMouse(DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof(input));
}

}  // namespace

void pointerTo(int x, int y) {
    SetCursorPos(x, y);
    pumpUntil(
        [&] {
            POINT p{};
            return GetCursorPos(&p) && p.x == x && p.y == y;
        },
        500);
    pumpFor(60);
}

void leftDown() {
    sendMouse(MOUSEEVENTF_LEFTDOWN);
    pumpFor(60);
}

void leftUp() {
    sendMouse(MOUSEEVENTF_LEFTUP);
    pumpFor(60);
}

void repaint(Nvx::Widget& widget) {
    InvalidateRect(widget.hwnd(), nullptr, FALSE);
    UpdateWindow(widget.hwnd());
}

Gdiplus::ARGB bufferPixel(const Nvx::Widget& widget, int x, int y) {
    Gdiplus::Color color;
    if (!widget.backBuffer() || widget.backBuffer()->GetPixel(x, y, &color) != Gdiplus::Ok) return 0;
    return color.GetValue();
}

void ToolkitTest::SetUp() {
    app = std::make_unique<Nvx::Application>(GetModuleHandleW(nullptr));
    // No window of an earlier test under the pointer.
    SetCursorPos(1, 1);
}

void ToolkitTest::TearDown() {
    // A test that failed half-way through a click leaves no button down.
    if (GetAsyncKeyState(VK_LBUTTON) & 0x8000) sendMouse(MOUSEEVENTF_LEFTUP);
    if (GetCapture()) ReleaseCapture();
    pumpFor(10);
    app.reset();
}

}  // namespace testing_support
