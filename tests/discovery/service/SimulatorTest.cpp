// The service simulator as the program's run command and the end-to-end tests
// use it: a separate process serving units given on its command line.

#include "TestPipeServer.h"

#include "TestSupport.h"
#include "discovery/ServicePipeClient.h"

#include <gtest/gtest.h>

#include <string>

using namespace discovery;
using namespace testing_support;
using namespace platform;

namespace {

// The simulator with its standard output and error going to a file of its own.
class Simulator : public ChildProcess {
public:
    explicit Simulator(const std::wstring& arguments)
        : ChildProcess(windowsPathOf(KELVANE_SERVICE_SIMULATOR), arguments) {}
};

// Starting a process under Wine can take seconds on a cold prefix.
constexpr DWORD StartTimeoutMs = 30000;

size_t countOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

TEST(ServiceSimulatorTest, ServesUnitsFromItsCommandLine) {
    const std::wstring name = uniqueServiceName(L"KelvaneTestSimulator");
    Simulator simulator(L"--name " + name +
                        L" --vid 0x1234 --pid 043281 --kind 1 --manufacturer \"Tavrello\" --product \"Bench Unit\""
                        L" --serial= --path \"\\\\?\\usb#vid_1234&pid_a911#one\""
                        L" --unit --kind 0 --serial SIM-TWO --seconds 120");
    ASSERT_TRUE(simulator.started()) << "cannot start " << std::string(KELVANE_SERVICE_SIMULATOR);
    ASSERT_TRUE(simulator.waitForOutput("serving", StartTimeoutMs)) << simulator.output();

    for (int pass = 1; pass <= 2; ++pass) {
        DeviceList list;
        ASSERT_TRUE(queryServiceDevices(list, nullptr, nullptr, name)) << simulator.output();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].vendorId, 0x1234u);
        EXPECT_EQ(list[0].productId, 43281u);
        EXPECT_EQ(list[0].source, DeviceSource::Service);
        EXPECT_EQ(list[0].manufacturer, L"Tavrello");
        EXPECT_EQ(list[0].product, L"Bench Unit");
        EXPECT_EQ(list[0].serialNumber, L"");
        EXPECT_EQ(list[0].devicePath, L"\\\\?\\usb#vid_1234&pid_a911#one");
        // The second unit starts from the default unit.
        const ServiceUnit defaults = defaultServiceUnit();
        EXPECT_EQ(list[1].vendorId, defaults.vendorId);
        EXPECT_EQ(list[1].productId, defaults.productId);
        EXPECT_EQ(list[1].source, DeviceSource::Hid);
        EXPECT_EQ(list[1].product, defaults.product);
        EXPECT_EQ(list[1].serialNumber, L"SIM-TWO");
        EXPECT_EQ(list[1].devicePath, defaults.devicePath);
    }
    // Both connections are reported closed, with the counts a soak test reads.
    ASSERT_TRUE(simulator.waitForOutput("connection 2 closed: opened 2, closed 2", 5000)) << simulator.output();
    const std::string output = simulator.output();
    EXPECT_EQ(countOf(output, "\nrequest "), 22u) << output;
    EXPECT_NE(output.find("request 21: connection 2, 264 bytes, command 175 (Path), sequence 10, index 1"),
              std::string::npos)
        << output;
    EXPECT_EQ(simulator.exitCode(0), STILL_ACTIVE);
}

TEST(ServiceSimulatorTest, StopsAfterItsTimeLimit) {
    const std::wstring name = uniqueServiceName(L"KelvaneTestSimulator");
    Simulator simulator(L"--name=" + name + L" --no-units --seconds=2");
    ASSERT_TRUE(simulator.started());
    ASSERT_TRUE(simulator.waitForOutput("serving", StartTimeoutMs)) << simulator.output();
    DeviceList list(1);
    EXPECT_TRUE(queryServiceDevices(list, nullptr, nullptr, name));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(simulator.exitCode(10000), 0u) << simulator.output();
    EXPECT_NE(simulator.output().find("stopped: opened 1, closed 1"), std::string::npos) << simulator.output();
}

