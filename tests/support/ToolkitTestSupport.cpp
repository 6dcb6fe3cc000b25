#include "ToolkitTestSupport.h"

#include "TestSupport.h"

#include <algorithm>

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

Gdiplus::ARGB Shot::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
}

int Shot::count(Gdiplus::ARGB colour) const {
    return static_cast<int>(std::count(pixels.begin(), pixels.end(), colour));
}

int Shot::differences(const Shot& other) const {
    if (width != other.width || height != other.height)
        return static_cast<int>(std::max(pixels.size(), other.pixels.size()));
    int count = 0;
    for (size_t i = 0; i < pixels.size(); ++i) count += pixels[i] != other.pixels[i] ? 1 : 0;
    return count;
}

Shot shoot(const Nvx::Widget& widget) {
    Shot shot;
    RECT client{};
    if (!widget.hwnd() || !GetClientRect(widget.hwnd(), &client) || client.right <= 0 || client.bottom <= 0) {
        return shot;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC window = GetDC(widget.hwnd());
    {
        const platform::UniqueMemoryDc memory(CreateCompatibleDC(window));
        const platform::UniqueGdiObject bitmap(CreateDIBSection(window, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        const HGDIOBJ previous = memory && bitmap ? SelectObject(memory.get(), bitmap.get()) : nullptr;
        if (previous && BitBlt(memory.get(), 0, 0, client.right, client.bottom, window, 0, 0, SRCCOPY)) {
            GdiFlush();
            shot.width = client.right;
            shot.height = client.bottom;
            const auto* first = static_cast<const DWORD*>(bits);
            shot.pixels.assign(first, first + static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height));
            for (Gdiplus::ARGB& pixel : shot.pixels) pixel |= 0xFF000000;  // a window has no alpha
        }
        if (previous) SelectObject(memory.get(), previous);
    }
    ReleaseDC(widget.hwnd(), window);
    return shot;
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
