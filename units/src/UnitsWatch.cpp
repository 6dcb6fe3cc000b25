// kelvane-units --watch: the window's lookup, looked at again on every unit
// interface notice and once a second, one line per change.

#include "discovery/DeviceNotices.h"
#include "diagnostics/Log.h"
#include "discovery/Discovery.h"
#include "discovery/MotionUnit.h"
#include "UnitsLookup.h"
#include "platform/Thread.h"
#include "platform/Unique.h"
#include "units/UnitsCommand.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace units {

using discovery::DeviceNoticeError;
using discovery::UnitInterfaceNotices;
using platform::UniqueHandle;
using platform::UniqueWindow;

namespace {

// How long the notice thread may take to make its window and register it.
constexpr DWORD ListenerStartMs = 5000;
// Closing the console ends the process once the control handler returns, and
// the end of the session once WM_ENDSESSION has been answered; this long each
// gives the watch to end (and the log its end line) first.
constexpr DWORD ConsoleCloseGraceMs = 3000;
constexpr UINT StopListeningMessage = WM_APP + 1;
// The notice thread's stack reservation: making its window, registering it and
// handling its messages reached about 14 KiB under Wine; Windows' own libraries
// run deeper, and this leaves them over ten times that.
constexpr unsigned NoticeThreadStackBytes = 256 * 1024;

// The event that stops the watch. The watch's thread sets it before the console
// control handler is installed and clears it after the handler is removed; the
// handler runs on a thread the system starts. g_stopLock guards it, so that the
// handler never sets an event that has been closed.
std::mutex g_stopLock;
HANDLE g_stopEvent = nullptr;

// Ctrl+C and Ctrl+Break set `stop` while this exists.
class StopOnConsoleControl {
public:
    explicit StopOnConsoleControl(HANDLE stop) {
        {
            std::lock_guard<std::mutex> guard(g_stopLock);
            g_stopEvent = stop;
        }
        installed_ = SetConsoleCtrlHandler(stopWatchOnConsoleControl, TRUE) != FALSE;
    }
    ~StopOnConsoleControl() {
        if (installed_) SetConsoleCtrlHandler(stopWatchOnConsoleControl, FALSE);
        std::lock_guard<std::mutex> guard(g_stopLock);
        g_stopEvent = nullptr;
    }
    StopOnConsoleControl(const StopOnConsoleControl&) = delete;
    StopOnConsoleControl& operator=(const StopOnConsoleControl&) = delete;

private:
    bool installed_ = false;
};

// A console program has no window of its own: a thread of this object's own
// makes a hidden top-level window (a message-only window would hear no end of
// the session), registers it for unit interface notices and sets the notice
// event (auto-reset) on each. When the session ends (WM_ENDSESSION), it sets
// the stop event and answers only once the watch's thread has ended or the
// grace has passed: the system may end the process as soon as it has answered.
// The thread owns the window and the registrations and lets them go itself.
// What both threads reach is a Shared block held by both, so that a thread left
// behind never outlives it: the watch's thread waits (bounded) for `ready`,
// then reads `window` and `sessionEnding` (atomic) and reaches the window only
// by posting StopListeningMessage to it.
class NoticeListener {
public:
    // `notice` and `stop` are duplicated: the listener holds its own references.
    // Make it on the watch's thread.
    NoticeListener(HANDLE notice, HANDLE stop) : shared_(std::make_shared<Shared>()) {
        const HANDLE process = GetCurrentProcess();
        if (!shared_->ready ||
            !DuplicateHandle(process, notice, process, shared_->notice.put(), 0, FALSE, DUPLICATE_SAME_ACCESS) ||
            !DuplicateHandle(process, stop, process, shared_->stop.put(), 0, FALSE, DUPLICATE_SAME_ACCESS) ||
            !DuplicateHandle(process, GetCurrentThread(), process, shared_->watchThread.put(), SYNCHRONIZE, FALSE, 0)) {
            return;  // no notices: the watch looks once a second
        }
        std::shared_ptr<Shared> shared = shared_;
        thread_ = platform::startThread([shared] { run(shared); }, NoticeThreadStackBytes);
        if (!thread_) return;
        WaitForSingleObject(shared_->ready.get(), ListenerStartMs);
    }
    ~NoticeListener() {
        if (!thread_) return;
        if (shared_->sessionEnding.load()) {
            thread_.reset();  // it answers WM_ENDSESSION once this thread has ended
            return;
        }
        const HWND window = shared_->window.load();
        if (window != nullptr && PostMessageW(window, StopListeningMessage, 0, 0)) {
            WaitForSingleObject(thread_.get(), INFINITE);
        }  // else it never made its window, or cannot be told: its handle goes, the process ends it
    }
    NoticeListener(const NoticeListener&) = delete;
    NoticeListener& operator=(const NoticeListener&) = delete;

private:
    struct Shared {
        UniqueHandle notice;
        UniqueHandle stop;
        UniqueHandle watchThread;
        UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        std::atomic<HWND> window{nullptr};
        std::atomic<bool> sessionEnding{false};  // set before `stop` at the end of the session
    };

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        // Set before the window can be reached by anything but its creation.
        auto* shared = reinterpret_cast<Shared*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE) {
            if (shared != nullptr && discovery::takeUnitInterfaceNotice(wParam, lParam)) {
                SetEvent(shared->notice.get());
            }
            return TRUE;
        }
        if (message == WM_QUERYENDSESSION) return TRUE;
        if (message == WM_ENDSESSION) {
            if (wParam != FALSE && shared != nullptr) {
                shared->sessionEnding = true;
                SetEvent(shared->stop.get());
                WaitForSingleObject(shared->watchThread.get(), ConsoleCloseGraceMs);
                PostQuitMessage(0);  // the watch is over, should the process outlive the answer
            }
            return 0;
        }
        if (message == StopListeningMessage) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    static void run(std::shared_ptr<Shared> shared) {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = WatchWindowClass;
        RegisterClassW(&windowClass);  // fails harmlessly when a watch before this one registered it
        // Top-level and never shown: no WS_VISIBLE, no taskbar button.
        UniqueWindow window(
            CreateWindowExW(0, WatchWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr));
        if (!window) {
            diagnostics::logErrorCode(DeviceNoticeError::NoticeWindow, GetLastError());
            SetEvent(shared->ready.get());
            return;
        }
        SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shared.get()));
        auto notices = std::make_unique<UnitInterfaceNotices>(window.get());
        shared->window = window.get();
        SetEvent(shared->ready.get());
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        notices.reset();  // before the window goes
    }

    std::shared_ptr<Shared> shared_;
    UniqueHandle thread_;
};

}  // namespace