// The behaviours a responsiveness benchmark needs: a count that differs from
// the units, and a service that accepts but never answers.
TEST(ServiceSimulatorTest, ReportsAnyCountOrNeverAnswers) {
    const std::wstring counted = uniqueServiceName(L"KelvaneTestSimulator");
    const std::wstring silent = uniqueServiceName(L"KelvaneTestSimulator");
    Simulator three(L"--name " + counted + L" --count 3 --seconds 120");
    Simulator mute(L"--name " + silent + L" --no-reply --seconds 120");
    ASSERT_TRUE(three.waitForOutput("serving", StartTimeoutMs)) << three.output();
    ASSERT_TRUE(mute.waitForOutput("serving", StartTimeoutMs)) << mute.output();

    DeviceList list;
    ASSERT_TRUE(queryServiceDevices(list, nullptr, nullptr, counted)) << three.output();
    ASSERT_EQ(list.size(), 3u) << "indexes without a unit are answered with empty payloads";
    EXPECT_EQ(list[0].serialNumber, defaultServiceUnit().serialNumber);
    EXPECT_EQ(list[1].vendorId, 0u);
    EXPECT_EQ(list[2].serialNumber, L"");

    EXPECT_FALSE(queryServiceDevices(list, nullptr, nullptr, silent));
    EXPECT_TRUE(mute.waitForOutput("command 170", 5000)) << mute.output();
}

TEST(ServiceSimulatorTest, RefusesANameAnotherServerHas) {
    TestPipeServer server({sampleUnit(1)});
    ASSERT_TRUE(server.start());
    Simulator simulator(L"--name " + server.serviceName());
    ASSERT_TRUE(simulator.started());
    EXPECT_EQ(simulator.exitCode(StartTimeoutMs), 2u) << simulator.output();
}

TEST(ServiceSimulatorTest, RefusesABadCommandLine) {
    for (const wchar_t* arguments :
         {L"--bogus", L"--vid", L"--kind 256", L"--vid 12x", L"--vid 0x", L"--pid -1", L"--seconds 0",
          L"--no-units --serial=x", L"--unit=3", L"--count x", L"--no-reply=1"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        Simulator simulator(arguments);
        ASSERT_TRUE(simulator.started());
        EXPECT_EQ(simulator.exitCode(StartTimeoutMs), 1u) << simulator.output();
        EXPECT_NE(simulator.output().find("--help"), std::string::npos) << simulator.output();
    }
    Simulator help(L"--help");
    ASSERT_TRUE(help.started());
    EXPECT_EQ(help.exitCode(StartTimeoutMs), 0u);
    for (const char* option :
         {"--name", "--unit", "--vid", "--pid", "--kind", "--manufacturer", "--product", "--serial", "--path",
          "--no-units", "--delay-ms", "--no-reply", "--count", "--seconds", "--help"}) {
        EXPECT_NE(help.output().find(std::string("  ") + option), std::string::npos) << option;
    }
}

}  // namespace

TEST(ServiceStrings, TheServiceSendsWhatTheClientTakesAndNoCutLeavesHalfACharacter) {
    const std::wstring pair = L"\xD83D\xDE00";
    const std::wstring a126(126, L'a');
    const struct {
        const char* name;
        std::wstring sent;
        std::wstring read;
    } cases[] = {
        {"127 units", std::wstring(127, L'b'), std::wstring(127, L'b')},
        {"128 units", std::wstring(128, L'c'), std::wstring(127, L'c')},
        {"pair across the cut", a126 + pair, a126},
        {"pair before the cut", std::wstring(125, L'a') + pair + L"z", std::wstring(125, L'a') + pair},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceUnit unit = testing_support::sampleUnit(0);
        unit.serialNumber = c.sent;
        ServiceRequestRecord request;
        request.command = ServiceCommand::Serial;
        ServiceMessage reply = buildServiceReply({unit}, request);
        EXPECT_EQ(reply[ServiceReplyStringEnd] | reply[ServiceReplyStringEnd + 1], 0) << "terminated before the cut";
        EXPECT_EQ(readServiceString(reply), c.read);

        // A service that fills the whole payload: the client cuts alike.
        ServiceMessage full{};
        for (size_t i = 0; i < c.sent.size() && 8 + 2 * i < ServiceMessageSize; ++i) {
            full[8 + 2 * i] = static_cast<uint8_t>(c.sent[i]);
            full[9 + 2 * i] = static_cast<uint8_t>(c.sent[i] >> 8);
        }
        EXPECT_EQ(readServiceString(full), c.read);
    }
}
