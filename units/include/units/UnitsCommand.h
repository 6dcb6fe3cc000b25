#pragma once
// kelvane-units: the units this PC sees, for support staff and scripts, from the
// same discovery run and recognition as the window. runUnitsCommand and
// watchUnits set the process-wide TransportMode on the program's main thread
// before their runs, and every discovery run happens on that thread.
// Everything else here except writeStandardText and watchUnits is a pure
// function of its arguments.

#include "discovery/DeviceInfo.h"
#include "discovery/Discovery.h"
#include "discovery/MotionUnit.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace units {

// Exit codes.
enum class UnitsExitCode : int {
    Found = 0,        // at least one unit recognised (also --help, --version, and a watch stopped by Ctrl+C)
    NotFound = 1,     // no unit recognised
    Usage = 2,        // unknown option, missing or bad value
    OutputFailed = 3  // standard output could not be written
};

struct UnitsOptions {
    bool all = false;
    bool serialOnly = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool watch = false;
    discovery::TransportModeValue transportMode = discovery::TransportModeValue::ServiceThenWinUsb;
};

extern const char* const UnitsUsage;

// Parses the arguments after the program name. On failure returns false with a
// one-line message (without a line end) in `error`.
bool parseUnitsArguments(const std::vector<std::wstring>& arguments, UnitsOptions& options, std::wstring& error);

struct ListedDevice {
    discovery::DeviceInfo device;
    discovery::UnitRecognition recognition;
};

// "service", "WinUSB" or "HID" for a DeviceSource. Only the service pass stores
// kinds above 2, so those are service entries too. A service entry of kind 0
// reads as "HID": the record keeps no other trace of where it came from.
const wchar_t* transportName(discovery::DeviceSource source);
// Why recognition rejected a device, in the words of the listing; empty for a unit.
const wchar_t* rejectionReason(discovery::UnitRecognition recognition);

// One line per device, tab-separated: transport, vendor id, product id (4 hex
// digits each), manufacturer, product, grouped serial number and, with
// `withRecognition`, "recognised" or "rejected: <reason>". Control characters
// and unpaired surrogates in device strings become U+FFFD, so that a device
// cannot break a line or a field. Lines end in CR LF.
std::wstring formatUnitsText(const std::vector<ListedDevice>& devices, bool withRecognition);

// The listing as one JSON array; `withRecognition` adds "rejectionReason" (null for a unit).
std::wstring formatUnitsJson(const std::vector<ListedDevice>& devices, bool withRecognition);

// A JSON string literal, quotes included: quotes, backslashes and control
// characters escaped, unpaired surrogates written as U+FFFD, pairs kept.
std::wstring jsonString(const std::wstring& text);

// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(const std::wstring& text);

// What one run prints and returns.
struct UnitsResult {
    UnitsExitCode exitCode = UnitsExitCode::NotFound;
    std::wstring output;  // standard output
    std::wstring errors;  // standard error
    // Set when the command line asks for --watch: nothing has run yet; run
    // watchUnits with these options.
    std::optional<UnitsOptions> watch;
};

// Parses, runs one discovery when asked to, and formats. Sets TransportMode.
UnitsResult runUnitsCommand(const std::vector<std::wstring>& arguments);

// Writes text to a standard handle: WriteConsoleW on a console, UTF-8 otherwise.
bool writeStandardText(HANDLE handle, const std::wstring& text);

// One line of --watch for what the window would show (a grouped serial number,
// or empty for no unit): the serial number or the no-unit text, or with `json`
// {"found": ..., "groupedSerialNumber": ...}. Ends in CR LF.
std::wstring watchLine(const std::wstring& displayed, bool json);

// --watch: writes the line for what the window would show, then one line each
// time that changes. Looks again at once when a unit interface arrives or
// leaves, and once a second (for units only the service reports). Returns
// Found (0) on Ctrl+C or Ctrl+Break, OutputFailed when `output` cannot be
// written (closed). Sets TransportMode. Runs on the program's main thread.
UnitsExitCode watchUnits(const UnitsOptions& options, HANDLE output);

// The console control handler a running watch installs: Ctrl+C and Ctrl+Break
// end it; closing the console, logging off or shutting down end it too, and the
// handler then gives it a moment before the system ends the process. FALSE (the
// next handler decides) while no watch runs.
BOOL WINAPI stopWatchOnConsoleControl(DWORD type);

}  // namespace units
