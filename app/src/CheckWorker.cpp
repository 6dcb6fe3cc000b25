#include "app/CheckWorker.h"

#include "platform/Thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace app {

// Shared by the window's thread and the worker; every field but the constants
// is guarded by `lock`.
struct CheckWorker::State {
    State(HWND window, UINT message, Check check) : window(window), message(message), check(std::move(check)) {}

    const HWND window;
    const UINT message;
    const Check check;  // called only by the worker

    std::mutex lock;
    std::condition_variable changed;
    bool busy = false;      // a check is requested or running; the worker clears it
    bool follow = false;    // one more check once the running one has posted its result
    bool stopping = false;  // no more checks, no more posts
    bool ended = false;     // the worker thread has left run()
};

CheckWorker::CheckWorker(HWND window, UINT message, Check check)
    : state_(std::make_shared<State>(window, message, std::move(check))) {}

CheckWorker::~CheckWorker() {
    if (thread_) finish(ShutdownWaitMs);
}

void CheckWorker::run(std::shared_ptr<State> state) {
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(state->lock);
            state->changed.wait(guard, [&] { return state->busy || state->stopping; });
            if (state->stopping) break;
        }
        std::unique_ptr<std::wstring> result;
        try {
            result = std::make_unique<std::wstring>(state->check());
        } catch (...) {
            // Out of memory: this check shows nothing; the next tick tries again.
        }
        std::lock_guard<std::mutex> guard(state->lock);
        // A follow-up keeps the worker busy and runs next; it is asked for once.
        state->busy = state->follow;
        state->follow = false;
        if (state->stopping) break;
        if (result && PostMessageW(state->window, state->message, 0, reinterpret_cast<LPARAM>(result.get()))) {
            result.release();  // the window's thread owns it now
        }
    }
    std::lock_guard<std::mutex> guard(state->lock);
    state->ended = true;
    state->changed.notify_all();
}

bool CheckWorker::start() { return request(false); }

bool CheckWorker::startOrFollow() { return request(true); }

bool CheckWorker::request(bool followRunning) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping) return false;
    if (state_->busy) {
        if (followRunning) state_->follow = true;
        return followRunning;
    }
    if (!thread_) {
        std::shared_ptr<State> shared = state_;
        thread_ = platform::startThread([shared] { run(shared); }, StackReserveBytes);
        if (!thread_) return false;  // no thread now: the next tick tries again
    }
    state_->busy = true;
    state_->changed.notify_all();
    return true;
}

void CheckWorker::stop() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->stopping) return;
        state_->stopping = true;
        state_->changed.notify_all();
    }
    // Nothing is posted any more: what is queued now is all there will be.
    MSG msg;
    while (PeekMessageW(&msg, state_->window, state_->message, state_->message, PM_REMOVE)) {
        takeResult(msg.lParam);
    }
}

bool CheckWorker::finish(DWORD timeoutMs) {
    stop();
    if (!thread_) return !abandoned_;
    bool ended;
    {
        std::unique_lock<std::mutex> guard(state_->lock);
        ended = state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return state_->ended; });
    }
    // Ended: it has left run() and is only returning. Left: its handle goes,
    // the thread finishes on its own.
    if (ended) WaitForSingleObject(thread_.get(), INFINITE);
    abandoned_ = !ended;
    thread_.reset();
    return ended;
}

std::unique_ptr<std::wstring> CheckWorker::takeResult(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

}  // namespace app
