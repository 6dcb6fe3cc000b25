// The real kelvane-units.exe under Wine, its output going to files as a script's
// redirection would, against the service simulator: every option, the exit
// codes, UTF-8 output, JSON read back by a real parser, and its own log.

#include "TestSupport.h"
#include "diagnostics/Log.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>

using namespace diagnostics;
using namespace testing_support;
using nlohmann::json;

namespace {

constexpr DWORD StartTimeoutMs = 30000;  // a process start under Wine can take seconds
const std::string Line24 = "service\t0483\tA110\tTavrello\tKelvane Motion Unit\tTVK7Q2-M9X4LP-8RZ3HN-6WC5JD\r\n";

struct ProgramRun {
    DWORD exitCode;
    std::string output;
    std::string errors;
};

ProgramRun runUnits(const std::wstring& arguments) {
    ChildProcess program(windowsPathOf(KELVANE_UNITS_EXE), arguments, true);
    const DWORD code = program.exitCode(StartTimeoutMs);
    return {code, program.output(), program.errors()};
}

// One argument on a command line, as the runtime library splits it again.
std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    return out.append(backslashes * 2, L'\\') + L"\"";
}

std::unique_ptr<ChildProcess> startSimulator(const std::wstring& arguments) {
    auto simulator = std::make_unique<ChildProcess>(windowsPathOf(KELVANE_SERVICE_SIMULATOR), arguments);
    EXPECT_TRUE(simulator->waitForOutput("serving", StartTimeoutMs)) << simulator->output();
    return simulator;
}

struct Case {
    const wchar_t* arguments;
    DWORD exitCode;
    std::string output;  // exactly, or the start of it when `prefixOnly`
    bool prefixOnly = false;
};

void expectRuns(const Case* cases, size_t count) {
    for (const Case* c = cases; c != cases + count; ++c) {
        const ProgramRun run = runUnits(c->arguments);
        const std::string label =
            std::string("arguments: ") + std::string(c->arguments, c->arguments + wcslen(c->arguments));
        EXPECT_EQ(run.exitCode, c->exitCode) << label << "\n" << run.errors;
        EXPECT_EQ(c->prefixOnly ? run.output.substr(0, c->output.size()) : run.output, c->output) << label;
        if (c->exitCode != 2) {
            EXPECT_EQ(run.errors, "") << label;
        }
    }
}

TEST(UnitsProgram, ListsTheServiceUnitAndPrintsWhatTheWindowShows) {
    auto simulator = startSimulator(L"--serial TVK7Q2M9X4LP8RZ3HN6WC5JD");
    const Case cases[] = {
        {L"", 0, Line24},
        {L"--transport=service", 0, Line24},
        {L"--serial", 0, "TVK7Q2-M9X4LP-8RZ3HN-6WC5JD\r\n"},
        {L"--all", 0, Line24.substr(0, Line24.size() - 2) + "\trecognised\r\n"},
    };
    expectRuns(cases, std::size(cases));
    EXPECT_NE(simulator->output().find("command 174 (Serial)"), std::string::npos);

    // WinUSB only: the service is not asked, and Wine has no WinUSB unit.
    const std::string before = simulator->output();
    const Case winUsb[] = {{L"--transport winusb", 1, ""}, {L"--serial --transport winusb", 1, ""}};
    expectRuns(winUsb, std::size(winUsb));
    EXPECT_EQ(simulator->output(), before);
}

