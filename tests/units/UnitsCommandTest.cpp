// kelvane-units inside the test process: the scripted USB world behind the
// window's discovery run, and the JSON read back by a real parser.

#include "FakeUsbPlatform.h"
#include "TestSupport.h"
#include "discovery/Discovery.h"
#include "discovery/WinUsbEnumeration.h"
#include "units/UnitsCommand.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dbt.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace discovery;
using namespace units;

using fake_usb::FakeUsbWorld;
using fake_usb::hidPath;
using fake_usb::winUsbPath;
using nlohmann::json;

namespace {

constexpr uint16_t Vid = 0x0483;
constexpr uint16_t Pid = 0xA110;

class UnitsCommand : public ::testing::Test {
protected:
    void TearDown() override { TransportMode = static_cast<int32_t>(TransportModeValue::ServiceThenWinUsb); }

    fake_usb::HidInterface& addHid(const std::wstring& manufacturer, const std::wstring& serial, uint16_t vid = Vid) {
        return world.addHidInterface(hidPath(vid, Pid, 0) + L"#" + std::to_wstring(++hidCount), vid, Pid, manufacturer,
                                     L"Kelvane", serial);
    }

    FakeUsbWorld world;
    int hidCount = 0;
};

TEST_F(UnitsCommand, ListsUnitsInDiscoveryOrderAndWithAllTheRejectedOnesWithTheirReasons) {
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"W1"), L"Tavrello", L"Kelvane", L"W1");
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"none"), L"Tavrello", L"Kelvane", L"");
    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"W3"), L"Tavrello", L"Drumlin", L"W3");
    addHid(L"Tavrello", L"W1");  // the WinUSB unit again: not listed twice
    addHid(L"Other", L"H2");
    addHid(L"Tavrello", L"H3ABCDEFG");
    addHid(L"Tavrello", L"H4", 0x0484);  // other ids: never listed

    UnitsResult plain = runUnitsCommand({L"--transport", L"winusb"});
    EXPECT_EQ(plain.exitCode, UnitsExitCode::Found);
    EXPECT_EQ(plain.output,
              L"WinUSB\t0483\tA110\tTavrello\tKelvane\tW1\r\n"
              L"HID\t0483\tA110\tTavrello\tKelvane\tH3ABCD-EFG\r\n");
    EXPECT_EQ(plain.errors, L"");

    UnitsResult all = runUnitsCommand({L"--all", L"--transport=winusb"});
    EXPECT_EQ(all.exitCode, UnitsExitCode::Found);
    EXPECT_EQ(all.output,
              L"WinUSB\t0483\tA110\tTavrello\tKelvane\tW1\trecognised\r\n"
              L"WinUSB\t0483\tA110\tTavrello\tKelvane\t\trejected: empty serial number\r\n"
              L"WinUSB\t0483\tA110\tTavrello\tDrumlin\tW3\trejected: boot loader\r\n"
              L"HID\t0483\tA110\tOther\tKelvane\tH2\trejected: other maker\r\n"
              L"HID\t0483\tA110\tTavrello\tKelvane\tH3ABCD-EFG\trecognised\r\n");

    const json listing = json::parse(toUtf8(runUnitsCommand({L"--all", L"--json", L"--transport", L"WinUSB"}).output));
    ASSERT_EQ(listing.size(), 5u);
    EXPECT_EQ(listing[0]["groupedSerialNumber"], "W1");
    EXPECT_EQ(listing[0]["rejectionReason"], nullptr);
    EXPECT_EQ(listing[0]["recognised"], true);
    EXPECT_EQ(listing[2]["rejectionReason"], "boot loader");
    EXPECT_EQ(listing[3]["transport"], "HID");
    EXPECT_EQ(listing[3]["vendorId"], "0483");
    EXPECT_EQ(listing[3]["productId"], "A110");
    EXPECT_EQ(listing[3]["manufacturer"], "Other");
    EXPECT_EQ(listing[3]["recognised"], false);
    EXPECT_EQ(listing[4]["serialNumber"], "H3ABCDEFG");
    EXPECT_EQ(listing[4]["path"], toUtf8(hidPath(Vid, Pid, 0) + L"#3"));
    EXPECT_FALSE(json::parse(toUtf8(runUnitsCommand({L"--json", L"--transport", L"winusb"}).output))[0].contains(
        "rejectionReason"));

    EXPECT_EQ(runUnitsCommand({L"--serial", L"--transport", L"winusb"}).output, L"W1\r\n");
    EXPECT_TRUE(world.allReleased());
}

