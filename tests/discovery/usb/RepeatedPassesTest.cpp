// The passes run once a second for days: many runs, including failing devices,
// leave nothing open and do not grow the process.

#include <gtest/gtest.h>

#include <windows.h>

#include "FakeUsbPlatform.h"
#include "TestSupport.h"
#include "discovery/HidEnumeration.h"
#include "discovery/WinUsbEnumeration.h"

using namespace discovery;

using fake_usb::FakeUsbWorld;

namespace {

void runBothPasses(FakeUsbWorld& world) {
    DeviceList list;
    enumerateWinUsbDevices(list, nullptr, nullptr);
    enumerateHidDevices(list, nullptr, nullptr, true);
    EXPECT_EQ(list.size(), 3u);
    world.clearCalls();
}

}  // namespace

TEST(RepeatedPasses, ManyRunsLeaveNothingOpenAndDoNotGrow) {
    FakeUsbWorld world;
    const std::wstring manufacturer = L"Tavrello Motion Systems International GmbH";
    world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, L"A1"), manufacturer, L"Kelvane", L"A1");
    world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, L"A2"), L"Tavrello", L"Kelvane", L"A2").stringErrors[2] =
        ERROR_GEN_FAILURE;
    world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, L"A3"), L"Tavrello", L"Kelvane", L"A3").stringErrors[3] =
        ERROR_INSUFFICIENT_BUFFER;
    world.addHidInterface(fake_usb::hidPath(0x0483, 0xA110, 0), 0x0483, 0xA110, L"Tavrello", L"Kelvane", L"A1");
    world.addHidInterface(fake_usb::hidPath(0x0483, 0xA111, 0), 0x0483, 0xA111, L"Tavrello", L"Kelvane", L"H1");
    world.addHidInterface(fake_usb::hidPath(0x0483, 0xA112, 0), 0x0483, 0xA112, L"Tavrello", L"Kelvane", L"H2");
    world.addHidInterface(fake_usb::hidPath(0x0483, 0xA113, 1), 0x0483, 0xA113, L"Tavrello", L"Kelvane", L"H3");

    for (int run = 0; run < 300; ++run) runBothPasses(world);
    const SIZE_T before = testing_support::privateBytes();
    for (int run = 0; run < 3000; ++run) runBothPasses(world);
    const SIZE_T after = testing_support::privateBytes();

    EXPECT_TRUE(world.allReleased());
    EXPECT_EQ(world.counters().filesOpened, 3300 * 5 + 1) << "the unit read whole is opened once";
    EXPECT_GT(before, 0u);
    EXPECT_LT(after, before + 256 * 1024) << "grew from " << before << " to " << after << " bytes";
}