TEST(UnitsProgram, RejectedDevicesShowWithAllAndSerialSkipsAUnitWithoutSerialNumber) {
    auto simulator = startSimulator(
        L"--product Drumlin3 --unit --manufacturer Other --unit --serial= --unit --product \x00DCnit\xD83D\xDE00 "
        L"--serial ABCDEFG");
    const std::string prefix = "service\t0483\tA110\t";
    const Case cases[] = {
        {L"--all", 0,
         prefix + "Tavrello\tDrumlin3\tSIM000-000000-000000-0000001\trejected: boot loader\r\n" + prefix +
             "Other\tKelvane Motion Unit\tSIM000-000000-000000-0000001\trejected: other maker\r\n" + prefix +
             "Tavrello\tKelvane Motion Unit\t\trejected: empty serial number\r\n" + prefix +
             "Tavrello\t\xC3\x9Cnit\xF0\x9F\x98\x80\tABCDEF-G\trecognised\r\n"},
        {L"", 0, prefix + "Tavrello\t\xC3\x9Cnit\xF0\x9F\x98\x80\tABCDEF-G\r\n"},
        // The window shows the first unit that has a serial number.
        {L"--serial", 0, "ABCDEF-G\r\n"},
    };
    expectRuns(cases, std::size(cases));
}

TEST(UnitsProgram, HostileServiceStringsComeOutAsJsonThatParses) {
    const std::wstring hostile = L"q\"b\\s\\\x01\t\n\x1f\xD800 \xD83D\xDE00 \xDC00 end\\";
    auto simulator =
        startSimulator(L"--manufacturer Tavrello --product " + quoted(hostile) + L" --path " + quoted(hostile));
    const ProgramRun run = runUnits(L"--json --all");
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    const json listing = json::parse(run.output);
    ASSERT_EQ(listing.size(), 1u);
    const std::string expected = "q\"b\\s\\\x01\t\n\x1f\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEF\xBF\xBD end\\";
    EXPECT_EQ(listing[0]["product"], expected);
    EXPECT_EQ(listing[0]["path"], expected);
    EXPECT_EQ(listing[0]["rejectionReason"], nullptr);
}

TEST(UnitsProgram, WithoutAServiceNothingIsFoundAndTheCommandLineIsChecked) {
    const std::string version = "kelvane-units " + std::to_string(KELVANE_VERSION_MAJOR) + "." +
                                std::to_string(KELVANE_VERSION_MINOR) + "." + std::to_string(KELVANE_VERSION_PATCH) +
                                "." + std::to_string(KELVANE_VERSION_TWEAK) + "\r\n";
    const Case cases[] = {
        {L"--transport service", 1, ""},
        {L"--json --transport service", 1, "[]\r\n"},
        {L"--serial", 1, ""},
        {L"--help", 0, "Usage: kelvane-units ", true},
        {L"--version", 0, version},
        {L"--frobnicate", 2, ""},
        {L"--transport", 2, ""},
        {L"--transport usb", 2, ""},
    };
    expectRuns(cases, std::size(cases));
    const ProgramRun bad = runUnits(L"--frobnicate");
    EXPECT_EQ(bad.errors.substr(0, bad.errors.find("\r\n")), "kelvane-units: unknown option: --frobnicate");
    EXPECT_NE(bad.errors.find("\r\nUsage: kelvane-units "), std::string::npos);
}

TEST(UnitsProgram, WritesItsOwnLogBesideTheWindows) {
    const std::wstring folder = resolveLogFolder(LogFolderKind::LocalAppData);
    const std::wstring ownLog = folder + L"\\Tavrello_Kelvane_kelvane-units.exe.log";
    deleteFileIfPresent(ownLog);
    const uint64_t windowLogSize = fileSizeOf(folder + L"\\Tavrello_Kelvane.log");
    EXPECT_EQ(runUnits(L"--transport service").exitCode, 1u);
    const std::vector<std::string> lines = splitCrLfLines(readFileBytes(ownLog));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.front().find(" A: =============== LOG CREATED ==============="), std::string::npos);
    EXPECT_NE(lines.back().find(" A: ============== LOG DESTROYED =============="), std::string::npos);
    EXPECT_EQ(fileSizeOf(folder + L"\\Tavrello_Kelvane.log"), windowLogSize);
}

// --- --watch ---

const std::string NoUnitLine = "(no motion unit has been found)";

BOOL WINAPI ignoreConsoleControl(DWORD) { return TRUE; }