TEST(UnitsOutput, HostileDeviceStringsParseBackAndCannotBreakALine) {
    const std::string fffd = "\xEF\xBF\xBD";
    // Every control character the line and JSON rules care about, and a NUL.
    const wchar_t controlsWide[] = L"nul\0bell\a\b\f\n\r\t\x1b[31m\x1f\x7f end";
    const char controls[] = "nul\0bell\a\b\f\n\r\t\x1b[31m\x1f\x7f end";
    struct Case {
        std::wstring sent;
        std::string parsed;  // what a JSON parser must give back, UTF-8
    };
    const Case cases[] = {
        {L"quote \" back \\ slash /", "quote \" back \\ slash /"},
        {std::wstring(controlsWide, sizeof controlsWide / sizeof(wchar_t) - 1),
         std::string(controls, sizeof controls - 1)},
        {L"\xD83D\xDE00 pair \x00DCnit \x20AC", "\xF0\x9F\x98\x80 pair \xC3\x9Cnit \xE2\x82\xAC"},
        {L"a\xD800"
         L"b",
         "a" + fffd + "b"},
        {L"\xDC00", fffd},
        {L"end\xD83D", "end" + fffd},
        {L"\xDE00\xD83D", fffd + fffd},
        {L"\x2028\x2029\xFEFF", "\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF"},
    };
    for (const Case& c : cases) {
        DeviceInfo device;
        device.vendorId = Vid;
        device.productId = Pid;
        device.manufacturer = device.product = device.serialNumber = device.devicePath = c.sent;
        const std::vector<ListedDevice> listed = {{device, UnitRecognition::OtherMaker}};

        const json parsed = json::parse(toUtf8(formatUnitsJson(listed, true)));
        for (const char* field : {"manufacturer", "product", "serialNumber", "path"}) {
            EXPECT_EQ(parsed[0][field].get<std::string>(), c.parsed) << field << " of case " << &c - cases;
        }

        const std::string line = toUtf8(formatUnitsText(listed, true));
        EXPECT_EQ(line.find("\r\n"), line.size() - 2) << "case " << &c - cases;
        size_t tabs = 0;
        for (const char ch : line.substr(0, line.size() - 2)) {
            EXPECT_FALSE(ch != '\t' && static_cast<unsigned char>(ch) < 0x20) << "case " << &c - cases;
            tabs += ch == '\t';
        }
        EXPECT_EQ(tabs, 6u) << "case " << &c - cases;
    }
}

TEST(UnitsOutput, AConsoleGetsTheCharactersThemselves) {
    // A console of its own, whatever the test process was started with.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(console, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetConsoleCursorPosition(console, {0, 0}));
    const std::wstring text = L"\x00DCnit \x20AC \x0416 ok";
    EXPECT_TRUE(writeStandardText(console, text));
    std::wstring shown(text.size(), L' ');
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleOutputCharacterW(console, &shown[0], static_cast<DWORD>(shown.size()), {0, 0}, &read));
    EXPECT_EQ(shown.substr(0, read), text);
    CloseHandle(console);
}

TEST(UnitsOutput, CommandLineErrorsGiveExitTwoAndTheUsageOnStandardError) {
    const std::vector<std::wstring> cases[] = {
        {L"--bogus"},
        {L"--transport"},
        {L"--transport", L"usb"},
        {L"--transport="},
        {L"--serial", L"--json"},
        {L"--all", L"--serial"},
        {L"--all=1"},
        {L"extra"},
        {L"--watch", L"--serial"},
        {L"--watch", L"--all"},
    };
    for (const auto& arguments : cases) {
        const UnitsResult result = runUnitsCommand(arguments);
        EXPECT_EQ(result.exitCode, UnitsExitCode::Usage) << toUtf8(arguments[0]);
        EXPECT_EQ(result.output, L"");
        const size_t usage = result.errors.find(L"\r\nUsage: kelvane-units ");
        EXPECT_EQ(result.errors.rfind(L"kelvane-units: ", 0), 0u) << toUtf8(result.errors);
        EXPECT_EQ(result.errors.find(L'\n'), usage + 1) << "one line before the usage: " << toUtf8(result.errors);
    }
}

