// The HID pass against the scripted device world.

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "FakeUsbPlatform.h"
#include "GuardedHeap.h"
#include "TestSupport.h"
#include "discovery/HidEnumeration.h"

using namespace discovery;

using fake_usb::countOf;
using fake_usb::devicePaths;
using fake_usb::FakeUsbWorld;
using fake_usb::noteDescriptionFilter;
using fake_usb::noteIdFilter;
using fake_usb::HidInterface;
using fake_usb::hidPath;

namespace {

constexpr uint16_t Vid = 0x0483;
constexpr uint16_t Pid = 0xA110;

bool rejectAllIds(uint32_t, uint32_t) { return false; }
bool rejectAllDescriptions(uint32_t, uint32_t, const std::wstring&, const std::wstring&) { return false; }

}  // namespace

// Opened without access rights, so that a unit the system or another program
// holds without write sharing is still read.
TEST(HidEnumeration, ListsAcceptedDeviceWithAllFieldsEvenWhileHeldExclusively) {
    FakeUsbWorld world;
    world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"ABC123").heldExclusively = true;
    DeviceList list;
    enumerateHidDevices(list, noteIdFilter, noteDescriptionFilter, true);

    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].vendorId, Vid);
    EXPECT_EQ(list[0].productId, Pid);
    EXPECT_EQ(list[0].manufacturer, L"Tavrello");
    EXPECT_EQ(list[0].product, L"Kelvane");
    EXPECT_EQ(list[0].serialNumber, L"ABC123");
    EXPECT_EQ(list[0].devicePath, hidPath(Vid, Pid, 0));
    EXPECT_EQ(list[0].source, DeviceSource::Hid);
    EXPECT_EQ(countOf(world.calls(), "DescriptionFilter"), 1u);

    const std::vector<fake_usb::OpenRequest> opens = world.openRequests();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].access, 0u);
    EXPECT_EQ(opens[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(opens[0].flagsAndAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(world.allReleased());
}

// Ids stated in the path decide whether an interface is opened at all; the
// attributes of an opened one still decide whether it is listed.
TEST(HidEnumeration, IdsInThePathKeepOtherDevicesUnopened) {
    const struct {
        const char* name;
        std::wstring path;
        uint16_t productId;  // what the attributes say
        bool opened;
        bool listed;
    } cases[] = {
        {"path ids fail the filter", hidPath(Vid, 0xBEEF, 0), Pid, false, false},
        {"path ids in capitals pass", L"\\\\?\\HID#VID_0483&PID_A110#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         Pid, true, true},
        {"path ids pass, attributes fail", hidPath(Vid, Pid, 0), 0xBEEF, true, false},
        {"no ids in the path", L"\\\\?\\hid#{00001124-0000}_vid&000205ac_pid&0239&0000#{4d1e55b2}", Pid, true, true},
        {"malformed ids in the path", L"\\\\?\\hid#vid_+483&pid_a110#7&1&0&0000#{4d1e55b2}", Pid, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        world.addHidInterface(c.path, Vid, c.productId, L"Tavrello", L"Kelvane", L"S1");
        DeviceList list;
        enumerateHidDevices(
            list, [](uint32_t vendorId, uint32_t productId) { return vendorId == Vid && productId == Pid; }, nullptr,
            true);
        EXPECT_EQ(world.counters().filesOpened, c.opened ? 1 : 0);
        EXPECT_EQ(list.size(), c.listed ? 1u : 0u);
        EXPECT_TRUE(world.allReleased());
    }
}

// A unit that cannot be read is logged once per appearance, with the step and
// the error; an interface whose ids are unknown (not in its path, attributes
// unreadable) or fail the filter is not.
TEST(HidEnumeration, UnreadableUnitIsLoggedOncePerAppearance) {
    testing_support::TestLog log("KelvaneTest_HidPass");
    // A path of its own: the passes remember failures across the tests of this process.
    const std::wstring path = L"\\\\?\\hid#vid_0483&pid_a110#7&10ced&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    auto pass = [&](std::function<void(HidInterface&)> script) {
        FakeUsbWorld world;
        if (script) script(world.addHidInterface(path, Vid, Pid, L"Tavrello", L"Kelvane", L"S1"));
        world.addHidInterface(hidPath(Vid, 0xBEEF, 0), Vid, 0xBEEF, L"Tavrello", L"Other", L"S2").failAttributes = true;
        world.addHidInterface(L"\\\\?\\hid#x&0000#{4d1e55b2}", Vid, Pid, L"T", L"K", L"S3").failAttributes = true;
        DeviceList list;
        enumerateHidDevices(
            list, [](uint32_t, uint32_t productId) { return productId == Pid; }, nullptr, true);
    };
    const std::string suffix = ", \\\\?\\hid#vid_0483&pid_a110#7&10ced&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    pass([](HidInterface& d) { d.failProduct = true; });
    pass([](HidInterface& d) { d.failOpen = true; });  // still failing
    pass(nullptr);                                     // gone
    pass([](HidInterface& d) { d.failAttributes = true; });
    pass([](HidInterface&) {});  // read
    pass([](HidInterface& d) { d.failManufacturer = true; });
    pass([](HidInterface&) {});
    pass([](HidInterface& d) { d.failSerialNumber = true; });  // listed without it, and named
    pass([](HidInterface& d) { d.failSerialNumber = true; });
    EXPECT_EQ(log.errorLines(), (std::vector<std::string>{"GEC:3004, X:31" + suffix, "GEC:3002, X:31" + suffix,
                                                          "GEC:3003, X:31" + suffix, "GEC:3005, X:31" + suffix}));
}

TEST(HidEnumeration, OnlyInterfacesCarryingTheExactInstanceMarkerAreListed) {
    const std::wstring base = L"\\\\?\\hid#vid_0483&pid_a110#7&2f1c3a5&0";
    const std::wstring tail = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const struct {
        std::wstring path;
        bool listed;
    } cases[] = {
        {base + L"&0000" + tail, true},
        {base + L"&0001" + tail, false},
        {base + L"&00000" + tail, false},
        {base + L"&000" + tail, false},
        {base + L"&0000#[4d1e55b2]", false},
        {base + L"&0000", false},
        {L"\\\\?\\hid#x&0000#{a}#vid_0483&0001" + tail, true},  // found anywhere in the path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        FakeUsbWorld world;
        world.addHidInterface(c.path, Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, false);
        EXPECT_EQ(list.size(), c.listed ? 1u : 0u);
        // An interface without the marker is never opened.
        EXPECT_EQ(world.counters().filesOpened, c.listed ? 1 : 0);
        EXPECT_TRUE(world.allReleased());
    }
}

TEST(HidEnumeration, EachDropReasonDropsOnlyItsInterfaceAndReleasesEverything) {
    const struct {
        const char* name;
        std::function<void(HidInterface&)> script;
        bool listed;
        bool opened;
        bool allocated = true;
    } cases[] = {
        {"zero detail size", [](HidInterface& d) { d.zeroDetailSize = true; }, false, false, false},
        {"detail too small for its own header", [](HidInterface& d) { d.detailSizeOverride = 3; }, false, false, false},
        {"detail read fails", [](HidInterface& d) { d.failDetail = true; }, false, false},
        {"open fails", [](HidInterface& d) { d.failOpen = true; }, false, false},
        {"attributes fail", [](HidInterface& d) { d.failAttributes = true; }, false, true},
        {"manufacturer read fails", [](HidInterface& d) { d.failManufacturer = true; }, false, true},
        {"product read fails", [](HidInterface& d) { d.failProduct = true; }, false, true},
        {"empty manufacturer", [](HidInterface& d) { d.manufacturer.clear(); }, false, true},
        {"empty product", [](HidInterface& d) { d.product.clear(); }, false, true},
        {"serial read fails", [](HidInterface& d) { d.failSerialNumber = true; }, true, true},
        {"empty serial", [](HidInterface& d) { d.serialNumber.clear(); }, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        c.script(world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1"));
        world.addHidInterface(hidPath(Vid, 0xA111, 0), Vid, 0xA111, L"Tavrello", L"Other", L"S2");
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, true);

        std::vector<std::wstring> expected;
        if (c.listed) expected.push_back(hidPath(Vid, Pid, 0));
        expected.push_back(hidPath(Vid, 0xA111, 0));
        EXPECT_EQ(devicePaths(list), expected);
        if (c.listed) {
            EXPECT_TRUE(list[0].serialNumber.empty());
        }
        EXPECT_EQ(world.counters().filesOpened, c.opened ? 2 : 1);
        EXPECT_EQ(world.counters().heapAllocated, c.allocated ? 2 : 1);
        EXPECT_TRUE(world.allReleased());
    }
}

TEST(HidEnumeration, ZeroDetailSizeSkipsWithoutAnyFurtherCall) {
    FakeUsbWorld world;
    world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1").zeroDetailSize = true;
    DeviceList list;
    enumerateHidDevices(list, nullptr, nullptr, true);
    const std::vector<std::string> expected = {
        "HidD_GetHidGuid",
        "SetupDiGetClassDevsW",
        "SetupDiEnumDeviceInterfaces",
        "SetupDiGetDeviceInterfaceDetailW",
        "SetupDiEnumDeviceInterfaces",
        "SetupDiDestroyDeviceInfoList",
    };
    EXPECT_EQ(world.calls(), expected);
    EXPECT_TRUE(list.empty());
}

TEST(HidEnumeration, FiltersRejectBeforeStringsAndBeforeTheSerialNumberAreRead) {
    {
        FakeUsbWorld world;
        world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        DeviceList list;
        enumerateHidDevices(list, rejectAllIds, nullptr, true);
        EXPECT_TRUE(list.empty());
        const std::vector<std::string> calls = world.calls();
        EXPECT_EQ(countOf(calls, "HidD_GetManufacturerString"), 0u);
        EXPECT_EQ(countOf(calls, "HidD_GetProductString"), 0u);
        EXPECT_EQ(countOf(calls, "HidD_GetSerialNumberString"), 0u);
        EXPECT_TRUE(world.allReleased());
    }
    {
        FakeUsbWorld world;
        world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        DeviceList list;
        enumerateHidDevices(list, nullptr, rejectAllDescriptions, true);
        EXPECT_TRUE(list.empty());
        const std::vector<std::string> calls = world.calls();
        EXPECT_EQ(countOf(calls, "HidD_GetProductString"), 1u);
        EXPECT_EQ(countOf(calls, "HidD_GetSerialNumberString"), 0u);
        EXPECT_TRUE(world.allReleased());
    }
}

namespace {

// What the filters below were given, on the test's thread.
uint32_t g_seenVendorId;
uint32_t g_seenProductId;
std::wstring g_seenManufacturer;
std::wstring g_seenProduct;

bool recordIds(uint32_t vendorId, uint32_t productId) {
    g_seenVendorId = vendorId;
    g_seenProductId = productId;
    return true;
}

bool recordDescription(uint32_t, uint32_t, const std::wstring& manufacturer, const std::wstring& product) {
    g_seenManufacturer = manufacturer;
    g_seenProduct = product;
    return true;
}
}  // namespace

TEST(HidEnumeration, FiltersSeeTheDevicesOwnValues) {
    FakeUsbWorld world;
    world.addHidInterface(hidPath(0xFFFE, 0x8001, 0), 0xFFFE, 0x8001, L"Maker", L"Thing", L"S1");
    DeviceList list;
    enumerateHidDevices(list, recordIds, recordDescription, true);
    EXPECT_EQ(g_seenVendorId, 0xFFFEu);  // zero-extended, not sign-extended
    EXPECT_EQ(g_seenProductId, 0x8001u);
    EXPECT_EQ(g_seenManufacturer, L"Maker");
    EXPECT_EQ(g_seenProduct, L"Thing");
}

TEST(HidEnumeration, DuplicateRuleAgainstEntriesAlreadyListed) {
    auto entry = [](DeviceSource source, uint32_t productId, const std::wstring& serial) {
        DeviceInfo device;
        device.vendorId = Vid;
        device.productId = productId;
        device.manufacturer = L"Tavrello";
        device.product = L"Kelvane";
        device.serialNumber = serial;
        device.devicePath = L"earlier";
        device.source = source;
        return device;
    };
    const struct {
        const char* name;
        DeviceInfo earlier;
        std::wstring hidSerial;  // L"!" makes the serial read fail
        bool removeDuplicates;
        bool hidListed;
    } cases[] = {
        {"WinUSB entry, same identity", entry(DeviceSource::WinUsb, Pid, L"ABC"), L"ABC", true, false},
        {"service entry, same identity", entry(DeviceSource::Service, Pid, L"ABC"), L"ABC", true, false},
        {"serials differ in case", entry(DeviceSource::WinUsb, Pid, L"abc"), L"ABC", true, true},
        {"earlier HID entry", entry(DeviceSource::Hid, Pid, L"ABC"), L"ABC", true, true},
        {"service kind above 2", entry(DeviceSource{7}, Pid, L"ABC"), L"ABC", true, true},
        {"other product id", entry(DeviceSource::WinUsb, 0xA111, L"ABC"), L"ABC", true, true},
        {"both serials empty", entry(DeviceSource::WinUsb, Pid, L""), L"!", true, false},
        {"HID serial read failed", entry(DeviceSource::WinUsb, Pid, L"ABC"), L"!", true, true},
        {"removal not asked for", entry(DeviceSource::WinUsb, Pid, L"ABC"), L"ABC", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        HidInterface& hid = world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", c.hidSerial);
        if (c.hidSerial == L"!") hid.failSerialNumber = true;
        DeviceList list = {c.earlier};
        enumerateHidDevices(list, nullptr, nullptr, c.removeDuplicates);
        ASSERT_EQ(list.size(), c.hidListed ? 2u : 1u);
        EXPECT_EQ(list[0].devicePath, L"earlier");  // never removed or reordered
        EXPECT_TRUE(world.allReleased());
    }
}

TEST(HidEnumeration, TwoHidDevicesWithOneIdentityAreBothListedInEnumerationOrder) {
    FakeUsbWorld world;
    const std::wstring first = L"\\\\?\\hid#vid_0483&pid_a110#7&11111&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const std::wstring second = L"\\\\?\\hid#vid_0483&pid_a110#7&22222&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    world.addHidInterface(first, Vid, Pid, L"Tavrello", L"Kelvane", L"SAME");
    world.addHidInterface(second, Vid, Pid, L"Tavrello", L"Kelvane", L"SAME");
    DeviceList list;
    enumerateHidDevices(list, nullptr, nullptr, true);
    EXPECT_EQ(devicePaths(list), (std::vector<std::wstring>{first, second}));
    EXPECT_TRUE(world.allReleased());
}

TEST(HidEnumeration, MissingDeviceSetOrHeapEndsCleanly) {
    {
        FakeUsbWorld world;
        world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        world.setClassDevsFails(true);
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, true);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(countOf(world.calls(), "SetupDiEnumDeviceInterfaces"), 0u);
        EXPECT_TRUE(world.allReleased());
    }
    {
        FakeUsbWorld world;
        world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        world.setHeapAllocFails(true);
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, true);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(world.counters().filesOpened, 0);
        EXPECT_TRUE(world.allReleased());
    }
}

// A driver that reports success without writing the terminating NUL: each
// string is still only its own text, never the rest of an earlier, longer one.
TEST(HidEnumeration, UnterminatedStringsDoNotCarryOverEarlierText) {
    FakeUsbWorld world;
    world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane Motion Unit", L"AB12")
        .unterminatedStrings = true;
    world.addHidInterface(hidPath(Vid, Pid + 1, 0), Vid, Pid + 1, L"Tavrello", L"Unit", L"").unterminatedStrings = true;
    DeviceList list;
    enumerateHidDevices(list, nullptr, nullptr, false);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].product, L"Kelvane Motion Unit");
    EXPECT_EQ(list[0].serialNumber, L"AB12");
    EXPECT_EQ(list[1].product, L"Unit");
    EXPECT_EQ(list[1].serialNumber, L"") << "not the previous device's serial number";
    EXPECT_TRUE(world.allReleased());
}

TEST(HidEnumeration, PathIsBoundedByTheAllocatedBlockWhateverTheDetailReadReports) {
    // The sizing call reports room for 24 units and no terminator; the detail
    // read then reports a size that wraps, one that fits, or one past the block.
    const std::wstring path = L"\\\\?\\hid#x&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const DWORD block = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 24 * 2);
    for (DWORD reported : {DWORD{2}, DWORD{3}, block - 2, block + 2, DWORD{4096}}) {
        SCOPED_TRACE(reported);
        FakeUsbWorld world;
        fake_usb::GuardedHeap heap;  // reading past the block faults
        HidInterface& cut = world.addHidInterface(path, Vid, Pid, L"Tavrello", L"Kelvane", L"S1");
        cut.detailSizeOverride = block;
        cut.detailSizeAfterRead = reported;
        world.addHidInterface(hidPath(Vid, Pid, 0), Vid, Pid, L"Tavrello", L"Kelvane", L"S2");
        DeviceList list;
        enumerateHidDevices(list, nullptr, nullptr, true);

        const std::vector<fake_usb::OpenRequest> opens = world.openRequests();
        ASSERT_EQ(opens.size(), 2u);
        EXPECT_EQ(opens[0].path, path.substr(0, 24));
        EXPECT_EQ(devicePaths(list), std::vector<std::wstring>{hidPath(Vid, Pid, 0)});
        EXPECT_EQ(heap.outstanding(), 0);
        EXPECT_TRUE(world.allReleased());
    }
}
