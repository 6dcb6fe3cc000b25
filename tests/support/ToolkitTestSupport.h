#pragma once
// Test widgets and helpers for driving real windows and the real pointer.

#include "toolkit/Application.h"
#include "toolkit/Button.h"
#include "toolkit/Label.h"
#include "toolkit/Widget.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

namespace testing_support {

// A widget that records the messages it was given handlers for, and fills its
// content with one colour when asked to.
class Probe : public Nvx::Widget {
public:
    explicit Probe(Nvx::Widget* parent = nullptr, int* deletions = nullptr)
        : Nvx::Widget(parent), deletions_(deletions) {}
    ~Probe() override {
        if (deletions_) ++*deletions_;
    }

    void paint(Gdiplus::Graphics* graphics) override;

    // Registers a handler that records the message and answers `result`.
    void record(UINT message, LRESULT result = 0);
    using Nvx::Widget::addHandler;

    std::vector<UINT> seen;
    int paints = 0;
    Gdiplus::ARGB fill = 0;  // 0: paint draws nothing

private:
    int* deletions_;
};

// A top-level popup of class "Nvx_AbstractControl" at (x, y) in logical units.
std::unique_ptr<Probe> makeTopLevel(int x, int y, int width, int height, float scale = 1.0f,
                                    DWORD style = WS_POPUP | WS_VISIBLE);

// Dispatches the thread's messages until done() holds or about `ms` passed.
bool pumpUntil(const std::function<bool()>& done, int ms = 2000);
// Dispatches whatever is queued for a short while.
void pumpFor(int ms);

// Moves the real pointer to a screen point and lets the messages arrive.
void pointerTo(int x, int y);
void leftDown();
void leftUp();

// Paints the widget's window now (whole client area).
void repaint(Nvx::Widget& widget);
// What a widget's window shows in its client area, read back from the window:
// opaque ARGB values, rows from the top.
struct Shot {
    int width = 0;
    int height = 0;
    std::vector<Gdiplus::ARGB> pixels;

    // 0 outside the area.
    Gdiplus::ARGB at(int x, int y) const;
    int count(Gdiplus::ARGB colour) const;
    // Pixels that differ from the other shot's (all of them when the sizes differ).
    int differences(const Shot& other) const;
};
Shot shoot(const Nvx::Widget& widget);

// Owns the application for one test; widgets made in the test must be gone
// before it is.
class ToolkitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<Nvx::Application> app;
};

}  // namespace testing_support
