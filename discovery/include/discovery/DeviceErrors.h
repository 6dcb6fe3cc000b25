#pragma once
// The log lines of the USB passes for devices whose ids pass the filter but
// that cannot be opened or read. Each line names the step (by its number), the
// system's error code and the device path, so that support staff can tell "not
// connected" from "connected but unreadable". A device is reported once per
// appearance: again only after a pass in which it was read, or absent.

#include "diagnostics/LogNumbers.h"

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>

namespace discovery {

// The steps of the USB passes are named by their log numbers (3001-3005 HID,
// 3101-3106 WinUSB, in diagnostics/LogNumbers.h); None: nothing failed.
using DeviceError = diagnostics::LogNumber;

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
