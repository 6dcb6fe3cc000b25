#pragma once
// kelvane-units: the units this PC sees, for support staff and scripts, from the
// same discovery run and recognition as the window. runUnitsCommand and
// watchUnits set the process-wide TransportMode on the program's main thread
// before their runs; each discovery run happens on a worker thread of its own,
// which that thread waits for with a bound (a unit that stops answering holds
// the worker, never the program). Everything else here except
// writeStandardText, watchUnits and lookupsRunning is a pure function of its
// arguments.

#include "diagnostics/LogNumbers.h"
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
    Found = 0,          // at least one unit recognised (also --help, --version, and a watch stopped)
    NotFound = 1,       // no unit recognised
    Usage = 2,          // unknown option, missing or bad value
    OutputFailed = 3,   // standard output could not be written
    LookupTimedOut = 4  // a lookup did not end within its bound (LookupTimeoutMs)
};

// How long one lookup (the service or WinUSB, then HID) may take before the
// program gives it up. A lookup takes milliseconds; the service and WinUSB
// passes bound each of their waits, but HID string reads have no time-out.
constexpr DWORD LookupTimeoutMs = 5000;
// How often --watch looks when no notice comes (as the window's timer).
constexpr DWORD WatchIntervalMs = 1000;

// The class of the hidden window through which --watch hears device notices
// and the end of the session.
constexpr wchar_t WatchWindowClass[] = L"Tavrello_Kelvane_UnitsNotices";

// Log number of a lookup that did not end within its bound; X: the bound in
// ms, then the transport.
constexpr diagnostics::LogNumber LookupTimedOutNumber = diagnostics::LogNumber::LookupTimedOut;

struct UnitsOptions {
    bool all = false;
    bool serialOnly = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool watch = false;
    discovery::TransportModeValue transportMode = discovery::TransportModeValue::ServiceThenWinUsb;
    // Not set from the command line (tests shorten or lengthen them).
    DWORD lookupTimeoutMs = LookupTimeoutMs;
    DWORD watchIntervalMs = WatchIntervalMs;
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

// Parses, runs one discovery when asked to (given up after lookupTimeoutMs:
// exit code LookupTimedOut, a message naming the transport on standard error),
// and formats. Sets TransportMode.
UnitsResult runUnitsCommand(const std::vector<std::wstring>& arguments, DWORD lookupTimeoutMs = LookupTimeoutMs);

// Lookups whose worker has not ended yet: ones given up (past their bound, or
// at Ctrl+C) that are still inside a device call. Any thread. While one runs,
// the process must not run its static destructors (end it with ExitProcess):
// the worker still uses the discovery library's process-wide state.
int lookupsRunning();

// Writes text to a standard handle: WriteConsoleW on a console, UTF-8 otherwise.
bool writeStandardText(HANDLE handle, const std::wstring& text);

// One line of --watch for what the window would show (a grouped serial number,
// or empty for no unit): the serial number or the no-unit text, or with `json`
// {"found": ..., "groupedSerialNumber": ...}. Ends in CR LF.
std::wstring watchLine(const std::wstring& displayed, bool json);

// --watch: writes the line for what the window would show, then one line each
// time that changes. Looks again at once when a unit interface arrives or
// leaves, and every options.watchIntervalMs (for units only the service
// reports). Returns Found (0) on Ctrl+C or Ctrl+Break or when the session ends
// (logoff, shutdown), at once whatever a lookup is doing; OutputFailed when
// `output` cannot be written (closed); LookupTimedOut, with its message written
// to `errors`, when a lookup does not end within options.lookupTimeoutMs. Sets
// TransportMode. Runs on the program's main thread.
UnitsExitCode watchUnits(const UnitsOptions& options, HANDLE output, HANDLE errors);

// The console control handler a running watch installs: Ctrl+C and Ctrl+Break
// end it; closing the console ends it too, and the handler then gives it a
// moment before the system ends the process. FALSE (the next handler decides)
// while no watch runs. (A program that uses windows gets no logoff or shutdown
// event here: the watch's hidden window hears WM_ENDSESSION instead.)
BOOL WINAPI stopWatchOnConsoleControl(DWORD type);

}  // namespace units
