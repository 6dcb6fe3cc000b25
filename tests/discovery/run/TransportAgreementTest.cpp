// The three transports read the same unit into the same strings, and so
// recognise it alike, also when its firmware counts a terminating NUL into its
// strings.

#include "FakeUsbPlatform.h"
#include "TestPipeServer.h"
#include "discovery/HidEnumeration.h"
#include "discovery/MotionUnit.h"
#include "discovery/ServicePipeClient.h"
#include "discovery/WinUsbEnumeration.h"

#include <gtest/gtest.h>

#include <string>

using namespace discovery;
using namespace testing_support;

namespace {

constexpr uint16_t Vid = 0x0483;
constexpr uint16_t Pid = 0xA110;

struct Strings {
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
};

DeviceList throughHid(const Strings& s) {
    fake_usb::FakeUsbWorld world;
    world.addHidInterface(fake_usb::hidPath(Vid, Pid, 0), Vid, Pid, s.manufacturer, s.product, s.serialNumber);
    DeviceList list;
    enumerateHidDevices(list, isMotionUnitId, isMotionUnitDescription, false);
    EXPECT_TRUE(world.allReleased());
    return list;
}

DeviceList throughWinUsb(const Strings& s) {
    fake_usb::FakeUsbWorld world;
    world.addWinUsbDevice(fake_usb::winUsbPath(Vid, Pid, L"A"), s.manufacturer, s.product, s.serialNumber);
    DeviceList list;
    enumerateWinUsbDevices(list, isMotionUnitId, isMotionUnitDescription);
    EXPECT_TRUE(world.allReleased());
    return list;
}

DeviceList throughService(const Strings& s) {
    ServiceUnit unit = testing_support::sampleUnit(0);
    unit.manufacturer = s.manufacturer;
    unit.product = s.product;
    unit.serialNumber = s.serialNumber;
    testing_support::TestPipeServer server({unit});
    EXPECT_TRUE(server.start());
    DeviceList list;
    EXPECT_TRUE(queryServiceDevices(list, isMotionUnitId, isMotionUnitDescription, server.serviceName()));
    return list;
}

}  // namespace

TEST(TransportAgreement, SameStringsAndSameVerdictThroughEveryTransport) {
    const std::wstring nul(1, L'\0');
    const struct {
        const char* name;
        Strings sent;  // as the device sends them, before any trailing NUL
        bool recognised;
        Strings read;
    } cases[] = {
        {"unit", {L"Tavrello", L"Kelvane", L"SN1"}, true, {L"Tavrello", L"Kelvane", L"SN1"}},
        {"boot loader", {L"Tavrello", L"Drumlin", L"SN1"}, false, {}},
        {"other boot loader", {L"Tavrello", L"Drumlin3", L"SN1"}, false, {}},
        {"other maker", {L"Tavrell", L"Kelvane", L"SN1"}, false, {}},
        {"text after a NUL",
         {L"Tavrello" + nul + L"x", L"Kelvane", L"SN" + nul + L"9"},
         true,
         {L"Tavrello", L"Kelvane", L"SN"}},
        {"boot loader, text after a NUL", {L"Tavrello", L"Drumlin" + nul + L"Z", L"SN1"}, false, {}},
        {"NUL first", {L"Tavrello", L"Kelvane", nul + L"SN1"}, true, {L"Tavrello", L"Kelvane", L""}},
    };
    for (const auto& c : cases) {
        for (const std::wstring& ending : {std::wstring(), nul}) {
            Strings sent = c.sent;
            sent.manufacturer += ending;
            sent.product += ending;
            sent.serialNumber += ending;
            const struct {
                const char* transport;
                DeviceList list;
            } results[] = {
                {"HID", throughHid(sent)}, {"WinUSB", throughWinUsb(sent)}, {"service", throughService(sent)}};
            for (const auto& r : results) {
                SCOPED_TRACE(std::string(c.name) + (ending.empty() ? "" : ", NUL-terminated") + ", " + r.transport);
                if (!c.recognised) {
                    EXPECT_TRUE(r.list.empty());
                    continue;
                }
                ASSERT_EQ(r.list.size(), 1u);
                EXPECT_EQ(r.list[0].manufacturer, c.read.manufacturer);
                EXPECT_EQ(r.list[0].product, c.read.product);
                EXPECT_EQ(r.list[0].serialNumber, c.read.serialNumber);
            }
        }
    }
}
