// The WinUSB handle registry, through DeviceHandleRef and ExclusiveDeviceUse,
// against the scripted device world.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwctype>
#include <memory>
#include <thread>
#include <vector>

#include "FakeUsbPlatform.h"
#include "discovery/WinUsbHandleRegistry.h"

using namespace discovery;

using fake_usb::FakeUsbWorld;
using fake_usb::winUsbPath;

namespace {

const std::wstring UnitPath = winUsbPath(0x0483, 0xA110, L"UNIT1");

class WinUsbHandleRegistryTest : public ::testing::Test {
protected:
    FakeUsbWorld world;
    void SetUp() override { world.addWinUsbDevice(UnitPath, L"Tavrello", L"Kelvane", L"UNIT1"); }
};

}  // namespace

TEST_F(WinUsbHandleRegistryTest, TwoReferencesShareOneEntryUntilTheLastIsReleased) {
    DeviceHandleRef first;
    DeviceHandleRef second;
    ASSERT_TRUE(first.open(UnitPath));
    ASSERT_TRUE(second.open(UnitPath));
    EXPECT_EQ(first.id(), second.id());
    EXPECT_EQ(world.counters().filesOpened, 1);
    EXPECT_EQ(world.counters().winUsbOpened, 1);

    first.release();
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(world.openFiles(), 1);
    second.release();
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_EQ(world.openWinUsbHandles(), 0);
    EXPECT_TRUE(world.allReleased());

    // WinUSB interface freed before its file is closed.
    const std::vector<std::string> calls = world.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "WinUsb_Free");
    EXPECT_EQ(calls.back(), "CloseHandle");
}

