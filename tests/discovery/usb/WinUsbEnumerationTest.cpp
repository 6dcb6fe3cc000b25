// The WinUSB pass, its string-descriptor reads and its id parsing, against the
// scripted device world.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FakeUsbPlatform.h"
#include "TestSupport.h"
#include "discovery/DeviceNotices.h"
#include "discovery/Discovery.h"
#include "discovery/WinUsbEnumeration.h"
#include "discovery/WinUsbHandleRegistry.h"

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>

using namespace discovery;

using fake_usb::countOf;
using fake_usb::devicePaths;
using fake_usb::FakeUsbWorld;
using fake_usb::noteDescriptionFilter;
using fake_usb::noteIdFilter;
using fake_usb::WinUsbDevice;
using fake_usb::winUsbPath;

namespace {

constexpr uint16_t Vid = 0x0483;
constexpr uint16_t Pid = 0xA110;

bool rejectAllIds(uint32_t, uint32_t) { return false; }

bool rejectAllDescriptions(uint32_t, uint32_t, const std::wstring&, const std::wstring&) {
    FakeUsbWorld* world = FakeUsbWorld::current();
    // The device has been read and let go before the filter is asked.
    if (world->openFiles() != 0 || world->openWinUsbHandles() != 0) world->note("DescriptionFilter with device open");
    return false;
}

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> result;
    for (int v : values) result.push_back(static_cast<uint8_t>(v));
    return result;
}

}  // namespace

TEST(WinUsbEnumeration, ListsAcceptedDeviceInPlatformOrderAndEmptiesTheListFirst) {
    FakeUsbWorld world;
    const std::wstring path = L"\\\\?\\USB#VID_0483&PID_A110#Unit1#{6b128895-01de-4056-8aee-c10bf3c4763a}";
    world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"SER-1");
    DeviceList list(3);
    enumerateWinUsbDevices(list, noteIdFilter, noteDescriptionFilter);

    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].vendorId, Vid);
    EXPECT_EQ(list[0].productId, Pid);
    EXPECT_EQ(list[0].manufacturer, L"Tavrello");
    EXPECT_EQ(list[0].product, L"Kelvane");
    EXPECT_EQ(list[0].serialNumber, L"SER-1");
    EXPECT_EQ(list[0].devicePath, path);  // letter case kept
    EXPECT_EQ(list[0].source, DeviceSource::WinUsb);

    EXPECT_EQ(countOf(world.calls(), "IdFilter"), 1u);
    EXPECT_EQ(countOf(world.calls(), "DescriptionFilter"), 1u);
    // Every transfer was collected once finished, and nothing stays open.
    EXPECT_EQ(world.counters().transfersStarted, 5);
    EXPECT_EQ(world.counters().transfersCollected, 5);
    EXPECT_EQ(world.counters().transfersCancelled, 0);

    // The device descriptor, the language list, then the three strings.
    const std::vector<fake_usb::DescriptorRequest> requests = world.descriptorRequests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].type, 1);
    EXPECT_EQ(requests[0].bufferSize, 18u);
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(requests[i].type, 3);
        EXPECT_EQ(requests[i].index, i - 1);
        EXPECT_EQ(requests[i].languageId, i == 1 ? 0 : 0x0409);
        EXPECT_EQ(requests[i].bufferSize, 64u);
    }
    EXPECT_TRUE(world.allReleased());
}

