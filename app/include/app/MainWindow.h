#pragma once
// The program's one window: the serial number of the connected motion unit,
// checked once a second, with "Copy to clipboard" and "Close".

#include "toolkit/Label.h"
#include "toolkit/Widget.h"

#include <memory>
#include <vector>

extern const wchar_t* const MainWindowClassName;  // "Tavrello_Kelvane_MainWindow"
extern const wchar_t* const MainWindowTitle;
extern const wchar_t* const CheckingText;
extern const wchar_t* const NoUnitText;

// Places the widgets left to right from (x, y), gap logical units apart (all in
// logical units, scaled once by the widgets' scale).
void layoutRow(int x, int y, int gap, const std::vector<Nvx::Widget*>& widgets);
// Places the widgets left to right at y, gap apart, centred in the container's width.
void layoutCentredRow(const Nvx::Widget& container, int y, int gap, const std::vector<Nvx::Widget*>& widgets);

class MainWindow : public Nvx::Widget {
public:
    // Builds the whole window, hidden, with its children, logo and 1-second timer,
    // at the primary monitor's scale factor (or at the given one).
    MainWindow();
    explicit MainWindow(float scale);
    ~MainWindow() override;

    LRESULT onCreate(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onDestroy(UINT message, WPARAM wParam, LPARAM lParam);
    // One check: the first recognised unit's grouped serial number, or the no-unit text.
    LRESULT onTimer(UINT message, WPARAM wParam, LPARAM lParam);

    void copyToClipboard();
    void paint(Gdiplus::Graphics* graphics) override;

    Nvx::Label* serialLabel() const { return serialLabel_; }
    Gdiplus::Bitmap* logo() const { return logo_.get(); }

private:
    std::unique_ptr<Gdiplus::Bitmap> logo_;
    Gdiplus::SolidBrush darkBrush_{Gdiplus::Color(0xFF444444)};
    Gdiplus::SolidBrush bandBrush_{Gdiplus::Color(0xFF999999)};
    Gdiplus::SolidBrush lightBrush_{Gdiplus::Color(0xFFF4F4F4)};
    Gdiplus::Pen borderPen_{Gdiplus::Color(0xFF000000), 4.0f};
    Nvx::Label* serialLabel_ = nullptr;  // owned through the parent link
};
