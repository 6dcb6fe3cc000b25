// The real HID pass against whatever Wine presents: it must end, release what it
// opened and find no motion unit (no unit can be attached to a build machine).

#include <gtest/gtest.h>

#include <cstdio>

#include "FakeUsbPlatform.h"
#include "discovery/HidEnumeration.h"
#include "discovery/WinUsbEnumeration.h"

TEST(HidSmoke, RealPassEndsReleasesEverythingAndListsNoUnit) {
    for (bool removeDuplicates : {true, false}) {
        fake_usb::CountingRealUsbPlatform counting;
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, removeDuplicates);

        const fake_usb::Counters counters = counting.counters();
        EXPECT_EQ(counters.setsOpened, 1);
        EXPECT_TRUE(counting.allReleased())
            << "sets " << counters.setsOpened << "/" << counters.setsClosed << ", files " << counters.filesOpened
            << "/" << counters.filesClosed << ", heap " << counters.heapAllocated << "/" << counters.heapFreed
            << ", bad " << counters.badReleases << ", WinUSB " << counters.forbiddenCalls;
        for (const DeviceInfo& device : list) {
            EXPECT_FALSE(device.vendorId == 0x0483 && device.productId == 0xA110);
            EXPECT_EQ(device.source, static_cast<uint32_t>(DeviceSourceHid));
            EXPECT_FALSE(device.manufacturer.empty());
            EXPECT_FALSE(device.product.empty());
        }
        std::printf("HID pass under this system: %u interfaces' detail blocks, %u devices opened, %u listed\n",
                    static_cast<unsigned>(counters.heapAllocated), static_cast<unsigned>(counters.filesOpened),
                    static_cast<unsigned>(list.size()));
    }
}

TEST(HidSmoke, TestProcessesNeverReachTheRealWinUsbFunctions) {
    const int before = fake_usb::forbiddenWinUsbCalls();
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    EXPECT_FALSE(usbPlatform().WinUsb_Initialize(INVALID_HANDLE_VALUE, &handle));
    EXPECT_FALSE(usbPlatform().WinUsb_Free(handle));
    EXPECT_EQ(fake_usb::forbiddenWinUsbCalls(), before + 2);
    // The rest of the table is the real one.
    EXPECT_EQ(usbPlatform().SetupDiGetClassDevsW, realUsbPlatform().SetupDiGetClassDevsW);
    EXPECT_EQ(usbPlatform().HidD_GetAttributes, realUsbPlatform().HidD_GetAttributes);
}

// The program's own tests run the real exe, with the real WinUSB functions: they
// are safe only while Wine presents no device that the WinUSB pass would open.
TEST(HidSmoke, RealWinUsbPassUnderThisSystemOpensNothing) {
    fake_usb::CountingRealUsbPlatform counting;
    DeviceList list(1);
    enumerateWinUsbDevices(list, nullptr, nullptr);
    const fake_usb::Counters counters = counting.counters();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(counters.filesOpened, 0);
    EXPECT_EQ(counters.forbiddenCalls, 0);
    EXPECT_TRUE(counting.allReleased());
}
