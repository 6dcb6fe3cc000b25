#pragma once
// Notices of unit interfaces coming and going: a window registered here hears
// WM_DEVICECHANGE as soon as an interface of a class the passes enumerate (HID,
// and the WinUSB device interface class) arrives or leaves, so that it can look
// again at once instead of at its next periodic check.

#include "diagnostics/LogNumbers.h"
#include "platform/Unique.h"

#include <windows.h>

#include <cstdint>

namespace discovery {

// Failures are logged by their numbers (RegisterHid, RegisterWinUsb,
// NoticeWindow in diagnostics/LogNumbers.h), with the system's error code.
using DeviceNoticeError = diagnostics::LogNumber;

// The window's registrations, one per interface class, each unregistered when
// this goes away. Make it, and let it go, on the window's thread while the
// window exists (its creation and its WM_DESTROY). A registration that fails is
// logged; the window then learns of that class only from its periodic check.
class UnitInterfaceNotices {
public:
    explicit UnitInterfaceNotices(HWND window);

    // True when every class is registered.
    bool complete() const { return hid_.valid() && winUsb_.valid(); }

private:
    platform::UniqueDeviceNotification hid_;
    platform::UniqueDeviceNotification winUsb_;
};

// WM_DEVICECHANGE's wParam and lParam: true for the arrival or removal of an
// interface of a class the passes enumerate. Anything else (other events, other
// kinds of device, a header too short for an interface) is false.
bool isUnitInterfaceChange(WPARAM event, LPARAM data);

// isUnitInterfaceChange for a window that looks again on such a change; an
// arrival of a WinUSB interface also has the WinUSB pass read that interface
// afresh (markWinUsbArrival), however soon it came after a removal. The name
// is read only within the size the notice gives.
bool takeUnitInterfaceNotice(WPARAM event, LPARAM data);

}  // namespace discovery
