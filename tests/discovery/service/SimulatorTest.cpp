// The service simulator as the program's run command and the end-to-end tests
// use it: a separate process serving units given on its command line.

#include "TestPipeServer.h"

#include "TestSupport.h"
#include "discovery/ServicePipeClient.h"

#include <gtest/gtest.h>

#include <string>

using namespace testing_support;

namespace {

std::wstring simulatorPath() {
    std::wstring path = widen(KELVANE_SERVICE_SIMULATOR);
    if (!path.empty() && path[0] == L'/') {
        // A build path of the cross build, seen through Wine's drive for the host's root.
        for (wchar_t& c : path) {
            if (c == L'/') c = L'\\';
        }
        path = L"Z:" + path;
    }
    return path;
}

// The simulator with its standard output and error going to a file of its own.
class Simulator {
public:
    explicit Simulator(const std::wstring& arguments) {
        wchar_t folder[MAX_PATH];
        ::GetTempPathW(MAX_PATH, folder);
        static int counter = 0;
        outputPath_ = std::wstring(folder) + L"kelvane-simulator-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                      std::to_wstring(++counter) + L".txt";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        platform::UniqueFileHandle output(::CreateFileW(outputPath_.c_str(), GENERIC_WRITE,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                        &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output) return;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        std::wstring commandLine = L"\"" + simulatorPath() + L"\" " + arguments;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &info)) {
            process_.reset(info.hProcess);
            ::CloseHandle(info.hThread);
        }
    }
    ~Simulator() {
        if (process_ && exitCode(0) == STILL_ACTIVE) {
            ::TerminateProcess(process_.get(), 9);
            ::WaitForSingleObject(process_.get(), 5000);
        }
        process_.reset();
        deleteFileIfPresent(outputPath_);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool started() const { return process_.valid(); }
    // The exit code once the process has ended within timeoutMs, else STILL_ACTIVE.
    DWORD exitCode(DWORD timeoutMs) const {
        DWORD code = STILL_ACTIVE;
        if (::WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process_.get(), &code);
        }
        return code;
    }
    std::string output() const { return readFileBytes(outputPath_); }
    // Waits until the output holds `text`, at most timeoutMs.
    bool waitForOutput(const std::string& text, DWORD timeoutMs) const {
        for (DWORD waited = 0;; waited += 50) {
            if (output().find(text) != std::string::npos) return true;
            if (waited >= timeoutMs) return false;
            ::Sleep(50);
        }
    }

private:
    std::wstring outputPath_;
    platform::UniqueHandle process_;
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
        EXPECT_EQ(list[0].source, static_cast<uint32_t>(DeviceSourceService));
        EXPECT_EQ(list[0].manufacturer, L"Tavrello");
        EXPECT_EQ(list[0].product, L"Bench Unit");
        EXPECT_EQ(list[0].serialNumber, L"");
        EXPECT_EQ(list[0].devicePath, L"\\\\?\\usb#vid_1234&pid_a911#one");
        // The second unit starts from the default unit.
        const ServiceUnit defaults = defaultServiceUnit();
        EXPECT_EQ(list[1].vendorId, defaults.vendorId);
        EXPECT_EQ(list[1].productId, defaults.productId);
        EXPECT_EQ(list[1].source, static_cast<uint32_t>(DeviceSourceHid));
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

TEST(ServiceSimulatorTest, RefusesANameAnotherServerHas) {
    TestPipeServer server({sampleUnit(1)});
    ASSERT_TRUE(server.start());
    Simulator simulator(L"--name " + server.serviceName());
    ASSERT_TRUE(simulator.started());
    EXPECT_EQ(simulator.exitCode(StartTimeoutMs), 2u) << simulator.output();
}

TEST(ServiceSimulatorTest, RefusesABadCommandLine) {
    for (const wchar_t* arguments : {L"--bogus", L"--vid", L"--kind 256", L"--vid 12x", L"--vid 0x", L"--pid -1", L"--seconds 0",
                                     L"--no-units --serial=x", L"--unit=3"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        Simulator simulator(arguments);
        ASSERT_TRUE(simulator.started());
        EXPECT_EQ(simulator.exitCode(StartTimeoutMs), 1u) << simulator.output();
        EXPECT_NE(simulator.output().find("--help"), std::string::npos) << simulator.output();
    }
    Simulator help(L"--help");
    ASSERT_TRUE(help.started());
    EXPECT_EQ(help.exitCode(StartTimeoutMs), 0u);
    for (const char* option : {"--name", "--unit", "--vid", "--pid", "--kind", "--manufacturer", "--product",
                               "--serial", "--path", "--no-units", "--delay-ms", "--seconds", "--help"}) {
        EXPECT_NE(help.output().find(std::string("  ") + option), std::string::npos) << option;
    }
}

}  // namespace
