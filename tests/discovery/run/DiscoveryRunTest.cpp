// The whole discovery run: a real service on the fixed pipe name, and the
// scripted USB device world for WinUSB and HID.

#include "FakeUsbPlatform.h"
#include "TestPipeServer.h"
#include "discovery/Discovery.h"
#include "discovery/MotionUnit.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace discovery;
using namespace testing_support;
using namespace platform;

using fake_usb::FakeUsbWorld;
using fake_usb::hidPath;
using fake_usb::winUsbPath;
using testing_support::TestPipeServer;

namespace {

constexpr uint16_t Vid = 0x0483;
constexpr uint16_t Pid = 0xA110;

ServiceUnit serviceUnit(const std::wstring& serial, uint8_t kind = 1) {
    ServiceUnit unit;
    unit.vendorId = Vid;
    unit.productId = Pid;
    unit.kind = kind;
    unit.manufacturer = L"Tavrello";
    unit.product = L"Kelvane";
    unit.serialNumber = serial;
    unit.devicePath = L"\\\\?\\usb#vid_0483&pid_a110#" + serial + L"#{service}";
    return unit;
}

// What a list holds, one "source:serial" per entry, in order.
std::vector<std::string> entries(const DeviceList& list) {
    std::vector<std::string> out;
    for (const DeviceInfo& d : list)
        out.push_back(std::to_string(static_cast<uint32_t>(d.source)) + ":" +
                      std::string(d.serialNumber.begin(), d.serialNumber.end()));
    return out;
}

class DiscoveryRun : public ::testing::Test {
protected:
    void TearDown() override { TransportMode = static_cast<int32_t>(TransportModeValue::ServiceThenWinUsb); }

    // A service on the program's own pipe name, serving these units.
    std::unique_ptr<TestPipeServer> startService(std::vector<ServiceUnit> units) {
        auto server = std::make_unique<TestPipeServer>(std::move(units), std::wstring(ServiceName));
        EXPECT_TRUE(server->start()) << "pipe name taken: error " << server->lastError();
        return server;
    }

    void addWinUsb(FakeUsbWorld& world, const std::wstring& serial) {
        world.addWinUsbDevice(winUsbPath(Vid, Pid, serial.empty() ? L"noserial" : serial), L"Tavrello", L"Kelvane",
                              serial);
    }
    void addHid(FakeUsbWorld& world, const std::wstring& serial, int instance = 0) {
        static int device = 0;
        world.addHidInterface(hidPath(Vid, Pid, instance) + L"#" + std::to_wstring(++device), Vid, Pid, L"Tavrello",
                              L"Kelvane", serial);
    }
};

TEST_F(DiscoveryRun, NothingAnywhereGivesAnEmptyList) {
    FakeUsbWorld world;
    DeviceList list(3);  // entries from before are dropped
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(world.allReleased());
}

TEST_F(DiscoveryRun, ServiceWithNoDevicesSkipsWinUsb) {
    FakeUsbWorld world;
    addWinUsb(world, L"W1");
    addHid(world, L"H1");
    auto service = startService({});
    DeviceList list;
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), std::vector<std::string>{"0:H1"});
    EXPECT_EQ(world.counters().winUsbOpened, 0);
    EXPECT_EQ(service->counts().opened, 1u);
    EXPECT_EQ(service->requests().size(), 1u);
}

TEST_F(DiscoveryRun, UnreachableServiceFallsBackToWinUsbBeforeHid) {
    FakeUsbWorld world;
    addHid(world, L"H1");
    addWinUsb(world, L"W1");
    addWinUsb(world, L"W2");
    DeviceList list;
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), (std::vector<std::string>{"1:W1", "1:W2", "0:H1"}));
    // A run that asks the service instead forgets what the WinUSB pass read:
    // once the service has gone again, the units are read afresh.
    {
        auto service = startService({});
        discoverUniqueDevices(list, nullptr, nullptr);
        EXPECT_EQ(entries(list), std::vector<std::string>{"0:H1"});
    }
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), (std::vector<std::string>{"1:W1", "1:W2", "0:H1"}));
    EXPECT_EQ(world.counters().winUsbOpened, 4);
    EXPECT_TRUE(world.allReleased());
}

TEST_F(DiscoveryRun, ServiceEntriesComeFirstAndWinUsbIsNotTried) {
    FakeUsbWorld world;
    addWinUsb(world, L"W1");
    addHid(world, L"H1");
    auto service = startService({serviceUnit(L"S1"), serviceUnit(L"S2", 0)});
    DeviceList list;
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), (std::vector<std::string>{"2:S1", "0:S2", "0:H1"}));
    EXPECT_EQ(world.counters().winUsbOpened, 0);
}

TEST_F(DiscoveryRun, ServiceOnlyModeWithoutServiceListsOnlyHid) {
    TransportMode = static_cast<int32_t>(TransportModeValue::ServiceOnly);
    FakeUsbWorld world;
    addWinUsb(world, L"W1");
    addHid(world, L"H1");
    DeviceList list;
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), std::vector<std::string>{"0:H1"});
    EXPECT_EQ(world.counters().setsOpened, 1) << "only the HID enumeration";
}

