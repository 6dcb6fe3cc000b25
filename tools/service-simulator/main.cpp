// service-simulator: serves the motion service's pipe protocol for units given
// on the command line, so that the program can be tried without hardware.

#include "platform/SystemDlls.h"
#include "service_pipe_server/ServicePipeServer.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

using namespace service_pipe_server;
using namespace platform;

namespace {

const char* const Usage =
    "Usage: service-simulator [options]\n"
    "\n"
    "Serves the motion service's named pipe (\\\\.\\pipe\\<name>) for a set of units until it is\n"
    "stopped (Ctrl+C, killed, or --seconds). Prints one line per request, and the connection\n"
    "counts each time a connection opens or closes.\n"
    "\n"
    "Options (each takes its value as --option VALUE or --option=VALUE):\n"
    "  --name NAME           service name (default Tavrello_MotionService)\n"
    "  --unit                start another unit; the unit options below change the latest one.\n"
    "                        Without any --unit there is one unit, the default unit.\n"
    "                        Every unit starts with the default unit's values:\n"
    "                          vendor 0x0483, product 0xA110, kind 1, manufacturer \"Tavrello\",\n"
    "                          product \"Kelvane Motion Unit\", serial \"SIM0000000000000000000001\",\n"
    "                          path \"\\\\?\\usb#vid_0483&pid_a110#sim0000000000000000000001#{...}\"\n"
    "  --vid N               vendor id (decimal, or hex with 0x)\n"
    "  --pid N               product id (decimal, or hex with 0x)\n"
    "  --kind N              kind byte, 0 to 255 (1 and 2: a unit the service owns)\n"
    "  --manufacturer TEXT   manufacturer string\n"
    "  --product TEXT        product string\n"
    "  --serial TEXT         serial-number string; --serial= gives an empty serial number\n"
    "  --path TEXT           device path\n"
    "  --no-units            report no units at all\n"
    "  --delay-ms N          wait N ms before each reply (the program gives up after 100 ms)\n"
    "  --no-reply            accept every connection and read every request, but never answer\n"
    "  --count N             report N devices, whatever the units (an index without a unit is\n"
    "                        answered with an empty payload)\n"
    "  --seconds N           stop after N seconds (default: run until stopped)\n"
    "  --help                show this text\n"
    "\n"
    "Strings are sent cut to the 127 UTF-16 units the program reads. Exit code: 0 after a normal\n"
    "stop, 1 for a bad command line, 2 when the pipe cannot be served (another server has it).\n";

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length, nullptr,
                              nullptr);
    }
    return out;
}

// Decimal, or hexadecimal after "0x" (a leading zero does not mean octal).
bool parseNumber(const std::wstring& text, unsigned long long limit, uint32_t& value) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    if (digits.empty() || !iswxdigit(digits[0]) || (!hex && !iswdigit(digits[0]))) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::wcstoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != L'\0' || parsed > limit) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

const char* commandName(ServiceCommand command) {
    switch (command) {
    case ServiceCommand::DeviceCount: return "DeviceCount";
    case ServiceCommand::DeviceIdentity: return "DeviceIdentity";
    case ServiceCommand::Manufacturer: return "Manufacturer";
    case ServiceCommand::Product: return "Product";
    case ServiceCommand::Serial: return "Serial";
    case ServiceCommand::Path: return "Path";
    default: return "unknown";
    }
}

struct Options {
    std::wstring name = ServiceName;
    std::vector<ServiceUnit> units;
    bool noUnits = false;
    uint32_t delayMs = 0;
    bool noReply = false;
    bool hasCount = false;
    uint32_t count = 0;
    uint32_t seconds = 0;
    bool help = false;
};

bool fail(const wchar_t* what, const std::wstring& option) {
    fwprintf(stderr, L"service-simulator: %ls: %ls\n(see --help)\n", what, option.c_str());
    return false;
}

