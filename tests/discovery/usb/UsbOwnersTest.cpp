// The owners of what the USB passes open through the platform table: releasing
// keeps both the thread's and the table's last error, and a SetupAPI set is
// checked one way whichever pass owns it.

#include <gtest/gtest.h>

#include <functional>

#include "FakeUsbPlatform.h"
#include "discovery/UsbPlatform.h"

using namespace discovery;

using fake_usb::FakeUsbWorld;

namespace {

constexpr DWORD ThreadError = 0xE0001234;
constexpr DWORD TableError = 0xE0005678;

// A value the fake never handed out: releasing it fails and sets the table's
// last error to ERROR_INVALID_HANDLE.
HANDLE strayHandle() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0)); }

}  // namespace

TEST(UsbOwners, ReleasingAStrayValueKeepsBothLastErrors) {
    const struct {
        const char* owner;
        std::function<void()> releaseStray;
    } cases[] = {
        {"UsbFileHandle", [] { UsbFileHandle(strayHandle()).reset(); }},
        {"UsbDeviceInfoSet", [] { UsbDeviceInfoSet(strayHandle()).reset(); }},
        {"WinUsbInterface", [] { WinUsbInterface(strayHandle()).reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.owner);
        FakeUsbWorld world;
        const UsbPlatform& os = usbPlatform();
        os.SetLastError(TableError);
        ::SetLastError(ThreadError);
        c.releaseStray();
        EXPECT_EQ(world.counters().badReleases, 1) << "the stray value reached the release function";
        EXPECT_EQ(os.GetLastError(), TableError);
        EXPECT_EQ(::GetLastError(), ThreadError);
    }
}

TEST(UsbOwners, NeitherFailureValueOfASetIsDestroyed) {
    FakeUsbWorld world;
    for (HDEVINFO failed : {static_cast<HDEVINFO>(nullptr), static_cast<HDEVINFO>(INVALID_HANDLE_VALUE)}) {
        UsbDeviceInfoSet set(failed);
        EXPECT_FALSE(set);
    }
    EXPECT_EQ(fake_usb::countOf(world.calls(), "SetupDiDestroyDeviceInfoList"), 0u);
}