// A file that a watch writes to, as a script's redirection would; removed at the end.
class OutputFile {
public:
    explicit OutputFile(const wchar_t* name) {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + name + std::to_wstring(GetCurrentProcessId());
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        EXPECT_TRUE(file_.valid());
    }
    HANDLE get() const { return file_.get(); }
    std::string text() const { return testing_support::readFileBytes(path_); }
    bool becomes(const std::string& expected) const {
        return testing_support::waitUntil([&] { return text() == expected; }, 5000);
    }

private:
    std::wstring path_;
    platform::UniqueFileHandle file_;
};

// A watch on a thread of its own, as the program's main thread runs it.
class WatchThread {
public:
    WatchThread(const UnitsOptions& options, HANDLE output, HANDLE errors)
        : thread_([=] {
              code_ = watchUnits(options, output, errors);
              ended_ = true;
          }) {}
    // A watch a failed test left running is stopped, as Ctrl+Break would.
    ~WatchThread() {
        while (!ended_) {
            stopWatchOnConsoleControl(CTRL_BREAK_EVENT);
            endsWithin(50);
        }
        thread_.join();
    }
    bool ended() const { return ended_; }
    bool endsWithin(DWORD ms) const {
        return testing_support::waitUntil([&] { return ended_.load(); }, ms);
    }
    UnitsExitCode code() const { return code_; }

private:
    std::atomic<bool> ended_{false};
    UnitsExitCode code_ = UnitsExitCode::Usage;
    std::thread thread_;
};

// The watch in this process: its lines as the scripted world changes, and
// Ctrl+Break (which Wine 8 does not send to a console program) ending it.
TEST_F(UnitsCommand, WatchWritesTheUnitThenEachChangeAndCtrlBreakEndsItWithZero) {
    const UnitsResult parsed = runUnitsCommand({L"--watch", L"--json", L"--transport", L"winusb"});
    ASSERT_TRUE(parsed.watch.has_value());
    EXPECT_EQ(parsed.output, L"");
    const OutputFile output(L"kelvane-watch-");
    addHid(L"Tavrello", L"H1ABCDEFG");
    UnitsExitCode code = UnitsExitCode::Usage;
    std::thread watch([&] { code = watchUnits(*parsed.watch, output.get(), nullptr); });
    const auto linesBecome = [&](const std::string& expected) { return output.becomes(expected); };
    const std::string unit = "{\"found\": true, \"groupedSerialNumber\": \"H1ABCD-EFG\"}\r\n";
    EXPECT_TRUE(linesBecome(unit));
    world.setClassDevsFails(true);  // the unit is gone for the next once-a-second look
    EXPECT_TRUE(linesBecome(unit + "{\"found\": false, \"groupedSerialNumber\": null}\r\n"));
    EXPECT_TRUE(stopWatchOnConsoleControl(CTRL_BREAK_EVENT));
    watch.join();
    EXPECT_EQ(code, UnitsExitCode::Found);
    EXPECT_FALSE(stopWatchOnConsoleControl(CTRL_C_EVENT)) << "no watch: the next handler decides";
}

