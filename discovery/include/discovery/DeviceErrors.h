#pragma once
// The log lines of the USB passes for devices whose ids pass the filter but
// that cannot be opened or read. Each line names the step (by its number), the
// system's error code and the device path, so that support staff can tell "not
// connected" from "connected but unreadable". A device is reported once per
// appearance: again only after a pass in which it was read, or absent.

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

namespace discovery {

// Log numbers of the USB passes, beside the service pass's 2000-2006. The
// users' README.txt lists every number the programs write.
enum class DeviceError : int32_t {
    None = 0,
    HidOpen = 3001,                 // CreateFileW (no access rights asked) failed
    HidAttributes = 3002,           // HidD_GetAttributes failed
    HidManufacturer = 3003,         // HidD_GetManufacturerString failed
    HidProduct = 3004,              // HidD_GetProductString failed
    WinUsbOpen = 3101,              // CreateFileW failed
    WinUsbInitialize = 3102,        // WinUsb_Initialize failed
    WinUsbDeviceDescriptor = 3103,  // the device descriptor could not be read
    WinUsbString = 3104,            // a string descriptor could not be read
    WinUsbHeld = 3106,              // read before, now held by another program: the earlier record is listed
};

// Which pass a report belongs to: each pass compares with its own previous run.
enum class DevicePass : uint32_t { Hid = 0, WinUsb = 1 };

// The failures of one run of one pass. Threads: one object per pass run, on the
// thread that runs the pass; what it shares with other runs (the paths that
// failed in the previous run of each pass) is guarded by a process-wide lock.
class DeviceFailureReport {
public:
    explicit DeviceFailureReport(DevicePass pass) : pass_(pass) {}
    // This run's failures become the ones the next run of the pass compares with.
    ~DeviceFailureReport();
    DeviceFailureReport(const DeviceFailureReport&) = delete;
    DeviceFailureReport& operator=(const DeviceFailureReport&) = delete;

    // Logs the failure unless the device failed in the previous run as well.
    // At most one line per device and run: the first failing step counts.
    void failed(const std::wstring& path, DeviceError step, DWORD error);

private:
    DevicePass pass_;
    std::set<std::wstring> failed_;
};

}  // namespace discovery
