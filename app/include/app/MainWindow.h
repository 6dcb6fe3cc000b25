#pragma once
// The program's one window: the serial number of the connected motion unit,
// checked once a second, with "Copy to clipboard" and "Close".

#include "app/CheckWorker.h"
#include "toolkit/Label.h"
#include "toolkit/Widget.h"

#include <memory>
#include <vector>

namespace app {

extern const wchar_t* const MainWindowClassName;  // "Tavrello_Kelvane_MainWindow"
extern const wchar_t* const MainWindowTitle;
extern const wchar_t* const CheckingText;
extern const wchar_t* const NoUnitText;

// The message that carries a check's result from the worker to the window.
constexpr UINT CheckResultMessage = WM_APP + 1;

// One check: a lookup and the text to show, the no-unit text when no unit has a
// serial number. Runs on the check's worker thread.
std::wstring checkMotionUnits();

// Places the widgets left to right from (x, y), gap logical units apart (all in
// logical units, scaled once by the widgets' scale).
void layoutRow(int x, int y, int gap, const std::vector<Nvx::Widget*>& widgets);
// Places the widgets left to right at y, gap apart, centred in the container's width.
void layoutCentredRow(const Nvx::Widget& container, int y, int gap, const std::vector<Nvx::Widget*>& widgets);

class MainWindow : public Nvx::Widget {
public:
    // Builds the whole window, hidden, with its children, logo, 1-second timer
    // and the worker that runs `check` (the lookup, unless a test brings its
    // own), at the primary monitor's scale factor (or at the given one).
    explicit MainWindow(CheckWorker::Check check = checkMotionUnits);
    explicit MainWindow(float scale, CheckWorker::Check check = checkMotionUnits);
    ~MainWindow() override;

    LRESULT onCreate(UINT message, WPARAM wParam, LPARAM lParam);
    // Stops the checks (nothing more reaches the window), then ends the loop.
    LRESULT onDestroy(UINT message, WPARAM wParam, LPARAM lParam);
    // Starts a check on the worker unless one still runs: ticks never queue up.
    LRESULT onTimer(UINT message, WPARAM wParam, LPARAM lParam);
    // A check's result: shown in the serial-number label.
    LRESULT onCheckResult(UINT message, WPARAM wParam, LPARAM lParam);

    // After the window is gone: waits at most timeoutMs for a check in flight.
    // False when the worker is still inside a device or pipe call and was left.
    bool finishChecks(DWORD timeoutMs);
    // Results shown so far (the window's thread counts them).
    unsigned completedChecks() const { return completedChecks_; }

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
    // The window's thread owns both; the worker thread reaches the window only
    // through the posted CheckResultMessage.
    std::unique_ptr<CheckWorker> checker_;
    unsigned completedChecks_ = 0;
};

}  // namespace app
