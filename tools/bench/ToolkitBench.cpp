// Paint cost of the toolkit's widgets: a label and a button of the main window's
// size and fonts, each repainted many times through the full WM_PAINT pipeline
// (one buffer per paint, background, text, one copy to the window).
//
// Usage: toolkit-bench [repetitions]

#include "BenchSupport.h"
#include "toolkit/Application.h"
#include "toolkit/Button.h"
#include "toolkit/Label.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>

namespace {

class Frame : public Nvx::Widget {
public:
    Frame() : Nvx::Widget(nullptr) {}
    void paint(Gdiplus::Graphics*) override {}
};

using bench::nowMicroseconds;

// Runs step `count` times after a warm-up and prints the mean time per step.
void measure(const char* what, int count, const std::function<void()>& step) {
    for (int i = 0; i < 20; ++i) step();
    const double start = nowMicroseconds();
    for (int i = 0; i < count; ++i) step();
    const double perStep = (nowMicroseconds() - start) / count;
    std::printf("%-44s %8.1f us per paint (%d paints)\n", what, perStep, count);
}

// The process's committed memory, in KiB (Wine reports PrivateUsage as 0).
double privateKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0.0;
    return static_cast<double>(counters.PagefileUsage) / 1024.0;
}

void repaint(Nvx::Widget& widget) {
    InvalidateRect(widget.hwnd(), nullptr, FALSE);
    UpdateWindow(widget.hwnd());
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 500;
    if (count <= 0) count = 500;

    Nvx::Application app(GetModuleHandleW(nullptr));
    {
        Frame frame;
        if (!frame.create(L"Nvx_AbstractControl", L"bench", WS_POPUP | WS_VISIBLE, 100, 100, 650, 232, nullptr,
                          nullptr)) {
            std::printf("no window could be created\n");
            return 1;
        }
        Gdiplus::FontFamily family(L"Verdana", nullptr);
        Gdiplus::Font font(&family, 16.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);

        auto* label = new Nvx::Label(&frame);
        label->setFont(font);
        label->setColor(Gdiplus::Color(0xFF000000));
        label->setText(L"ABCDEF-123456-GHIJKL-789012");
        label->setBackground(Gdiplus::SolidBrush(Gdiplus::Color(0xFFF4F4F4)));
        label->move(65, 135);
        label->resize(490, 40);

        auto* button = new Nvx::Button(&frame);
        button->setText(L"Copy to clipboard");
        button->setFont(font);
        button->setColor(Gdiplus::Color(0xFFFFFFFF));
        button->move(120, 180);
        button->resize(200, 50);

        std::printf("font %s, %d paints each\n", family.GetLastStatus() == Gdiplus::Ok ? "Verdana" : "missing", count);
        const double memoryBefore = privateKiB();
        measure("label 490x40, serial text, background", count, [&] { repaint(*label); });
        measure("button 200x50, \"Copy to clipboard\"", count, [&] { repaint(*button); });
        bool wide = false;
        measure("label, resized before each paint", count, [&] {
            wide = !wide;
            label->resize(wide ? 491 : 490, 40);
            repaint(*label);
        });
        // Every paint makes and drops its brushes and graphics: the figure should
        // stay flat however many paints run.
        std::printf("committed memory: %.0f KiB before the paints, growth over all paints %.0f KiB\n", memoryBefore,
                    privateKiB() - memoryBefore);
    }
    return 0;
}
