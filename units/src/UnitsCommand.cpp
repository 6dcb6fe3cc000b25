#include "units/UnitsCommand.h"

#include "UnitsLookup.h"
#include "diagnostics/ModuleInfo.h"
#include "discovery/Discovery.h"
#include "platform/Utf16.h"

#include <cwchar>
#include <cwctype>

namespace units {

using diagnostics::FileVersion;
using diagnostics::moduleInfo;
using diagnostics::readFileVersion;
using discovery::DeviceInfo;
using discovery::DeviceSource;
using discovery::displayedSerialNumber;
using discovery::formatSerialNumber;
using discovery::motionUnitsOf;
using discovery::recogniseDevice;
using discovery::TransportMode;
using discovery::TransportModeValue;
using discovery::UnitRecognition;
using platform::isHighSurrogate;
using platform::isLowSurrogate;

const char* const UnitsUsage =
    "Usage: kelvane-units [--all] [--json | --serial] [--transport auto|service|winusb]\n"
    "       kelvane-units --watch [--json] [--transport auto|service|winusb]\n"
    "\n"
    "Lists the Tavrello motion units this PC sees, through the same discovery as the\n"
    "serial-number window: the Tavrello service, or WinUSB when the service cannot be\n"
    "reached, then HID. One line per unit, fields separated by tabs: transport\n"
    "(service, WinUSB, HID), vendor id, product id, manufacturer, product, grouped\n"
    "serial number.\n"
    "\n"
    "  --all                 also list the devices with a unit's ids that are not\n"
    "                        offered as units, each with its reason (other maker,\n"
    "                        boot loader, empty serial number)\n"
    "  --serial              print only what the window would show: the first unit's\n"
    "                        grouped serial number (the licence code)\n"
    "  --json                print the listing as one JSON array\n"
    "  --watch               print what the window shows (the first unit's grouped\n"
    "                        serial number, or \"(no motion unit has been found)\"),\n"
    "                        then a line each time that changes, looking again as\n"
    "                        soon as a USB or HID device comes or goes and once a\n"
    "                        second; with --json one object per line:\n"
    "                        {\"found\": true, \"groupedSerialNumber\": \"...\"}. Runs\n"
    "                        until Ctrl+C, Ctrl+Break or the end of the session\n"
    "                        (exit code 0, at once whatever a lookup is doing) or\n"
    "                        until its output is closed (exit code 3)\n"
    "  --transport MODE      auto (the service, else WinUSB; the default), service\n"
    "                        (the service only) or winusb (WinUSB only)\n"
    "  --version             print the program's version\n"
    "  --help                show this text\n"
    "\n"
    "Exit code: 0 when a unit is recognised, 1 when none is, 2 for a bad command line,\n"
    "3 when the output cannot be written, 4 when a lookup did not end within 5 seconds\n"
    "(the service or a device that stopped answering; the message on standard error\n"
    "names the transport: service, WinUSB or HID).\n";

namespace {

constexpr wchar_t Replacement = 0xFFFD;

// Calls emit(code point) for each character; an unpaired surrogate gives U+FFFD.
template <typename Emit>
void forEachCodePoint(const std::wstring& text, Emit emit) {
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            emit(0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            emit(Replacement);
        } else {
            emit(static_cast<uint32_t>(c));
        }
    }
}

void appendCodePoint(std::wstring& out, uint32_t codePoint) {
    if (codePoint >= 0x10000) {
        out += static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
    } else {
        out += static_cast<wchar_t>(codePoint);
    }
}

bool isControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Device text for a tab-separated line: no control character survives.
std::wstring plainField(const std::wstring& text) {
    std::wstring out;
    forEachCodePoint(text, [&out](uint32_t c) { appendCodePoint(out, isControl(c) ? Replacement : c); });
    return out;
}

std::wstring hex4(uint32_t value) {
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%04X", static_cast<unsigned>(value));
    return buffer;
}

std::wstring groupedSerial(const DeviceInfo& device) { return formatSerialNumber(device.serialNumber.c_str()); }

bool sameIgnoringCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (towlower(a[i]) != towlower(b[i])) return false;
    }
    return i == a.size() && b[i] == L'\0';
}

