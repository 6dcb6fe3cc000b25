// The check worker through its public interface: starts and stops from several
// threads at once, and the results still queued when it stops.

#include "app/CheckWorker.h"
#include "app/MainWindow.h"
#include "FakeUsbPlatform.h"
#include "TestPipeServer.h"
#include "TestSupport.h"
#include "platform/ServicePipeProtocol.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace app;

namespace {

constexpr UINT ResultMessage = WM_APP + 7;

// A message-only window of the test's thread: where the worker posts.
struct ResultWindow {
    HWND hwnd = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ~ResultWindow() { DestroyWindow(hwnd); }
};

// Polls `done` every millisecond for at most timeoutMs, without taking any
// message from this thread's queue.
template <typename Done>
bool pollUntil(Done done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= end) return false;
        Sleep(1);
    }
    return true;
}

// Releases the threads of `count` at one moment and waits for them.
template <typename Body>
void runAtOnce(int count, Body body) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    }
    Sleep(5);
    go = true;
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

// While a check runs, of several starts at one moment exactly one wins; stops
// racing starts leave a worker that starts nothing more and ends.
TEST(CheckWorker, StartAndStopFromSeveralThreadsAtOnce) {
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        ResultWindow window;
        platform::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> running{0}, overlaps{0}, checks{0};
        CheckWorker worker(window.hwnd, ResultMessage, [&] {
            if (running++ != 0) ++overlaps;
            ++checks;
            WaitForSingleObject(release.get(), 5000);
            --running;
            return std::wstring(L"R");
        });
        std::atomic<int> wins{0};
        runAtOnce(4, [&](int) { wins += worker.start() ? 1 : 0; });
        EXPECT_EQ(wins.load(), 1);

        SetEvent(release.get());
        runAtOnce(4, [&](int i) { i % 2 == 0 ? worker.stop() : static_cast<void>(worker.start()); });
        EXPECT_FALSE(worker.start()) << "stopped";
        EXPECT_TRUE(worker.finish(5000));
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_LE(checks.load(), 3);  // the first, then at most one per starting thread
        MSG msg;
        while (PeekMessageW(&msg, window.hwnd, ResultMessage, ResultMessage, PM_REMOVE)) {
            CheckWorker::takeResult(msg.lParam);
        }
    }
}

// Results posted and not yet taken when the worker stops are freed by it: the
// memory they hold comes back, and none is left in the queue.
TEST(CheckWorker, ResultsQueuedAtStopAreFreed) {
    constexpr size_t ResultUnits = 1 << 20;  // 2 MiB each: one block of its own
    constexpr int Queued = 8;
    ResultWindow window;
    std::atomic<int> checks{0};
    CheckWorker worker(window.hwnd, ResultMessage, [&] {
        ++checks;
        return std::wstring(ResultUnits, L'x');
    });
    const SIZE_T before = testing_support::privateBytes();
    for (int i = 0; i < Queued; ++i) ASSERT_TRUE(pollUntil([&] { return worker.start(); }, 5000));
    ASSERT_TRUE(pollUntil([&] { return checks == Queued; }, 5000));
    Sleep(100);  // the last result is posted right after its check returns
    const SIZE_T queued = testing_support::privateBytes();
    EXPECT_GT(queued, before + Queued * ResultUnits) << "the queued results hold their memory";

    worker.stop();
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, window.hwnd, ResultMessage, ResultMessage, PM_NOREMOVE)) << "queue drained";
    const SIZE_T after = testing_support::privateBytes();
    EXPECT_LT(after, before + ResultUnits) << "every queued result was freed";
    EXPECT_TRUE(worker.finish(5000));
}

namespace {

// A thread's stack: its lowest and highest address.
struct StackLimits {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
};

// How deep the thread of `stack` has reached so far, in bytes from the top: a
// stack's pages are zero until used, so the lowest byte that is not zero marks
// it. Pages not committed (Windows commits as the stack grows) are skipped.
size_t deepestUse(const StackLimits& stack) {
    for (ULONG_PTR at = stack.low; at < stack.high;) {
        MEMORY_BASIC_INFORMATION region{};
        if (!VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof(region))) return 0;
        const ULONG_PTR end = std::min(reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize, stack.high);
        if (region.State == MEM_COMMIT && (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0) {
            for (auto* byte = reinterpret_cast<const volatile unsigned char*>(at);
                 reinterpret_cast<ULONG_PTR>(byte) < end; ++byte) {
                if (*byte != 0) return stack.high - reinterpret_cast<ULONG_PTR>(byte);
            }
        }
        at = end;
    }
    return 0;
}

}  // namespace

// The deepest checks: every pass finding units, failing units logged, through
// the service and through the WinUSB and HID passes, then the system's own
// passes. The worker's stack keeps most of its reservation to spare, for
// Windows' libraries, which run deeper than Wine's.
TEST(CheckWorker, DeepestChecksLeaveMostOfTheStackToSpare) {
    testing_support::TestLog log("Kelvane_CheckStackTest");
    ResultWindow window;
    StackLimits stack;
    CheckWorker worker(window.hwnd, ResultMessage, [&] {
        GetCurrentThreadStackLimits(&stack.low, &stack.high);
        return checkMotionUnits();
    });
    const auto check = [&] {
        MSG msg;
        return worker.start() &&
               pollUntil([&] { return PeekMessageW(&msg, window.hwnd, ResultMessage, ResultMessage, PM_REMOVE); },
                         10000) &&
               *CheckWorker::takeResult(msg.lParam) != NoUnitText;
    };
    {
        fake_usb::FakeUsbWorld world;
        for (int i = 0; i < 4; ++i) {
            const std::wstring serial = L"UNIT00000000000000000" + std::to_wstring(i);
            world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, serial), L"Tavrello", L"Motion Unit", serial);
            world.addHidInterface(fake_usb::hidPath(0x0483, 0xA110, i), 0x0483, 0xA110, L"Tavrello", L"Motion Unit",
                                  serial + L"H");
        }
        world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, L"BROKEN"), L"Tavrello", L"Motion Unit", L"BROKEN")
            .stringErrors[3] = ERROR_GEN_FAILURE;
        world.addHidInterface(fake_usb::hidPath(0x0483, 0xA110, 9), 0x0483, 0xA110, L"Tavrello", L"Motion Unit", L"X")
            .failManufacturer = true;
        EXPECT_TRUE(check()) << "no service: WinUSB, then HID";
        std::vector<testing_support::ServiceUnit> units;
        for (int i = 0; i < 8; ++i) units.push_back(testing_support::sampleUnit(i));
        testing_support::TestPipeServer service(units, platform::ServiceName);
        ASSERT_TRUE(service.start());
        EXPECT_TRUE(check()) << "the service, then HID";
    }
    check();  // SetupAPI and HID as the system has them (under Wine, no unit)
    const size_t reserved = stack.high - stack.low;
    const size_t deepest = deepestUse(stack);
    std::printf("deepest check: %zu bytes of %zu reserved\n", deepest, reserved);
    // Wine gives every thread at least 1 MiB; the program's default is 2 MiB.
    EXPECT_GE(reserved, CheckWorker::StackReserveBytes);
    EXPECT_LE(reserved, std::max<size_t>(CheckWorker::StackReserveBytes, 1 << 20));
    EXPECT_GT(deepest, 0u);
    EXPECT_LE(deepest * 8, reserved);
    EXPECT_TRUE(worker.finish(5000));
}