TEST_F(WinUsbHandleRegistryTest, DeviceIsOpenedForOverlappedReadWrite) {
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(UnitPath));
    const std::vector<fake_usb::OpenRequest> opens = world.openRequests();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, UnitPath);
    EXPECT_EQ(opens[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opens[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(opens[0].flagsAndAttributes, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
}

TEST_F(WinUsbHandleRegistryTest, ReleaseDuringExclusiveUseKeepsTheDeviceOpenUntilTheUseEnds) {
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(UnitPath));
    ExclusiveDeviceUse use(reference.valid(), reference.id());
    EXPECT_NE(use.winUsbHandle(), nullptr);
    reference.release();
    EXPECT_EQ(world.openFiles(), 1);
    EXPECT_EQ(world.openWinUsbHandles(), 1);
    use.end();
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_TRUE(world.allReleased());
}

TEST_F(WinUsbHandleRegistryTest, DiscardClosesAtOnceAndLaterReleasesChangeNothing) {
    DeviceHandleRef first;
    DeviceHandleRef second;
    ASSERT_TRUE(first.open(UnitPath));
    ASSERT_TRUE(second.open(UnitPath));
    {
        ExclusiveDeviceUse use(first.valid(), first.id());
        use.discardHandle = true;
    }
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_EQ(world.openWinUsbHandles(), 0);
    EXPECT_TRUE(first.valid());

    // The entry is gone: a new use gets no handle, and the next open starts afresh.
    {
        ExclusiveDeviceUse use(second.valid(), second.id());
        EXPECT_EQ(use.winUsbHandle(), nullptr);
    }
    DeviceHandleRef third;
    ASSERT_TRUE(third.open(UnitPath));
    EXPECT_GT(third.id(), first.id());
    EXPECT_EQ(world.counters().filesOpened, 2);

    first.release();
    second.release();
    EXPECT_EQ(world.openFiles(), 1);
    third.release();
    EXPECT_TRUE(world.allReleased());
}

TEST_F(WinUsbHandleRegistryTest, PathDifferingOnlyInCaseGetsItsOwnEntry) {
    std::wstring upper = UnitPath;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    world.addWinUsbDevice(upper, L"Tavrello", L"Kelvane", L"UNIT1");
    DeviceHandleRef lower;
    DeviceHandleRef other;
    ASSERT_TRUE(lower.open(UnitPath));
    ASSERT_TRUE(other.open(upper));
    EXPECT_GT(other.id(), lower.id());
    EXPECT_EQ(world.counters().filesOpened, 2);
}

TEST_F(WinUsbHandleRegistryTest, IdsGrowAndAreNotReused) {
    uint32_t previous = 0;
    for (int round = 0; round < 3; ++round) {
        DeviceHandleRef reference;
        ASSERT_TRUE(reference.open(UnitPath));
        if (round > 0) {
            EXPECT_GT(reference.id(), previous);
        }
        previous = reference.id();
    }
    EXPECT_EQ(world.counters().filesOpened, 3);
    EXPECT_TRUE(world.allReleased());
}

TEST_F(WinUsbHandleRegistryTest, FailedOpenOrInitialisationLeavesNothingOpen) {
    const std::wstring refused = winUsbPath(0x0483, 0xA110, L"REFUSED");
    const std::wstring uninitialised = winUsbPath(0x0483, 0xA110, L"NOINIT");
    world.addWinUsbDevice(refused, L"Tavrello", L"Kelvane", L"REFUSED").failOpen = true;
    world.addWinUsbDevice(uninitialised, L"Tavrello", L"Kelvane", L"NOINIT").failInitialize = true;
    DeviceHandleRef reference;
    EXPECT_FALSE(reference.open(refused));
    EXPECT_FALSE(reference.valid());
    EXPECT_FALSE(reference.open(uninitialised));
    EXPECT_FALSE(reference.valid());
    EXPECT_FALSE(reference.open(L"\\\\?\\usb#no-such-device"));
    EXPECT_EQ(world.counters().filesOpened, 1);
    EXPECT_TRUE(world.allReleased());  // the file of the failed initialisation closed, nothing freed twice
}

TEST_F(WinUsbHandleRegistryTest, OpeningAnotherPathReleasesTheFormerOne) {
    const std::wstring second = winUsbPath(0x0483, 0xA110, L"UNIT2");
    world.addWinUsbDevice(second, L"Tavrello", L"Kelvane", L"UNIT2");
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(UnitPath));
    ASSERT_TRUE(reference.open(second));
    EXPECT_EQ(world.openFiles(), 1);
    EXPECT_EQ(world.counters().filesClosed, 1);
    reference.release();
    reference.release();  // a second release holds nothing
    EXPECT_TRUE(world.allReleased());
}

TEST_F(WinUsbHandleRegistryTest, SecondExclusiveUseWaitsForTheFirstToEnd) {
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(UnitPath));
    auto first = std::make_unique<ExclusiveDeviceUse>(reference.valid(), reference.id());
    const WINUSB_INTERFACE_HANDLE handle = first->winUsbHandle();
    ASSERT_NE(handle, nullptr);

    std::atomic<bool> secondBegan{false};
    WINUSB_INTERFACE_HANDLE secondHandle = nullptr;
    std::thread other([&] {
        ExclusiveDeviceUse second(reference.valid(), reference.id());
        secondHandle = second.winUsbHandle();
        secondBegan = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(secondBegan.load());
    first.reset();
    other.join();
    EXPECT_TRUE(secondBegan.load());
    EXPECT_EQ(secondHandle, handle);
    reference.release();
    EXPECT_TRUE(world.allReleased());
}

TEST_F(WinUsbHandleRegistryTest, EndingOrReleasingTwiceNeverTakesFromAnotherHolder) {
    DeviceHandleRef mine;
    DeviceHandleRef theirs;
    ASSERT_TRUE(mine.open(UnitPath));
    ASSERT_TRUE(theirs.open(UnitPath));
    mine.release();
    mine.release();
    EXPECT_EQ(world.openFiles(), 1);  // their reference still counts

    auto first = std::make_unique<ExclusiveDeviceUse>(theirs.valid(), theirs.id());
    first->end();
    ExclusiveDeviceUse second(theirs.valid(), theirs.id());
    ASSERT_NE(second.winUsbHandle(), nullptr);
    first.reset();  // its use has ended already: the second one stays exclusive

    std::atomic<bool> thirdBegan{false};
    std::thread third([&] {
        ExclusiveDeviceUse use(theirs.valid(), theirs.id());
        thirdBegan = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(thirdBegan.load());
    second.end();
    third.join();
    theirs.release();
    EXPECT_TRUE(world.allReleased());
}

// A use hands out both handles: transfers go to the WinUSB interface, and a
// transfer's cancel to the file it was initialised on.
TEST_F(WinUsbHandleRegistryTest, ExclusiveUseGivesTheFileAndItsWinUsbInterface) {
    DeviceHandleRef reference;
    ASSERT_TRUE(reference.open(UnitPath));
    ExclusiveDeviceUse use(reference.valid(), reference.id());
    ASSERT_NE(use.device().winUsb, nullptr);
    EXPECT_EQ(use.device().winUsb, use.winUsbHandle());
    // The file is the one CancelIoEx knows this device by.
    EXPECT_FALSE(usbPlatform().CancelIoEx(use.device().file, nullptr));
    EXPECT_EQ(usbPlatform().GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_FALSE(usbPlatform().CancelIoEx(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4)), nullptr));
    EXPECT_EQ(usbPlatform().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Threads sharing two devices: every use is exclusive, every reference counted,
// and everything is closed once all threads are done.
TEST_F(WinUsbHandleRegistryTest, ManyThreadsShareDevicesSafely) {
    const std::wstring second = winUsbPath(0x0483, 0xA110, L"UNIT2");
    world.addWinUsbDevice(second, L"Tavrello", L"Kelvane", L"UNIT2");
    const std::wstring paths[2] = {UnitPath, second};
    std::atomic<int> inside[2] = {{0}, {0}};
    std::atomic<int> overlaps{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const int device = (i + t) % 2;
                DeviceHandleRef reference;
                if (!reference.open(paths[device])) {
                    ++failures;
                    continue;
                }
                ExclusiveDeviceUse use(reference.valid(), reference.id());
                // Null only when another thread's use discarded this entry.
                if (use.winUsbHandle() == nullptr) continue;
                if (inside[device]++ != 0) ++overlaps;
                std::this_thread::yield();
                --inside[device];
                use.discardHandle = i % 7 == 0;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_TRUE(world.allReleased());
}
