// The registry's first ids and its teardown, in a process of their own: after
// the teardown the process has no registry any more.

#include <gtest/gtest.h>

#include "FakeUsbPlatform.h"
#include "discovery/WinUsbHandleRegistry.h"

using namespace discovery;

using fake_usb::FakeUsbWorld;
using fake_usb::winUsbPath;

TEST(WinUsbHandleRegistryLifetime, IdsStartAtZeroAndTeardownClosesWhatIsLeft) {
    FakeUsbWorld world;
    const std::wstring first = winUsbPath(0x0483, 0xA110, L"UNIT1");
    const std::wstring second = winUsbPath(0x0483, 0xA110, L"UNIT2");
    world.addWinUsbDevice(first, L"Tavrello", L"Kelvane", L"UNIT1");
    world.addWinUsbDevice(second, L"Tavrello", L"Kelvane", L"UNIT2");

    EXPECT_EQ(WinUsbHandleRegistry::instance(), WinUsbHandleRegistry::instance());
    {
        DeviceHandleRef reference;
        ASSERT_TRUE(reference.open(first));
        EXPECT_EQ(reference.id(), 0u);
    }
    auto* held = new DeviceHandleRef;
    auto* busy = new DeviceHandleRef;
    ASSERT_TRUE(held->open(first));
    EXPECT_EQ(held->id(), 1u);
    ASSERT_TRUE(busy->open(second));
    EXPECT_EQ(busy->id(), 2u);
    auto* use = new ExclusiveDeviceUse(busy->valid(), busy->id());
    EXPECT_EQ(world.openFiles(), 2);

    WinUsbHandleRegistry::tearDown();
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_EQ(world.openWinUsbHandles(), 0);
    EXPECT_TRUE(world.allReleased());

    // Without a registry nothing opens, and the holders let go quietly.
    EXPECT_EQ(WinUsbHandleRegistry::instance(), nullptr);
    DeviceHandleRef late;
    EXPECT_FALSE(late.open(first));
    delete use;
    delete busy;
    delete held;
    EXPECT_EQ(world.counters().filesOpened, 3);
    EXPECT_TRUE(world.allReleased());
}