TEST_F(DiscoveryRun, WinUsbOnlyModeNeverContactsTheService) {
    FakeUsbWorld world;
    addWinUsb(world, L"W1");
    addHid(world, L"H1");
    auto service = startService({serviceUnit(L"S1")});
    for (int32_t mode : {2}) {
        TransportMode = mode;
        DeviceList list;
        discoverUniqueDevices(list, nullptr, nullptr);
        EXPECT_EQ(entries(list), (std::vector<std::string>{"1:W1", "0:H1"}));
    }
    EXPECT_EQ(service->counts().opened, 0u);
}

TEST_F(DiscoveryRun, UnknownModeBehavesAsServiceThenWinUsb) {
    FakeUsbWorld world;
    addWinUsb(world, L"W1");
    for (int32_t mode : {-1, 3, 99}) {
        TransportMode = mode;
        DeviceList list;
        discoverUniqueDevices(list, nullptr, nullptr);
        EXPECT_EQ(entries(list), std::vector<std::string>{"1:W1"}) << "mode " << mode;
    }
}

TEST_F(DiscoveryRun, DuplicateRuleAcrossTransports) {
    struct Case {
        const wchar_t* winUsbSerial;
        const wchar_t* hidSerial;
        bool removeDuplicates;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {L"ABC", L"ABC", true, {"1:ABC"}},
        {L"ABC", L"", true, {"1:ABC", "0:"}},        // the HID serial read failed
        {L"ABC", L"abc", true, {"1:ABC", "0:abc"}},  // case counts
        {L"", L"", true, {"1:"}},                    // both empty: the same
        {L"ABC", L"ABC", false, {"1:ABC", "0:ABC"}},
    };
    for (const Case& c : cases) {
        FakeUsbWorld world;
        addWinUsb(world, c.winUsbSerial);
        addHid(world, c.hidSerial);
        DeviceList list;
        discoverDevices(list, nullptr, nullptr, c.removeDuplicates);
        EXPECT_EQ(entries(list), c.expected)
            << "WinUSB '" << std::string(c.winUsbSerial, c.winUsbSerial + wcslen(c.winUsbSerial)) << "', remove "
            << c.removeDuplicates;
    }
}

TEST_F(DiscoveryRun, ServiceEntriesSuppressHidDuplicatesOnlyForOwnedKinds) {
    FakeUsbWorld world;
    addHid(world, L"S1");
    addHid(world, L"S2");
    addHid(world, L"S3");
    auto service = startService({serviceUnit(L"S1", 1), serviceUnit(L"S2", 0), serviceUnit(L"S3", 7)});
    DeviceList list;
    discoverUniqueDevices(list, nullptr, nullptr);
    EXPECT_EQ(entries(list), (std::vector<std::string>{"2:S1", "0:S2", "7:S3", "0:S2", "0:S3"}));
}

TEST_F(DiscoveryRun, FindMotionUnitsKeepsDiscoveryOrderAndOnlyRecognisedUnits) {
    FakeUsbWorld world;
    addHid(world, L"H1");
    world.addHidInterface(hidPath(Vid, Pid, 0) + L"#boot", Vid, Pid, L"Tavrello", L"Drumlin", L"BOOT");
    world.addHidInterface(hidPath(0x1234, Pid, 0), 0x1234, Pid, L"Tavrello", L"Kelvane", L"OTHERVID");
    ServiceUnit foreign = serviceUnit(L"FOREIGN");
    foreign.manufacturer = L"tavrello";
    auto service = startService({serviceUnit(L"S1"), foreign, serviceUnit(L"S2")});

    const MotionUnitList units = MotionUnitFinder().findMotionUnits();
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].serialNumber, L"S1");
    EXPECT_EQ(units[0].source, DeviceSource::Service);
    EXPECT_EQ(units[0].product, L"Kelvane");
    EXPECT_EQ(units[0].devicePath, L"\\\\?\\usb#vid_0483&pid_a110#S1#{service}");
    EXPECT_EQ(units[0].reserved, 0);
    EXPECT_EQ(units[1].serialNumber, L"S2");
    EXPECT_EQ(units[2].serialNumber, L"H1");
    EXPECT_EQ(units[2].source, DeviceSource::Hid);

    const MotionUnitList copy = units;  // deep: entries of its own
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_NE(&copy[0], &units[0]);
    EXPECT_EQ(copy[2].devicePath, units[2].devicePath);
    EXPECT_TRUE(world.allReleased());
}

TEST_F(DiscoveryRun, FindMotionUnitsWithNothingRecognisedIsEmpty) {
    FakeUsbWorld world;
    world.addHidInterface(hidPath(Vid, 0xA111, 0), Vid, 0xA111, L"Tavrello", L"Kelvane", L"X");
    EXPECT_TRUE(MotionUnitFinder().findMotionUnits().empty());
}

}  // namespace
