// The real HID pass against whatever Wine presents: it must end, release what it
// opened and find no motion unit (no unit can be attached to a build machine).
// The VirtualHid* suites run in prefixes that hold virtual HID devices instead
// (tests/support/virtual-hid), through the real HID class driver.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "FakeUsbPlatform.h"
#include "TestSupport.h"
#include "discovery/HidEnumeration.h"
#include "discovery/MotionUnit.h"
#include "discovery/WinUsbEnumeration.h"

using namespace discovery;
using namespace testing_support;

TEST(HidSmoke, RealPassEndsReleasesEverythingAndListsNoUnit) {
    for (bool removeDuplicates : {true, false}) {
        fake_usb::CountingRealUsbPlatform counting;
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, removeDuplicates);

        const fake_usb::Counters counters = counting.counters();
        EXPECT_EQ(counters.setsOpened, 1);
        EXPECT_TRUE(counting.allReleased())
            << "sets " << counters.setsOpened << "/" << counters.setsClosed << ", files " << counters.filesOpened << "/"
            << counters.filesClosed << ", heap " << counters.heapAllocated << "/" << counters.heapFreed << ", bad "
            << counters.badReleases << ", WinUSB " << counters.forbiddenCalls;
        for (const DeviceInfo& device : list) {
            EXPECT_FALSE(device.vendorId == 0x0483 && device.productId == 0xA110);
            EXPECT_EQ(device.source, DeviceSource::Hid);
            EXPECT_FALSE(device.manufacturer.empty());
            EXPECT_FALSE(device.product.empty());
        }
        std::printf("HID pass under this system: %u interfaces' detail blocks, %u devices opened, %u listed%s\n",
                    static_cast<unsigned>(counters.heapAllocated), static_cast<unsigned>(counters.filesOpened),
                    static_cast<unsigned>(list.size()),
                    list.empty() ? " (so the per-device checks saw nothing here; the VirtualHid* suites"
                                   " check listed devices through the same pass)"
                                 : "");
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

// --- in the prefixes with virtual HID devices (identities as installed there) ---
namespace {

const wchar_t* const UnitSerial = L"VHX3K9M2P7Q4R8T1W6Y5Z0AB";

// The interface path of a root device's first (or other) collection.
std::wstring hidPath(const wchar_t* instance) {
    return std::wstring(L"\\\\?\\hid#vid_0483&pid_a110#") + instance + L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

const DeviceInfo* entryWithPath(const DeviceList& list, const std::wstring& path) {
    for (const DeviceInfo& device : list) {
        if (device.devicePath == path) return &device;
    }
    return nullptr;
}

void expectHidUnit(const DeviceInfo& device, const wchar_t* manufacturer, const wchar_t* product,
                   const wchar_t* serial) {
    EXPECT_EQ(device.vendorId, 0x0483u);
    EXPECT_EQ(device.productId, 0xA110u);
    EXPECT_EQ(device.manufacturer, manufacturer);
    EXPECT_EQ(device.product, product);
    EXPECT_EQ(device.serialNumber, serial);
    EXPECT_EQ(device.source, DeviceSource::Hid);
}

}  // namespace

TEST(VirtualHidUnits, HidPassReadsEveryFieldAndOpensFirstCollectionsOnly) {
    struct Case {
        const wchar_t* instance;
        const wchar_t* manufacturer;
        const wchar_t* product;
        const wchar_t* serial;
        bool listed;
    };
    const Case cases[] = {
        {L"7&2a3b4c5d&0&0000", L"Tavrello", L"Motion Unit", UnitSerial, true},
        {L"7&2a3b4c5d&0&0001", L"Tavrello", L"Motion Unit", UnitSerial, false},  // second collection
        {L"7&1b2c3d4e&0&0000", L"Tavrello", L"Drumlin", L"BOOT00000000000000000001", true},
        {L"7&3c4d5e6f&0&0000", L"Other Maker", L"Motion Unit", L"OTHER0000000000000000001", true},
    };
    for (bool removeDuplicates : {true, false}) {
        fake_usb::CountingRealUsbPlatform counting;
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, removeDuplicates);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.instance);
            const DeviceInfo* device = entryWithPath(list, hidPath(c.instance));
            ASSERT_EQ(device != nullptr, c.listed);
            if (device != nullptr) expectHidUnit(*device, c.manufacturer, c.product, c.serial);
        }
        // Wine's own devices have no first-collection path; the second collection is never opened.
        EXPECT_EQ(counting.counters().filesOpened, 3);
        EXPECT_TRUE(counting.allReleased());
    }
}

TEST(VirtualHidUnits, RecognisesTheUnitAloneNotItsBootLoaderOrAnotherMakersDevice) {
    const MotionUnitList units = MotionUnitFinder().findMotionUnits();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].product, L"Motion Unit");
    EXPECT_EQ(units[0].serialNumber, UnitSerial);
    EXPECT_EQ(units[0].devicePath, hidPath(L"7&2a3b4c5d&0&0000"));
    EXPECT_EQ(units[0].source, DeviceSource::Hid);
}

TEST(VirtualHidUnits, UnitSeenByTheServiceAndOnHidIsListedOnceAsTheServiceEntry) {
    struct Case {
        std::wstring serviceSerial;
        bool hidListedToo;
    };
    const Case cases[] = {
        {UnitSerial, false}, {L"SVC000000000000000000001", true}, {L"vhx3k9m2p7q4r8t1w6y5z0ab", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serviceSerial);
        testing_support::ChildProcess simulator(testing_support::windowsPathOf(KELVANE_SERVICE_SIMULATOR),
                                                L"--kind 1 --serial " + c.serviceSerial);
        ASSERT_TRUE(simulator.waitForOutput("serving", 30000)) << simulator.output();
        const MotionUnitList units = MotionUnitFinder().findMotionUnits();
        ASSERT_EQ(units.size(), c.hidListedToo ? 2u : 1u);
        EXPECT_EQ(units[0].serialNumber, c.serviceSerial);
        EXPECT_EQ(units[0].source, DeviceSource::Service);
        if (c.hidListedToo) {
            EXPECT_EQ(units[1].serialNumber, UnitSerial);
            EXPECT_EQ(units[1].source, DeviceSource::Hid);
        }
    }
}

// One unit has no serial number, the other's read fails: both are listed with
// an empty one (the window's end-to-end test checks how the log names them).
TEST(VirtualHidNoSerial, UnitsWhoseSerialNumberCannotBeReadAreListedWithAnEmptyOne) {
    DeviceList list;
    enumerateHidDevices(list, nullptr, nullptr, true);
    for (const wchar_t* instance : {L"7&4d5e6f70&0&0000", L"7&5e6f7081&0&0000"}) {
        const DeviceInfo* device = entryWithPath(list, hidPath(instance));
        ASSERT_NE(device, nullptr);
        expectHidUnit(*device, L"Tavrello", L"Motion Unit", L"");
    }
    const MotionUnitList units = MotionUnitFinder().findMotionUnits();
    ASSERT_EQ(units.size(), 2u);
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(units[i].serialNumber, L"");
        EXPECT_EQ(units[i].source, DeviceSource::Hid);
    }
}
