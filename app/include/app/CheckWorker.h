#pragma once
// The window's check on a thread of its own: the window never waits on the
// service or a device, and closing it never waits for a check to end.

#include "platform/Unique.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace app {

// Runs one check at a time on a worker thread and posts each result to a window
// as `message`, whose LPARAM is a heap string the receiver takes with
// takeResult. A result whose post fails, or that is still queued when the
// worker stops, is freed here.
//
// Threads: the window's thread owns the CheckWorker and is the only caller of
// its members. The worker thread runs the check and touches nothing but the
// shared State (guarded by its mutex) and what the check itself uses. The
// State is held by both through a shared pointer, so a worker left inside a
// check at shutdown never outlives the memory it uses.
class CheckWorker {
public:
    using Check = std::function<std::wstring()>;

    // The worker thread starts with the first check.
    CheckWorker(HWND window, UINT message, Check check);
    // finish(ShutdownWaitMs) unless finish() was called already.
    ~CheckWorker();
    CheckWorker(const CheckWorker&) = delete;
    CheckWorker& operator=(const CheckWorker&) = delete;

    // How long shutdown gives a check in flight to end before leaving it.
    static constexpr DWORD ShutdownWaitMs = 500;
    // The worker's stack reservation. The deepest checks (every pass finding
    // units, failures logged) reached about 9 KiB under Wine; Windows' own
    // libraries run deeper, and this leaves them well over ten times that.
    static constexpr unsigned StackReserveBytes = 256 * 1024;

    // Starts a check; false (nothing started) while one still runs or once stopped.
    bool start();
    // Starts a check now or, while one runs, exactly one more right after it:
    // however often it is asked during a check, one more runs, never a queue.
    // False once stopped.
    bool startOrFollow();
    // From its return on, nothing is posted to the window; results queued and
    // not yet taken are freed. Call it on the window's thread while the window
    // still exists (its WM_DESTROY), so that the queue can be emptied.
    void stop();
    // stop(), then waits at most timeoutMs for the worker to end. True when it
    // ended; false when it is still inside a check and has been left to finish
    // on its own (it then only touches the State, and posts nothing).
    bool finish(DWORD timeoutMs);

    // Ownership of a posted result.
    static std::unique_ptr<std::wstring> takeResult(LPARAM lParam);

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    bool request(bool followRunning);

    std::shared_ptr<State> state_;
    platform::UniqueHandle thread_;  // null before the first check and once joined or left
    bool abandoned_ = false;         // the thread was left inside a check
};

}  // namespace app