std::wstring widen(const char* text) {
    std::wstring out;
    for (; *text != '\0'; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

std::wstring versionText() {
    const FileVersion v = readFileVersion(moduleInfo().fullPath);
    wchar_t buffer[64];
    swprintf(buffer, 64, L"kelvane-units %u.%u.%u.%u\r\n", v.major, v.minor, v.build, v.revision);
    return buffer;
}

// "\n" as CR LF, for text that goes out as it is.
std::wstring withCrLf(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

}  // namespace

bool parseUnitsArguments(const std::vector<std::wstring>& arguments, UnitsOptions& options, std::wstring& error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::wstring option = arguments[i];
        std::wstring value;
        bool hasValue = false;
        const size_t equals = option.find(L'=');
        if (option.compare(0, 2, L"--") == 0 && equals != std::wstring::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
            hasValue = true;
        }
        if (option == L"--transport") {
            if (!hasValue) {
                if (i + 1 >= arguments.size()) {
                    error = L"missing value for --transport";
                    return false;
                }
                value = arguments[++i];
            }
            if (sameIgnoringCase(value, L"auto")) {
                options.transportMode = TransportModeValue::ServiceThenWinUsb;
            } else if (sameIgnoringCase(value, L"service")) {
                options.transportMode = TransportModeValue::ServiceOnly;
            } else if (sameIgnoringCase(value, L"winusb")) {
                options.transportMode = TransportModeValue::WinUsbOnly;
            } else {
                error = L"--transport takes auto, service or winusb, not \"" + plainField(value) + L"\"";
                return false;
            }
            continue;
        }
        bool* flag = nullptr;
        if (option == L"--all") flag = &options.all;
        if (option == L"--serial") flag = &options.serialOnly;
        if (option == L"--json") flag = &options.json;
        if (option == L"--help" || option == L"-h" || option == L"/?") flag = &options.help;
        if (option == L"--version") flag = &options.version;
        if (option == L"--watch") flag = &options.watch;
        if (flag == nullptr) {
            error = L"unknown option: " + plainField(arguments[i]);
            return false;
        }
        if (hasValue) {
            error = option + L" takes no value";
            return false;
        }
        *flag = true;
    }
    if (options.serialOnly && (options.json || options.all)) {
        error = L"--serial goes with neither --json nor --all";
        return false;
    }
    if (options.watch && (options.serialOnly || options.all)) {
        error = L"--watch goes with neither --serial nor --all";
        return false;
    }
    return true;
}

const wchar_t* transportName(DeviceSource source) {
    switch (source) {
    case DeviceSource::Hid: return L"HID";
    case DeviceSource::WinUsb: return L"WinUSB";
    default: return L"service";
    }
}

const wchar_t* rejectionReason(UnitRecognition recognition) {
    switch (recognition) {
    case UnitRecognition::Recognised: return L"";
    case UnitRecognition::OtherIds: return L"other ids";
    case UnitRecognition::OtherMaker: return L"other maker";
    case UnitRecognition::BootLoader: return L"boot loader";
    case UnitRecognition::EmptySerialNumber: return L"empty serial number";
    }
    return L"";
}

std::wstring formatUnitsText(const std::vector<ListedDevice>& devices, bool withRecognition) {
    std::wstring out;
    for (const ListedDevice& listed : devices) {
        const DeviceInfo& d = listed.device;
        out += std::wstring(transportName(d.source)) + L'\t' + hex4(d.vendorId) + L'\t' + hex4(d.productId) + L'\t' +
               plainField(d.manufacturer) + L'\t' + plainField(d.product) + L'\t' + plainField(groupedSerial(d));
        if (withRecognition) {
            out += listed.recognition == UnitRecognition::Recognised
                       ? std::wstring(L"\trecognised")
                       : L"\trejected: " + std::wstring(rejectionReason(listed.recognition));
        }
        out += L"\r\n";
    }
    return out;
}

std::wstring jsonString(const std::wstring& text) {
    std::wstring out = L"\"";
    forEachCodePoint(text, [&out](uint32_t c) {
        switch (c) {
        case '"': out += L"\\\""; break;
        case '\\': out += L"\\\\"; break;
        case '\b': out += L"\\b"; break;
        case '\f': out += L"\\f"; break;
        case '\n': out += L"\\n"; break;
        case '\r': out += L"\\r"; break;
        case '\t': out += L"\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                wchar_t buffer[8];
                swprintf(buffer, 8, L"\\u%04x", static_cast<unsigned>(c));
                out += buffer;
            } else {
                appendCodePoint(out, c);
            }
        }
    });
    return out + L"\"";
}