bool parseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring option = argv[i];
        std::wstring value;
        bool hasValue = false;
        const size_t equals = option.find(L'=');
        if (equals != std::wstring::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
            hasValue = true;
        }
        static const wchar_t* const flagOptions[] = {L"--unit", L"--no-units", L"--no-reply", L"--help", L"-h", L"/?"};
        static const wchar_t* const valueOptions[] = {L"--name",    L"--delay-ms", L"--seconds", L"--count",
                                                      L"--vid",     L"--pid",      L"--kind",    L"--manufacturer",
                                                      L"--product", L"--serial",   L"--path"};
        const auto known = [&option](const auto& names) {
            return std::any_of(std::begin(names), std::end(names), [&option](const wchar_t* n) { return option == n; });
        };
        const bool takesValue = known(valueOptions);
        if (!takesValue && !known(flagOptions)) return fail(L"unknown option", option);
        if (takesValue && !hasValue) {
            if (i + 1 >= argc) return fail(L"missing value for", option);
            value = argv[++i];
        } else if (!takesValue && hasValue) {
            return fail(L"takes no value", option);
        }
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
            continue;
        }
        if (option == L"--unit") {
            options.units.push_back(defaultServiceUnit());
            continue;
        }
        if (option == L"--no-units") {
            options.noUnits = true;
            continue;
        }
        if (option == L"--no-reply") {
            options.noReply = true;
            continue;
        }
        if (option == L"--count") {
            if (!parseNumber(value, 0xFFFFFFFFull, options.count)) return fail(L"not a number of devices", value);
            options.hasCount = true;
            continue;
        }
        if (option == L"--name") {
            if (value.empty()) return fail(L"empty service name", option);
            options.name = value;
            continue;
        }
        if (option == L"--delay-ms") {
            if (!parseNumber(value, 600000, options.delayMs)) return fail(L"not a number of milliseconds", value);
            continue;
        }
        if (option == L"--seconds") {
            if (!parseNumber(value, 0xFFFFFFFFull / 1000, options.seconds) || options.seconds == 0) {
                return fail(L"not a number of seconds", value);
            }
            continue;
        }
        // Unit options change the latest unit; the first one starts the default unit.
        if (options.units.empty()) options.units.push_back(defaultServiceUnit());
        ServiceUnit& unit = options.units.back();
        uint32_t number = 0;
        if (option == L"--vid" || option == L"--pid" || option == L"--kind") {
            if (!parseNumber(value, option == L"--kind" ? 0xFF : 0xFFFFFFFFull, number)) {
                return fail(L"not a valid number", value);
            }
            if (option == L"--vid") unit.vendorId = number;
            if (option == L"--pid") unit.productId = number;
            if (option == L"--kind") unit.kind = static_cast<uint8_t>(number);
        } else if (option == L"--manufacturer") {
            unit.manufacturer = value;
        } else if (option == L"--product") {
            unit.product = value;
        } else if (option == L"--serial") {
            unit.serialNumber = value;
        } else if (option == L"--path") {
            unit.devicePath = value;
        } else {
            return fail(L"unknown option", option);
        }
    }
    if (options.noUnits) {
        if (!options.units.empty()) return fail(L"--no-units goes with no unit options", L"--no-units");
    } else if (options.units.empty()) {
        options.units.push_back(defaultServiceUnit());
    }
    return true;
}

// Set by wmain before the console handler is installed; the handler's thread
// only reads it. Owned by wmain's stopEvent.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    ::SetEvent(g_stopEvent);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Before anything loads a DLL by name: System32 only.
    platform::useSystemDllsOnly();
    Options options;
    if (!parseOptions(argc, argv, options)) return 1;
    if (options.help) {
        fputs(Usage, stdout);
        return 0;
    }

    std::mutex outputLock;
    ServicePipeServer server(options.name, options.units);
    server.setRecordRequests(false);
    server.setScript([options](const ServiceRequestRecord& request) {
        ServiceReplyPlan plan;
        plan.delayMs = options.delayMs;
        if (options.noReply) plan.action = ServiceReplyPlan::Action::NoReply;
        if (options.hasCount && request.command == ServiceCommand::DeviceCount) {
            const uint32_t count = options.count;
            plan.edit = [count](std::vector<uint8_t>& bytes) { writeLe32(&bytes[ServiceReplyCountOffset], count); };
        }
        return plan;
    });
    server.setRequestObserver([&outputLock](const ServiceRequestRecord& r, const ServiceReplyPlan&) {
        std::lock_guard<std::mutex> lock(outputLock);
        printf("request %u: connection %u, %u bytes, command %u (%s), sequence %u, index %u\n", r.number, r.connection,
               r.size, static_cast<uint32_t>(r.command), commandName(r.command), r.sequence, r.deviceIndex);
        fflush(stdout);
    });
    server.setConnectionObserver(
        [&outputLock](ServicePipeServer::ConnectionEvent event, uint32_t connection, const ServerCounts& counts) {
            std::lock_guard<std::mutex> lock(outputLock);
            printf("connection %u %s: opened %u, closed %u (by client %u, by simulator %u), open %u\n", connection,
                   event == ServicePipeServer::ConnectionEvent::Opened ? "opened" : "closed", counts.opened,
                   counts.closedByClient + counts.closedByServer, counts.closedByClient, counts.closedByServer,
                   counts.active());
            fflush(stdout);
        });

    platform::UniqueHandle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopEvent = stopEvent.get();

    if (!server.start()) {
        fprintf(stderr, "service-simulator: cannot serve %s (error %lu)\n", utf8(servicePipePath(options.name)).c_str(),
                static_cast<unsigned long>(server.lastError()));
        return 2;
    }
    // Installed only while there is something to stop, and removed before the event goes.
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    {
        std::lock_guard<std::mutex> lock(outputLock);
        printf("serving %s with %u unit(s)\n", utf8(servicePipePath(options.name)).c_str(),
               static_cast<unsigned>(options.units.size()));
        for (size_t i = 0; i < options.units.size(); ++i) {
            const ServiceUnit& u = options.units[i];
            printf(
                "unit %u: vid 0x%04X, pid 0x%04X, kind %u, manufacturer \"%s\", product \"%s\", serial \"%s\", "
                "path \"%s\"\n",
                static_cast<unsigned>(i), u.vendorId, u.productId, static_cast<unsigned>(u.kind),
                utf8(u.manufacturer).c_str(), utf8(u.product).c_str(), utf8(u.serialNumber).c_str(),
                utf8(u.devicePath).c_str());
        }
        fflush(stdout);
    }
    ::WaitForSingleObject(stopEvent.get(), options.seconds > 0 ? options.seconds * 1000 : INFINITE);
    server.stop();
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    const ServerCounts counts = server.counts();
    printf("stopped: opened %u, closed %u\n", counts.opened, counts.closedByClient + counts.closedByServer);
    fflush(stdout);
    return 0;
}