TEST(WinUsbEnumeration, EachDropReasonDropsOnlyItsDevice) {
    const struct {
        const char* name;
        std::wstring path;
        std::function<void(WinUsbDevice&)> script;
        bool idFilterAsked;
        bool opened;
    } cases[] = {
        {"other setup class", winUsbPath(Vid, Pid, L"A"),
         [](WinUsbDevice& d) { d.setupClass = fake_usb::HidSetupClassGuid; }, false, false},
        {"detail read fails", winUsbPath(Vid, Pid, L"A"), [](WinUsbDevice& d) { d.failDetail = true; }, false, false},
        {"no vendor id", L"\\\\?\\usb#pid_a110#A#{6b128895-01de-4056-8aee-c10bf3c4763a}", nullptr, false, false},
        {"no product id", L"\\\\?\\usb#vid_0483#A#{6b128895-01de-4056-8aee-c10bf3c4763a}", nullptr, false, false},
        {"vendor id 0", winUsbPath(0, Pid, L"A"), nullptr, false, false},
        {"product id 0", winUsbPath(Vid, 0, L"A"), nullptr, false, false},
        {"vendor id with a sign", L"\\\\?\\usb#vid_+483&pid_a110#A#{6b128895-01de-4056-8aee-c10bf3c4763a}", nullptr,
         false, false},
        {"open fails", winUsbPath(Vid, Pid, L"A"), [](WinUsbDevice& d) { d.failOpen = true; }, true, false},
        {"initialisation fails", winUsbPath(Vid, Pid, L"A"), [](WinUsbDevice& d) { d.failInitialize = true; }, true,
         true},
        {"device descriptor fails", winUsbPath(Vid, Pid, L"A"), [](WinUsbDevice& d) { d.failDeviceDescriptor = true; },
         true, true},
        {"device descriptor short", winUsbPath(Vid, Pid, L"A"), [](WinUsbDevice& d) { d.deviceDescriptor.resize(16); },
         true, true},
        {"manufacturer read fails", winUsbPath(Vid, Pid, L"A"),
         [](WinUsbDevice& d) { d.stringErrors[1] = ERROR_GEN_FAILURE; }, true, true},
        {"product read fails", winUsbPath(Vid, Pid, L"A"),
         [](WinUsbDevice& d) { d.stringErrors[2] = ERROR_GEN_FAILURE; }, true, true},
        {"serial read fails", winUsbPath(Vid, Pid, L"A"),
         [](WinUsbDevice& d) { d.stringErrors[3] = ERROR_GEN_FAILURE; }, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        WinUsbDevice& dropped = world.addWinUsbDevice(c.path, L"Tavrello", L"Kelvane", L"A");
        if (c.script) c.script(dropped);
        world.addWinUsbDevice(winUsbPath(Vid, 0xA111, L"B"), L"Tavrello", L"Other", L"B");
        DeviceList list;
        enumerateWinUsbDevices(list, noteIdFilter, nullptr);
        EXPECT_EQ(devicePaths(list), std::vector<std::wstring>{winUsbPath(Vid, 0xA111, L"B")});
        EXPECT_EQ(countOf(world.calls(), "IdFilter"), c.idFilterAsked ? 2u : 1u);
        EXPECT_EQ(world.counters().filesOpened, c.opened ? 2 : 1);
        EXPECT_TRUE(world.allReleased());
    }
}

TEST(WinUsbEnumeration, ZeroStringIndexesLeaveTheirFieldsEmptyAndSeventeenBytesAreEnough) {
    std::vector<uint8_t> seventeen = fake_usb::deviceDescriptor(1, 2, 3);
    seventeen.resize(17);  // every string index arrived, bNumConfigurations did not
    const struct {
        const char* name;
        std::vector<uint8_t> descriptor;
        std::wstring manufacturer, product, serial;
        size_t requests;
    } cases[] = {
        {"product only", fake_usb::deviceDescriptor(0, 2, 0), L"", L"Kelvane", L"", 3},
        {"no strings: no language list asked for", fake_usb::deviceDescriptor(0, 0, 0), L"", L"", L"", 1},
        {"17 bytes", seventeen, L"Tavrello", L"Kelvane", L"A", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A").deviceDescriptor =
            c.descriptor;
        DeviceList list;
        enumerateWinUsbDevices(list, nullptr, nullptr);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].manufacturer, c.manufacturer);
        EXPECT_EQ(list[0].product, c.product);
        EXPECT_EQ(list[0].serialNumber, c.serial);
        EXPECT_EQ(world.descriptorRequests().size(), c.requests);
    }
}