std::wstring formatUnitsJson(const std::vector<ListedDevice>& devices, bool withRecognition) {
    std::wstring out = L"[";
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceInfo& d = devices[i].device;
        const bool recognised = devices[i].recognition == UnitRecognition::Recognised;
        out += i == 0 ? L"\r\n  {" : L",\r\n  {";
        out += L"\"transport\": " + jsonString(transportName(d.source));
        out += L", \"vendorId\": " + jsonString(hex4(d.vendorId));
        out += L", \"productId\": " + jsonString(hex4(d.productId));
        out += L", \"manufacturer\": " + jsonString(d.manufacturer);
        out += L", \"product\": " + jsonString(d.product);
        out += L", \"serialNumber\": " + jsonString(d.serialNumber);
        out += L", \"groupedSerialNumber\": " + jsonString(groupedSerial(d));
        out += L", \"path\": " + jsonString(d.devicePath);
        out += recognised ? L", \"recognised\": true" : L", \"recognised\": false";
        if (withRecognition) {
            out += L", \"rejectionReason\": " +
                   (recognised ? std::wstring(L"null") : jsonString(rejectionReason(devices[i].recognition)));
        }
        out += L"}";
    }
    return out + (devices.empty() ? L"]\r\n" : L"\r\n]\r\n");
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    forEachCodePoint(text, [&out](uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    });
    return out;
}

UnitsResult runUnitsCommand(const std::vector<std::wstring>& arguments, DWORD lookupTimeoutMs) {
    UnitsResult result;
    UnitsOptions options;
    std::wstring error;
    if (!parseUnitsArguments(arguments, options, error)) {
        result.exitCode = UnitsExitCode::Usage;
        result.errors = L"kelvane-units: " + error + L"\r\n" + withCrLf(widen(UnitsUsage));
        return result;
    }
    if (options.help || options.version) {
        result.exitCode = UnitsExitCode::Found;
        result.output = options.help ? withCrLf(widen(UnitsUsage)) : versionText();
        return result;
    }

    options.lookupTimeoutMs = lookupTimeoutMs;
    if (options.watch) {
        result.exitCode = UnitsExitCode::Found;
        result.watch = options;
        return result;
    }

    TransportMode = static_cast<int32_t>(options.transportMode);
    const LookupOutcome look = lookUp(options.all, options.lookupTimeoutMs, nullptr);
    if (look.end != LookupEnd::Done) {
        result.exitCode = UnitsExitCode::LookupTimedOut;
        result.errors = lookupTimedOut(look.pass, options.lookupTimeoutMs);
        return result;
    }
    if (options.serialOnly) {
        const std::wstring serial = displayedSerialNumber(motionUnitsOf(look.devices));
        if (!serial.empty()) {
            result.output = plainField(serial) + L"\r\n";
            result.exitCode = UnitsExitCode::Found;
        }
        return result;
    }

    std::vector<ListedDevice> listed;
    for (const DeviceInfo& device : look.devices) {
        const UnitRecognition recognition = recogniseDevice(device);
        if (recognition == UnitRecognition::Recognised) result.exitCode = UnitsExitCode::Found;
        if (recognition == UnitRecognition::Recognised || options.all) listed.push_back({device, recognition});
    }
    result.output = options.json ? formatUnitsJson(listed, options.all) : formatUnitsText(listed, options.all);
    return result;
}

std::wstring watchLine(const std::wstring& displayed, bool json) {
    if (json) {
        return displayed.empty() ? L"{\"found\": false, \"groupedSerialNumber\": null}\r\n"
                                 : L"{\"found\": true, \"groupedSerialNumber\": " + jsonString(displayed) + L"}\r\n";
    }
    return (displayed.empty() ? std::wstring(discovery::NoUnitText) : plainField(displayed)) + L"\r\n";
}

bool writeStandardText(HANDLE handle, const std::wstring& text) {
    if (text.empty()) return true;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A console takes the UTF-16 text as it is, in pieces it can swallow.
        for (size_t done = 0; done < text.size();) {
            const DWORD chunk = static_cast<DWORD>(text.size() - done < 8192 ? text.size() - done : 8192);
            DWORD written = 0;
            if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
            done += written;
        }
        return true;
    }
    const std::string bytes = toUtf8(text);
    for (size_t done = 0; done < bytes.size();) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace units