// Ctrl+C in the console of a program started as a ChildProcess (a console of
// its own, without a window), as the keys would send it. This process leaves
// its own console for it (under CTest it has none: its output is a pipe) and
// ignores the event itself. Wine 8 sends no Ctrl+Break to a console (the
// in-process watch test covers it).
bool pressCtrlCInConsoleOf(const ChildProcess& program) {
    SetConsoleCtrlHandler(ignoreConsoleControl, TRUE);  // this process, while it shares the console
    FreeConsole();
    const bool sent = AttachConsole(program.processId()) && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent;
}

// kelvane-units --watch with `arguments`, and the lines it has written.
class Watch {
public:
    explicit Watch(const std::wstring& arguments)
        : program_(windowsPathOf(KELVANE_UNITS_EXE), L"--watch " + arguments, true) {}
    ChildProcess& program() { return program_; }
    // Waits until the output is exactly `lines` (complete lines).
    bool linesBecome(const std::vector<std::string>& lines, DWORD timeoutMs = 5000) {
        return waitUntil([&] { return splitCrLfLines(program_.output()) == lines; }, timeoutMs);
    }
    std::string output() const { return program_.output(); }

private:
    ChildProcess program_;
};

TEST(UnitsProgram, WatchWritesALinePerChangeOfTheServiceUnitUntilCtrlC) {
    const std::string grouped = "TVK7Q2-M9X4LP-8RZ3HN-6WC5JD";
    const struct {
        const wchar_t* arguments;
        bool json;
        std::string unit, none;
    } cases[] = {
        {L"--transport service", false, grouped, NoUnitLine},
        {L"--json", true, "{\"found\": true, \"groupedSerialNumber\": \"" + grouped + "\"}",
         "{\"found\": false, \"groupedSerialNumber\": null}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.arguments)));
        auto simulator = startSimulator(L"--serial TVK7Q2M9X4LP8RZ3HN6WC5JD");
        Watch watch(c.arguments);
        EXPECT_TRUE(watch.linesBecome({c.unit}, StartTimeoutMs)) << watch.output();
        simulator.reset();
        EXPECT_TRUE(watch.linesBecome({c.unit, c.none})) << watch.output();
        simulator = startSimulator(L"--serial TVK7Q2M9X4LP8RZ3HN6WC5JD");
        EXPECT_TRUE(watch.linesBecome({c.unit, c.none, c.unit})) << watch.output();
        Sleep(2500);  // more looks, no change: no more lines
        EXPECT_EQ(splitCrLfLines(watch.output()).size(), 3u) << watch.output();
        if (c.json) {
            for (const std::string& line : splitCrLfLines(watch.output())) EXPECT_NO_THROW(json::parse(line));
        }
        ASSERT_TRUE(pressCtrlCInConsoleOf(watch.program()));
        EXPECT_EQ(watch.program().exitCode(StartTimeoutMs), 0u);
        EXPECT_EQ(watch.program().errors(), "");
    }
}

TEST(UnitsProgram, WatchEndsWithThreeOnceItsOutputIsClosed) {
    auto simulator = startSimulator(L"--serial TVK7Q2M9X4LP8RZ3HN6WC5JD");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    platform::UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + windowsPathOf(KELVANE_UNITS_EXE) + L"\" --watch";
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &info));
    platform::UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();
    std::string first;
    char c = 0;
    DWORD read = 0;
    while (first.find('\n') == std::string::npos && ReadFile(readEnd, &c, 1, &read, nullptr) && read == 1) first += c;
    EXPECT_EQ(first, "TVK7Q2-M9X4LP-8RZ3HN-6WC5JD\r\n");
    reader.reset();     // the script reading it has gone
    simulator.reset();  // the next line has nowhere to go
    ASSERT_EQ(WaitForSingleObject(process.get(), StartTimeoutMs), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 3u);
}