TEST(WinUsbEnumeration, StringsAreReadInTheFirstLanguageTheUnitLists) {
    const struct {
        const char* name;
        std::vector<uint8_t> languages;  // string descriptor 0 as the unit sends it
        DWORD refused;                   // or the error it refuses the request with
        USHORT expected;
    } cases[] = {
        {"another language only", bytes({4, 3, 0x07, 0x04}), 0, 0x0407},
        {"two languages", bytes({6, 3, 0x07, 0x04, 0x09, 0x04}), 0, 0x0407},
        {"odd length after one whole id", bytes({5, 3, 0x07, 0x04, 0x09}), 0, 0x0407},
        {"none listed", bytes({2, 3}), 0, 0x0409},
        {"refused", bytes({4, 3, 0x07, 0x04}), ERROR_GEN_FAILURE, 0x0409},
        {"id cut by what arrived", bytes({4, 3, 0x07}), 0, 0x0409},
        {"id cut by bLength", bytes({3, 3, 0x07, 0x04}), 0, 0x0409},
        {"not a string descriptor", bytes({4, 2, 0x07, 0x04}), 0, 0x0409},
        {"language 0", bytes({4, 3, 0, 0}), 0, 0x0409},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        WinUsbDevice& unit = world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
        unit.stringDescriptors[0] = c.languages;
        if (c.refused != 0) unit.stringErrors[0] = c.refused;
        unit.stringLanguage = c.expected;  // the strings answer in this language only
        DeviceList list;
        enumerateWinUsbDevices(list, nullptr, nullptr);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].serialNumber, L"A");
        size_t languageLists = 0;
        for (const fake_usb::DescriptorRequest& request : world.descriptorRequests()) {
            if (request.type != 3) continue;
            if (request.index == 0) ++languageLists;
            EXPECT_EQ(request.languageId, request.index == 0 ? 0 : c.expected) << "index " << int(request.index);
        }
        EXPECT_EQ(languageLists, 1u);
    }
}

TEST(WinUsbEnumeration, RejectedIdsAreNeverOpened) {
    FakeUsbWorld world;
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
    DeviceList list;
    enumerateWinUsbDevices(list, rejectAllIds, nullptr);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(world.counters().filesOpened, 0);
}

TEST(WinUsbEnumeration, DescriptionFilterIsAskedAfterTheDeviceIsLetGo) {
    FakeUsbWorld world;
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
    DeviceList list;
    enumerateWinUsbDevices(list, nullptr, rejectAllDescriptions);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(world.counters().winUsbOpened, 1);  // it was read
    EXPECT_EQ(countOf(world.calls(), "DescriptionFilter with device open"), 0u);
    EXPECT_TRUE(world.allReleased());
}

TEST(WinUsbEnumeration, FailedReadDiscardsTheHandleEvenWhileAnotherHolderKeepsIt) {
    for (bool productFails : {false, true}) {
        SCOPED_TRACE(productFails ? "product read fails" : "all reads succeed");
        FakeUsbWorld world;
        const std::wstring path = winUsbPath(Vid, Pid, L"A");
        WinUsbDevice& device = world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"A");
        if (productFails) device.stringErrors[2] = ERROR_GEN_FAILURE;
        DeviceHandleRef holder;
        ASSERT_TRUE(holder.open(path));
        DeviceList list;
        enumerateWinUsbDevices(list, nullptr, nullptr);
        EXPECT_EQ(list.size(), productFails ? 0u : 1u);
        EXPECT_EQ(world.openFiles(), productFails ? 0 : 1);
        holder.release();
        EXPECT_TRUE(world.allReleased());
    }
}

TEST(WinUsbEnumeration, LongManufacturerIsReadWholeWhicheverWayTheDeviceAnswersAShortRequest) {
    const std::wstring manufacturer = L"Tavrello Motion Systems International GmbH";  // 42 characters
    for (bool insufficientBuffer : {false, true}) {
        SCOPED_TRACE(insufficientBuffer ? "fails short requests" : "truncates short requests");
        FakeUsbWorld world;
        world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), manufacturer, L"Kelvane", L"A")
            .oversizeFailsWithInsufficientBuffer = insufficientBuffer;
        DeviceList list;
        enumerateWinUsbDevices(list, nullptr, nullptr);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].manufacturer, manufacturer);
        EXPECT_EQ(list[0].product, L"Kelvane");
    }
}

TEST(WinUsbEnumeration, MissingDeviceSetLeavesTheListEmpty) {
    FakeUsbWorld world;
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
    world.setClassDevsFails(true);
    DeviceList list(2);
    enumerateWinUsbDevices(list, nullptr, nullptr);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(world.allReleased());
}

