#pragma once
// The program's one window: the serial number of the connected motion unit,
// checked once a second and whenever a unit interface arrives or leaves, with
// "Copy to clipboard" and "Close".

#include "app/CheckWorker.h"
#include "diagnostics/LogNumbers.h"
#include "discovery/DeviceNotices.h"
#include "platform/Unique.h"
#include "toolkit/Button.h"
#include "toolkit/Label.h"
#include "toolkit/Widget.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace app {

extern const wchar_t* const MainWindowClassName;  // "Tavrello_Kelvane_MainWindow"
extern const wchar_t* const MainWindowTitle;
extern const wchar_t* const CheckingText;
extern const wchar_t* const NoUnitText;

// The message that carries a check's result from the worker to the window.
constexpr UINT CheckResultMessage = WM_APP + 1;
// While the check timer is refused: a thread-pool timer posts this once a
// second, and the window asks for its timer again and runs a check.
constexpr UINT CheckTimerRetryMessage = WM_APP + 2;
// The window's one-second check timer (SetTimer wants a non-zero id).
constexpr UINT_PTR CheckTimerId = 1;
constexpr UINT CheckIntervalMs = 1000;
// The window's size in logical units.
constexpr int MainWindowWidth = 650;
constexpr int MainWindowHeight = 232;

// Log numbers of the window (diagnostics::logErrorCode, with GetLastError()).
constexpr diagnostics::LogNumber CheckTimerRefusedCode = diagnostics::LogNumber::CheckTimerRefused;
constexpr diagnostics::LogNumber ClipboardCopyFailedCode = diagnostics::LogNumber::ClipboardCopyFailed;
constexpr diagnostics::LogNumber BringToFrontFilterFailedCode = diagnostics::LogNumber::BringToFrontFilterFailed;

// How the window asks for its check timer: SetTimer, unless a test stands in
// one that refuses (null: SetTimer again). GUI thread only.
using TimerStarter = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);
void installTimerStarter(TimerStarter starter);

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
    // Builds the whole window, hidden, with its children, logo, 1-second timer,
    // the worker that runs `check` (the lookup, unless a test brings its own)
    // and its registration for unit interface notices, at the window's own DPI
    // (or at the given scale).
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
    // The check timer was refused: asks for it again, and checks meanwhile.
    LRESULT onCheckTimerRetry(UINT message, WPARAM wParam, LPARAM lParam);
    // The window moved to a monitor of another DPI, or the user changed the
    // scale: lays everything out again at the new DPI inside the suggested rectangle.
    LRESULT onDpiChanged(UINT message, WPARAM wParam, LPARAM lParam);
    // WM_SYSCOLORCHANGE and WM_SETTINGCHANGE: a high-contrast theme may have
    // come or gone; everything is painted again.
    LRESULT onThemeChange(UINT message, WPARAM wParam, LPARAM lParam);
    // A second start's request (bringToFrontMessage): restores the window when
    // minimised and brings it to the front; answers BringToFrontAnswer.
    LRESULT onBringToFront(UINT message, WPARAM wParam, LPARAM lParam);
    // A unit interface arrived or left: a check at once, or one more right
    // after the running one.
    LRESULT onDeviceChange(UINT message, WPARAM wParam, LPARAM lParam);
    // A client asks for the window's accessible object: its labels and
    // buttons are annotated for screen readers now (once), not at start-up.
    LRESULT onGetObject(UINT message, WPARAM wParam, LPARAM lParam);
    // From now on only the timer starts checks (for measuring what the notices
    // are worth).
    void stopDeviceNotices() { notices_.reset(); }

    // After the window is gone: waits at most timeoutMs for a check in flight.
    // False when the worker is still inside a device or pipe call and was left.
    bool finishChecks(DWORD timeoutMs);
    // Results shown so far (the window's thread counts them).
    unsigned completedChecks() const { return completedChecks_; }

    void copyToClipboard();
    void paint(Gdiplus::Graphics* graphics) override;
    // The dark fill (or the window colour) covers the whole window.
    bool opaque() const override { return true; }

    Nvx::Label* serialLabel() const { return serialLabel_; }
    Gdiplus::Bitmap* logo() const { return logo_.get(); }
    // Whether the check timer runs (false while it is refused and retried).
    bool checkTimerRunning() const { return checkTimerRunning_; }

private:
    // Scales the window and every child to scale: the window into `suggested`
    // (screen pixels), or, without one, to its size centred on the screen.
    void applyScale(float scale, const RECT* suggested);
    // Fonts, sizes and places of the children at the current scale.
    void layOut();
    // Asks for the check timer; while it is refused, logs that once and keeps
    // a thread-pool timer that asks again each interval.
    void startCheckTimer();

    Nvx::Label* heading_ = nullptr;  // the children: owned through the parent link
    Nvx::Label* explanation_ = nullptr;
    Nvx::Label* caption_ = nullptr;
    Nvx::Button* copyButton_ = nullptr;
    Nvx::Button* closeButton_ = nullptr;
    std::unique_ptr<Gdiplus::Bitmap> logo_;
    Gdiplus::SolidBrush darkBrush_{Gdiplus::Color(0xFF444444)};
    Gdiplus::SolidBrush bandBrush_{Gdiplus::Color(0xFF999999)};
    Gdiplus::SolidBrush lightBrush_{Gdiplus::Color(0xFFF4F4F4)};
    Gdiplus::Pen borderPen_{Gdiplus::Color(0xFF000000), 4.0f};
    Nvx::Label* serialLabel_ = nullptr;
    // The window's thread owns both; the worker thread reaches the window only
    // through the posted CheckResultMessage.
    std::unique_ptr<CheckWorker> checker_;
    // Made at creation and let go at WM_DESTROY, on the window's thread.
    std::unique_ptr<discovery::UnitInterfaceNotices> notices_;
    unsigned completedChecks_ = 0;
    // The window's thread owns these. The pool timer's callback runs on a pool
    // thread and only posts CheckTimerRetryMessage to the window's handle.
    bool checkTimerRunning_ = false;
    bool checkTimerRefusalLogged_ = false;
    platform::UniqueThreadpoolTimer checkTimerRetry_;
};

}  // namespace app