// Logoff or shutdown reaches a console program that uses windows only through
// a top-level window: the watch's hidden one ends the watch, and the program
// writes its log's end line and exits with 0 before answering.
TEST(UnitsProgram, WatchEndsWithZeroAndItsLogsEndLineWhenTheSessionEnds) {
    const std::wstring ownLog =
        resolveLogFolder(LogFolderKind::LocalAppData) + L"\\Tavrello_Kelvane_kelvane-units.exe.log";
    deleteFileIfPresent(ownLog);
    Watch watch(L"--transport service");
    ASSERT_TRUE(watch.linesBecome({NoUnitLine}, StartTimeoutMs)) << watch.output();
    const HWND window = topLevelWindowOf(watch.program().processId(), L"Tavrello_Kelvane_UnitsNotices");
    ASSERT_NE(window, nullptr);
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &answer);
    EXPECT_EQ(watch.program().exitCode(StartTimeoutMs), 0u);
    const std::vector<std::string> lines = splitCrLfLines(readFileBytes(ownLog));
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(" A: ============== LOG DESTROYED =============="), std::string::npos) << lines.back();
}

// --- in the prefixes with virtual HID devices (tests/support/virtual-hid), no service ---

TEST(VirtualHidUnitsProgram, ListsTheHidUnitWhateverTheTransportAndTheRejectedHidDevicesWithAll) {
    const std::string unit = "HID\t0483\tA110\tTavrello\tMotion Unit\tVHX3K9-M2P7Q4-R8T1W6-Y5Z0AB";
    const Case cases[] = {
        {L"", 0, unit + "\r\n"},
        {L"--transport service", 0, unit + "\r\n"},  // the HID pass runs after every transport
        {L"--serial", 0, "VHX3K9-M2P7Q4-R8T1W6-Y5Z0AB\r\n"},
    };
    expectRuns(cases, std::size(cases));

    const ProgramRun all = runUnits(L"--all");
    EXPECT_EQ(all.exitCode, 0u);
    const std::vector<std::string> lines = splitCrLfLines(all.output);
    EXPECT_EQ(lines.size(), 3u) << all.output;  // the unit's second collection is not listed
    for (const std::string& line :
         {unit + "\trecognised",
          std::string("HID\t0483\tA110\tTavrello\tDrumlin\tBOOT00-000000-000000-000001\trejected: boot loader"),
          std::string(
              "HID\t0483\tA110\tOther Maker\tMotion Unit\tOTHER0-000000-000000-000001\trejected: other maker")}) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\n" << all.output;
    }
}

#ifdef KELVANE_VIRTUAL_HID_INSTALL
TEST(VirtualHidUnitsProgram, WatchFollowsTheHidUnitUnpluggedAndPluggedAgain) {
    const VirtualHidUnit unit =
        firstVirtualHidUnit(windowsPathOf(KELVANE_VIRTUAL_HID_INSTALL), windowsPathOf(KELVANE_VIRTUAL_HID_INF));
    const std::string grouped = "VHX3K9-M2P7Q4-R8T1W6-Y5Z0AB";
    Watch watch(L"");
    ASSERT_TRUE(watch.linesBecome({grouped}, StartTimeoutMs)) << watch.output();
    ASSERT_TRUE(unit.unplug());
    EXPECT_TRUE(watch.linesBecome({grouped, NoUnitLine})) << watch.output();
    ASSERT_TRUE(unit.plug());
    EXPECT_TRUE(watch.linesBecome({grouped, NoUnitLine, grouped})) << watch.output();
    ASSERT_TRUE(pressCtrlCInConsoleOf(watch.program()));
    EXPECT_EQ(watch.program().exitCode(StartTimeoutMs), 0u);
}
#endif

// One unit without a serial number, one whose serial-number read fails.
TEST(VirtualHidNoSerialProgram, UnitsWithoutSerialNumberAreRejectedAndNothingIsFound) {
    const std::string rejected = "HID\t0483\tA110\tTavrello\tMotion Unit\t\trejected: empty serial number\r\n";
    const Case cases[] = {
        {L"", 1, ""},
        {L"--serial", 1, ""},
        {L"--all", 1, rejected + rejected},
    };
    expectRuns(cases, std::size(cases));
}

}  // namespace