TEST(ReadStringDescriptor, DescriptorShapesAndBufferGrowth) {
    const std::vector<uint8_t> fortyUnits = fake_usb::stringDescriptor(std::wstring(40, L'x'));  // 82 bytes
    std::vector<uint8_t> longest = fake_usb::stringDescriptor(std::wstring(126, L'y'));          // 254 bytes
    const struct {
        const char* name;
        std::vector<uint8_t> descriptor;
        DWORD error;  // the read fails with this error, whatever the size
        bool insufficientBuffer;
        bool result;
        std::wstring text;
        std::vector<ULONG> sizes;
    } cases[] = {
        {"ordinary", fake_usb::stringDescriptor(L"Kelvane"), 0, false, true, L"Kelvane", {64}},
        {"header only", bytes({2, 3}), 0, false, true, L"", {64}},
        {"one byte received", bytes({8}), 0, false, true, L"", {64}},
        {"bLength 0", bytes({0, 3, 'A', 0}), 0, false, true, L"", {64}},
        {"bLength 1", bytes({1, 3, 'A', 0}), 0, false, true, L"", {64}},
        {"bLength beyond bytes received", bytes({10, 3, 'A', 0, 'B', 0}), 0, false, true, L"AB", {64}},
        {"odd bLength", bytes({5, 3, 'A', 0, 'B'}), 0, false, true, L"A", {64}},
        {"truncated at 64, read again", fortyUnits, 0, false, true, std::wstring(40, L'x'), {64, 128}},
        {"too small at 64 and 128", longest, 0, true, true, std::wstring(126, L'y'), {64, 128, 256}},
        {"truncated up to 256", longest, 0, false, true, std::wstring(126, L'y'), {64, 128, 256}},
        {"always too small",
         bytes({2, 3}),
         ERROR_INSUFFICIENT_BUFFER,
         false,
         false,
         L"unchanged",
         {64, 128, 256, 512, 1024, 2048}},
        {"other error", bytes({2, 3}), ERROR_GEN_FAILURE, false, false, L"unchanged", {64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        const std::wstring path = winUsbPath(Vid, Pid, L"A");
        WinUsbDevice& device = world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"A");
        device.stringDescriptors[5] = c.descriptor;
        if (c.error != 0) device.stringErrors[5] = c.error;
        device.oversizeFailsWithInsufficientBuffer = c.insufficientBuffer;

        DeviceHandleRef reference;
        ASSERT_TRUE(reference.open(path));
        ExclusiveDeviceUse use(reference.valid(), reference.id());
        std::wstring text = L"unchanged";
        DWORD error = 0;
        EXPECT_EQ(readStringDescriptor(use.device(), 5, 0x0409, text, error), c.result);
        if (!c.result) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(text, c.text);
        std::vector<ULONG> sizes;
        for (const fake_usb::DescriptorRequest& request : world.descriptorRequests()) {
            EXPECT_EQ(request.type, 3);
            EXPECT_EQ(request.index, 5);
            EXPECT_EQ(request.languageId, 0x0409);
            sizes.push_back(request.bufferSize);
        }
        EXPECT_EQ(sizes, c.sizes);
    }
}

TEST(ParseUsbId, ExactlyFourAsciiHexDigitsAfterTheMarker) {
    const struct {
        const wchar_t* path;
        const wchar_t* marker;
        bool parsed;
        uint32_t id;
    } cases[] = {
        {L"\\\\?\\usb#vid_1234&pid_abcd#x", L"vid_", true, 0x1234},
        {L"\\\\?\\usb#vid_1234&pid_abcd#x", L"pid_", true, 0xABCD},
        {L"vid_ffff", L"vid_", true, 0xFFFF},
        {L"vid_0000", L"vid_", true, 0},
        {L"xvid_0009&vid_0001", L"vid_", true, 9},  // the first marker counts
        {L"vid_12&p", L"vid_", false, 0},
        {L"vid_&pid_1", L"vid_", false, 0},
        {L"vid_", L"vid_", false, 0},
        {L"usb#nothing", L"vid_", false, 0},
        {L"vid_12345678", L"vid_", false, 0},  // not four digits but eight
        {L"vid_0x12", L"vid_", false, 0},
        {L"vid_ 1f2", L"vid_", false, 0},
        {L"vid_+1f2", L"vid_", false, 0},
        {L"vid_-123", L"vid_", false, 0},
        {L"vid_zz12", L"vid_", false, 0},
        {L"vid_\xFF11\xFF12\xFF13\xFF14", L"vid_", false, 0},  // full-width digits
        {L"vid_\x0661\x0662\x0663\x0664", L"vid_", false, 0},  // Arabic-Indic digits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        uint32_t id = 0x5A5A;
        EXPECT_EQ(parseUsbId(c.path, c.marker, id), c.parsed);
        EXPECT_EQ(id, c.parsed ? c.id : 0x5A5Au);
    }
}

// A device that never answers, or answers too late, costs one bounded wait: the
// transfer is cancelled and its end awaited before its memory goes; the device
// is let go and the next device is read as usual.
TEST(WinUsbEnumeration, TransferThatMissesTheDeadlineIsCancelledAndCostsOneWait) {
    const struct {
        const char* name;
        bool neverCompletes;
        DWORD completesAfterMs;
        bool listed;
    } cases[] = {
        {"never completes", true, 0, false},
        {"completes after the deadline", false, 900, false},
        {"completes before the deadline", false, 150, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbWorld world;
        WinUsbDevice& slow = world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
        slow.transfersNeverComplete = c.neverCompletes;
        slow.transfersCompleteAfterMs = c.completesAfterMs;
        world.addWinUsbDevice(winUsbPath(Vid, 0xA111, L"B"), L"Tavrello", L"Other", L"B");
        DeviceList list;
        const ULONGLONG start = GetTickCount64();
        enumerateWinUsbDevices(list, nullptr, nullptr);
        const ULONGLONG elapsed = GetTickCount64() - start;

        std::vector<std::wstring> expected;
        if (c.listed) expected.push_back(winUsbPath(Vid, Pid, L"A"));
        expected.push_back(winUsbPath(Vid, 0xA111, L"B"));
        EXPECT_EQ(devicePaths(list), expected);
        if (c.listed) {
            EXPECT_LT(elapsed, 4 * 150u + 400u);  // four transfers, each waited for
        } else {
            EXPECT_GE(elapsed + 20, WinUsbControlTimeoutMs);  // the tick count's own granularity
            EXPECT_LE(elapsed, 700u) << "one wait for the device descriptor, then the device is given up";
            EXPECT_EQ(world.counters().transfersCancelled, 1);
        }
        EXPECT_EQ(world.unfinishedTransfers(), 0);
        EXPECT_EQ(world.openFiles(), 0);
        EXPECT_TRUE(world.allReleased());
    }
}

namespace {

const char* const LogName = "KelvaneTest_WinUsbPass";

}  // namespace

// A device with the unit's ids that cannot be opened or read is logged with
// the step and the error, once per appearance: not again while it keeps
// failing, again after it was read or gone.
TEST(WinUsbEnumeration, UnreadableDeviceIsLoggedOncePerAppearance) {
    testing_support::TestLog log(LogName);
    // A path of its own: the passes remember failures across the tests of this process.
    const std::wstring path = winUsbPath(Vid, Pid, L"LOGGED");
    auto pass = [&](std::function<void(WinUsbDevice&)> script) {
        FakeUsbWorld world;
        if (script) script(world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", L"A"));
        world.addWinUsbDevice(winUsbPath(Vid, 0xA111, L"B"), L"Tavrello", L"Other", L"B").failOpen = true;
        // Not recognised by its description: its serial number is nobody's concern.
        world.addWinUsbDevice(winUsbPath(Vid, Pid, L"C"), L"Tavrello", L"Boot", L"C").stringErrors[3] =
            ERROR_GEN_FAILURE;
        DeviceList list;
        enumerateWinUsbDevices(
            list, [](uint32_t, uint32_t productId) { return productId == Pid; },
            [](uint32_t, uint32_t, const std::wstring&, const std::wstring& product) { return product == L"Kelvane"; });
    };
    const std::string suffix = ", \\\\?\\usb#vid_0483&pid_A110#LOGGED#{6b128895-01de-4056-8aee-c10bf3c4763a}";
    auto failInitialize = [](WinUsbDevice& d) { d.failInitialize = true; };
    pass(failInitialize);
    pass(failInitialize);
    EXPECT_EQ(log.errorLines(), std::vector<std::string>{"GEC:3102, X:50" + suffix});
    pass([](WinUsbDevice& d) { d.stringErrors[2] = ERROR_GEN_FAILURE; });  // a different step: still failing
    pass([](WinUsbDevice&) {});                                            // read: recovered
    pass([](WinUsbDevice& d) { d.failOpen = true; });
    pass(nullptr);  // gone
    pass([](WinUsbDevice& d) { d.transfersNeverComplete = true; });
    pass([](WinUsbDevice&) {});
    pass([](WinUsbDevice& d) { d.stringErrors[3] = ERROR_GEN_FAILURE; });  // the serial number
    pass([](WinUsbDevice& d) { d.stringErrors[3] = ERROR_GEN_FAILURE; });
    EXPECT_EQ(log.errorLines(), (std::vector<std::string>{"GEC:3102, X:50" + suffix, "GEC:3101, X:5" + suffix,
                                                          "GEC:3103, X:121" + suffix, "GEC:3105, X:31" + suffix}));
}

// Each pass compares with its own last run: a WinUSB unit and a HID unit that
// fail in every run are each named once.
TEST(WinUsbEnumeration, WinUsbAndHidFailuresOfOneRunAreEachLoggedOnce) {
    testing_support::TestLog log(LogName);
    TransportMode = static_cast<int32_t>(TransportModeValue::WinUsbOnly);
    const std::wstring winUsb = winUsbPath(Vid, Pid, L"BOTHPASSES");
    const std::wstring hid = L"\\\\?\\hid#vid_0483&pid_a110#7&b0b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    for (int run = 0; run < 3; ++run) {
        FakeUsbWorld world;
        world.addWinUsbDevice(winUsb, L"Tavrello", L"Kelvane", L"W").failInitialize = true;
        world.addHidInterface(hid, Vid, Pid, L"Tavrello", L"Kelvane", L"H").failOpen = true;
        DeviceList list;
        discoverDevices(list, nullptr, nullptr, true);
    }
    TransportMode = static_cast<int32_t>(TransportModeValue::ServiceThenWinUsb);
    const std::vector<std::string> lines = log.errorLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("GEC:3102, X:50, ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("GEC:3001, X:", 0), 0u) << lines[1];
}

namespace {

// The notice of an interface of the WinUSB class arriving, its path spelt in
// upper case as notices may spell it; taken as the window takes it.
void noticeArrival(const std::wstring& path) {
    std::wstring upper = path;
    for (wchar_t& unit : upper) unit = static_cast<wchar_t>(towupper(unit));
    const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (upper.size() + 1) * sizeof(wchar_t);
    std::vector<DWORD> block((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
    notice->dbcc_size = static_cast<DWORD>(bytes);
    notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notice->dbcc_classguid = WinUsbInterfaceGuid;
    std::memcpy(notice->dbcc_name, upper.c_str(), (upper.size() + 1) * sizeof(wchar_t));
    EXPECT_TRUE(takeUnitInterfaceNotice(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(notice)));
}

std::vector<std::wstring> serialsOfOnePass() {
    DeviceList list;
    enumerateWinUsbDevices(list, nullptr, nullptr);
    std::vector<std::wstring> serials;
    for (const DeviceInfo& device : list) serials.push_back(device.serialNumber);
    return serials;
}

size_t opensOf(const FakeUsbWorld& world, const std::wstring& path) {
    size_t opens = 0;
    for (const fake_usb::OpenRequest& request : world.openRequests()) opens += request.path == path;
    return opens;
}

}  // namespace

// A window left open for a minute: each unit is opened and read once, not
// sixty times; a unit unplugged and plugged again is read afresh.
TEST(WinUsbEnumeration, EachUnitIsReadOncePerAppearance) {
    FakeUsbWorld world;
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A1");
    WinUsbDevice& b = world.addWinUsbDevice(winUsbPath(Vid, Pid, L"B"), L"Tavrello", L"Kelvane", L"B1");
    for (int second = 0; second < 60; ++second)
        ASSERT_EQ(serialsOfOnePass(), (std::vector<std::wstring>{L"A1", L"B1"}));
    EXPECT_EQ(world.counters().filesOpened, 2);
    EXPECT_EQ(world.descriptorRequests().size(), 2 * 5u);

    b.present = false;
    EXPECT_EQ(serialsOfOnePass(), std::vector<std::wstring>{L"A1"});
    b.present = true;
    b.stringDescriptors[3] = fake_usb::stringDescriptor(L"B2");  // another unit at the same place
    for (int second = 0; second < 3; ++second) EXPECT_EQ(serialsOfOnePass(), (std::vector<std::wstring>{L"A1", L"B2"}));
    EXPECT_EQ(world.counters().filesOpened, 3);
    EXPECT_EQ(world.openFiles(), 0);
    EXPECT_TRUE(world.allReleased());
}

// Plugged in again under the same path between two checks (the arrival notice
// tells), and held by another program by then: the record read before is
// listed and that is logged once; once let go, the unit is read afresh. A
// path never read that cannot be opened is not listed.
TEST(WinUsbEnumeration, UnitHeldByAnotherProgramIsListedFromItsEarlierReadAndLoggedOnce) {
    const struct {
        const char* name;
        std::wstring serial;
        void (*hold)(WinUsbDevice&, bool);
        std::string error;
    } cases[] = {
        {"sharing violation", L"HELD", [](WinUsbDevice& d, bool held) { d.heldByAnotherProgram = held; }, "32"},
        {"access denied", L"DENIED", [](WinUsbDevice& d, bool held) { d.failOpen = held; }, "5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TestLog log(LogName);
        FakeUsbWorld world;
        const std::wstring path = winUsbPath(Vid, Pid, c.serial);
        const std::string logged = ", " + std::string(path.begin(), path.end());
        WinUsbDevice& unit = world.addWinUsbDevice(path, L"Tavrello", L"Kelvane", c.serial + L"1");
        const std::vector<std::wstring> first = {c.serial + L"1"};
        EXPECT_EQ(serialsOfOnePass(), first);

        c.hold(unit, true);
        noticeArrival(path);
        for (int second = 0; second < 3; ++second) EXPECT_EQ(serialsOfOnePass(), first);
        EXPECT_EQ(opensOf(world, path), 4u);
        EXPECT_EQ(log.errorLines(), std::vector<std::string>{"GEC:3106, X:" + c.error + logged});

        c.hold(unit, false);
        unit.stringDescriptors[3] = fake_usb::stringDescriptor(c.serial + L"2");
        for (int second = 0; second < 3; ++second)
            EXPECT_EQ(serialsOfOnePass(), std::vector<std::wstring>{c.serial + L"2"});
        EXPECT_EQ(opensOf(world, path), 5u);

        unit.present = false;
        EXPECT_TRUE(serialsOfOnePass().empty());
        unit.present = true;
        c.hold(unit, true);
        for (int second = 0; second < 3; ++second) EXPECT_TRUE(serialsOfOnePass().empty());
        EXPECT_EQ(log.errorLines(),
                  (std::vector<std::string>{"GEC:3106, X:" + c.error + logged, "GEC:3101, X:" + c.error + logged}));
        EXPECT_TRUE(world.allReleased());
    }
}

// A cancelled transfer that the driver never finishes keeps its memory and
// event: freeing them under it would let the driver write into freed memory.
TEST(WinUsbEnumeration, TransferWhoseCancelNeverFinishesKeepsItsBlockAndEvent) {
    FakeUsbWorld world;
    WinUsbDevice& stuck = world.addWinUsbDevice(winUsbPath(Vid, Pid, L"A"), L"Tavrello", L"Kelvane", L"A");
    stuck.transfersNeverComplete = true;
    stuck.cancelNeverFinishes = true;
    world.addWinUsbDevice(winUsbPath(Vid, 0xA111, L"B"), L"Tavrello", L"Other", L"B");
    DeviceList list;
    enumerateWinUsbDevices(list, nullptr, nullptr);
    EXPECT_EQ(devicePaths(list), std::vector<std::wstring>{winUsbPath(Vid, 0xA111, L"B")});
    const fake_usb::Counters counters = world.counters();
    EXPECT_EQ(counters.transfersCancelled, 1);
    EXPECT_EQ(counters.heapAllocated - counters.heapFreed, 1) << "the transfer's block is left to the driver";
    EXPECT_EQ(counters.eventsOpened - counters.eventsClosed, 1) << "and so is its event";
    EXPECT_EQ(counters.badReleases, 0);
    EXPECT_EQ(world.openFiles(), 0) << "the device itself is let go";
    world.finishAbandonedTransfers();
    EXPECT_TRUE(world.allReleased());
}

TEST(UnitInterfaceNotices, RegistersForTheHidAndTheWinUsbInterfaceClasses) {
    FakeUsbWorld world;
    platform::UniqueWindow window(
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr));
    ASSERT_TRUE(window.valid());
    { UnitInterfaceNotices notices(window.get()); }
    const std::vector<GUID> classes = world.noticeClasses();
    ASSERT_EQ(classes.size(), 2u);
    const auto registered = [&](const GUID& wanted) {
        return std::any_of(classes.begin(), classes.end(), [&](const GUID& g) { return IsEqualGUID(g, wanted); });
    };
    EXPECT_TRUE(registered(fake_usb::HidInterfaceGuid));
    EXPECT_TRUE(registered(WinUsbInterfaceGuid));
}