BOOL WINAPI stopWatchOnConsoleControl(DWORD type) {
    {
        std::lock_guard<std::mutex> guard(g_stopLock);
        if (g_stopEvent == nullptr) return FALSE;
        SetEvent(g_stopEvent);
    }
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) Sleep(ConsoleCloseGraceMs);
    return TRUE;
}

UnitsExitCode watchUnits(const UnitsOptions& options, HANDLE output, HANDLE errors) {
    discovery::TransportMode = static_cast<int32_t>(options.transportMode);
    const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle notice(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // Stop first: when both are set, the wait names the stop.
    HANDLE waits[2];
    DWORD waitCount = 0;
    if (stop) waits[waitCount++] = stop.get();
    if (notice) waits[waitCount++] = notice.get();
    StopOnConsoleControl stopOnControl(stop.get());
    // Listening before the first look, so that no change falls between the two.
    std::unique_ptr<NoticeListener> listener;
    if (notice && stop) listener = std::make_unique<NoticeListener>(notice.get(), stop.get());

    std::wstring shown;
    for (bool first = true;; first = false) {
        const ULONGLONG started = GetTickCount64();
        // The auto-reset notice event makes any number of notices during this
        // look one more look, never a queue.
        const LookupOutcome look = lookUp(false, options.lookupTimeoutMs, stop.get());
        if (look.end == LookupEnd::Stopped) return UnitsExitCode::Found;
        if (look.end == LookupEnd::TimedOut) {
            writeStandardText(errors, lookupTimedOut(look.pass, options.lookupTimeoutMs));
            return UnitsExitCode::LookupTimedOut;
        }
        const std::wstring displayed = discovery::displayedSerialNumber(discovery::motionUnitsOf(look.devices));
        if (first || displayed != shown) {
            if (!writeStandardText(output, watchLine(displayed, options.json))) return UnitsExitCode::OutputFailed;
            shown = displayed;
        }
        const ULONGLONG elapsed = GetTickCount64() - started;
        const DWORD interval = options.watchIntervalMs;
        const DWORD waitMs = elapsed >= interval ? 0 : static_cast<DWORD>(interval - elapsed);
        if (waitCount == 0) {
            Sleep(waitMs);
        } else if (WaitForMultipleObjects(waitCount, waits, FALSE, waitMs) == WAIT_OBJECT_0 && stop) {
            return UnitsExitCode::Found;  // stopped (without a stop event, the first is the notice)
        }
    }
}

}  // namespace units
