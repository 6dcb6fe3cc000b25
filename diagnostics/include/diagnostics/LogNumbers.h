#pragma once
// Every number the programs write to the log, with its meaning: one row each.
// A line is written with a LogNumber, so a number that is not here cannot be
// written; the users' README.txt lists exactly these numbers (a test compares
// them). Adding a number is one row here and its line in README.txt.

#include <cstddef>
#include <cstdint>

// ROW(name, number, meaning). Unformatted, so that a row added changes one line.
// clang-format off
#define KELVANE_LOG_NUMBERS(ROW) \
    ROW(RepeatedLine, 1001, "the numbered line it names came again X times since the time given, unwritten") \
    ROW(ServiceNoRequest, 2000, "program fault: a request to the service was empty") \
    ROW(ServiceNoReplyBuffer, 2001, "program fault: no room was given for the service's reply") \
    ROW(ServiceNotOpen, 2002, "no connection to the service could be made for a request") \
    ROW(ServiceOpen, 2003, "the service's pipe could not be opened (X: Windows error)") \
    ROW(ServiceBusy, 2004, "the service stayed busy (X 231: ten busy answers; 121: a wait ran out)") \
    ROW(ServiceRead, 2005, "reading the service's reply failed (X: Windows error; 121: no reply in time)") \
    ROW(ServiceWrite, 2006, "sending a request to the service failed (X: Windows error; 121: not in time)") \
    ROW(HidOpen, 3001, "HID: a unit's interface could not be opened") \
    ROW(HidAttributes, 3002, "HID: a unit's vendor and product ids could not be read") \
    ROW(HidManufacturer, 3003, "HID: a unit's manufacturer text could not be read") \
    ROW(HidProduct, 3004, "HID: a unit's product text could not be read") \
    ROW(HidSerialNumber, 3005, "HID: a recognised unit's serial number could not be read") \
    ROW(WinUsbOpen, 3101, "WinUSB: a unit could not be opened") \
    ROW(WinUsbInitialize, 3102, "WinUSB: the WinUSB driver refused an opened unit") \
    ROW(WinUsbDeviceDescriptor, 3103, "WinUSB: a unit's device descriptor could not be read") \
    ROW(WinUsbString, 3104, "WinUSB: a unit's manufacturer or product text could not be read") \
    ROW(WinUsbSerialNumber, 3105, "WinUSB: a recognised unit's serial number could not be read") \
    ROW(WinUsbHeld, 3106, "WinUSB: a unit read before is held by another program; its earlier record is listed") \
    ROW(CheckTimerRefused, 4001, "Windows refused the window's check timer; asked again each second") \
    ROW(ClipboardCopyFailed, 4002, "\"Copy to clipboard\" failed: the clipboard stayed held or refused the text") \
    ROW(BringToFrontFilterFailed, 4003, "the window's message filter did not take a second start's request") \
    ROW(RegisterHid, 5000, "the window could not register for HID device notices") \
    ROW(RegisterWinUsb, 5001, "the window could not register for WinUSB device notices") \
    ROW(NoticeWindow, 5002, "kelvane-units --watch could not make its notice window") \
    ROW(LookupTimedOut, 5003, "kelvane-units gave up a lookup that did not end in time (X: the bound in ms)")
// clang-format on

namespace diagnostics {

#define KELVANE_LOG_NUMBER_ENUMERATOR(name, number, meaning) name = number,
// None is no number: it marks "nothing failed" where a step is kept.
enum class LogNumber : int32_t { None = 0, KELVANE_LOG_NUMBERS(KELVANE_LOG_NUMBER_ENUMERATOR) };
#undef KELVANE_LOG_NUMBER_ENUMERATOR

struct LogNumberMeaning {
    LogNumber number;
    const char* meaning;
};

#define KELVANE_LOG_NUMBER_ENTRY(name, number, meaning) {LogNumber::name, meaning},
inline constexpr LogNumberMeaning LogNumberTable[] = {KELVANE_LOG_NUMBERS(KELVANE_LOG_NUMBER_ENTRY)};
#undef KELVANE_LOG_NUMBER_ENTRY

}  // namespace diagnostics