// A HID unit that stopped answering (its string reads never return): each
// lookup is given up at its bound with exit code 4 and a message naming HID;
// the workers left behind end once the unit answers, and nothing stays open.
TEST_F(UnitsCommand, StalledHidUnitEndsTheLookupAtItsBoundWithItsOwnExitCode) {
    testing_support::TestLog log("KelvaneTest_UnitsLookup");
    addHid(L"Tavrello", L"H1ABCDEFG").stalls = true;
    const std::vector<std::wstring> runs[] = {{L"--serial", L"--transport", L"winusb"},
                                              {L"--json", L"--all", L"--transport", L"winusb"}};
    for (const auto& arguments : runs) {
        const ULONGLONG start = GetTickCount64();
        const UnitsResult result = runUnitsCommand(arguments, 300);
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_EQ(result.exitCode, UnitsExitCode::LookupTimedOut);
        EXPECT_EQ(result.output, L"");
        EXPECT_EQ(result.errors.rfind(L"kelvane-units: no answer within 300 ms from a HID device;", 0), 0u)
            << toUtf8(result.errors);
        EXPECT_GE(elapsed + 20, 300u);  // the tick count's own granularity
        EXPECT_LT(elapsed, 2300u);
    }
    EXPECT_EQ(world.stalledCalls(), 2);
    EXPECT_EQ(lookupsRunning(), 2);
    EXPECT_EQ(log.errorLines(), (std::vector<std::string>(2, "GEC:5003, X:300, HID")));
    world.releaseStalls();
    ASSERT_TRUE(testing_support::waitUntil([] { return lookupsRunning() == 0; }, 5000));
    EXPECT_TRUE(world.allReleased());
}

// Under --watch, Ctrl+C ends the watch at once whatever its lookup is doing;
// a lookup past its bound ends it with exit code 4 and the message.
TEST_F(UnitsCommand, WatchEndsAtOnceOnCtrlCAndAtTheBoundWhileAUnitIsStalled) {
    addHid(L"Tavrello", L"H1ABCDEFG").stalls = true;
    UnitsOptions options = *runUnitsCommand({L"--watch", L"--transport", L"winusb"}, 60000).watch;
    const OutputFile output(L"kelvane-stalled-watch-");
    const OutputFile errors(L"kelvane-stalled-errors-");
    {
        WatchThread watch(options, output.get(), errors.get());
        ASSERT_TRUE(testing_support::waitUntil([&] { return world.stalledCalls() == 1; }, 5000));
        EXPECT_FALSE(watch.endsWithin(300));
        EXPECT_TRUE(stopWatchOnConsoleControl(CTRL_C_EVENT));
        EXPECT_TRUE(watch.endsWithin(1000)) << "Ctrl+C ends the watch at once";
        EXPECT_EQ(watch.code(), UnitsExitCode::Found);
    }
    options.lookupTimeoutMs = 300;
    {
        WatchThread watch(options, output.get(), errors.get());
        EXPECT_TRUE(watch.endsWithin(3000));
        EXPECT_EQ(watch.code(), UnitsExitCode::LookupTimedOut);
    }
    EXPECT_EQ(output.text(), "");
    EXPECT_EQ(errors.text().rfind("kelvane-units: no answer within 300 ms from a HID device;", 0), 0u) << errors.text();
    world.releaseStalls();
    ASSERT_TRUE(testing_support::waitUntil([] { return lookupsRunning() == 0; }, 5000));
}

// The watch's hidden window, with looks a minute apart: the first line comes
// at once though there is no unit, a notice makes a look at once, and the end
// of the session is answered only once the watch has ended, with 0.
TEST_F(UnitsCommand, WatchLooksAtOnceOnANoticeAndEndsWithTheSession) {
    UnitsOptions options = *runUnitsCommand({L"--watch", L"--transport", L"winusb"}).watch;
    options.watchIntervalMs = 60000;
    const OutputFile output(L"kelvane-notice-watch-");
    WatchThread watch(options, output.get(), nullptr);
    const std::string none = "(no motion unit has been found)\r\n";
    ASSERT_TRUE(output.becomes(none));
    const HWND window = testing_support::topLevelWindowOf(GetCurrentProcessId(), WatchWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));

    world.addWinUsbDevice(winUsbPath(Vid, Pid, L"W1"), L"Tavrello", L"Kelvane", L"W1ABCDEFG");
    const DEV_BROADCAST_DEVICEINTERFACE_W arrival = testing_support::interfaceNotice(WinUsbInterfaceGuid);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
    EXPECT_TRUE(output.becomes(none + "W1ABCD-EFG\r\n"));

    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_FALSE(watch.endsWithin(200));
    SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(watch.ended()) << "answered only once the watch has ended";
    EXPECT_EQ(watch.code(), UnitsExitCode::Found);
}

}  // namespace
