#include "discovery/DeviceNotices.h"

#include "diagnostics/Log.h"
#include "discovery/HidEnumeration.h"
#include "discovery/WinUsbEnumeration.h"

#include <dbt.h>

#include <cstddef>
#include <cwchar>
#include <string>

namespace discovery {

namespace {

HDEVNOTIFY registerFor(HWND window, const GUID& interfaceClass, DeviceNoticeError error) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    HDEVNOTIFY notice = usbPlatform().RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notice == nullptr) diagnostics::logErrorCode(error, usbPlatform().GetLastError());
    return notice;
}

}  // namespace

UnitInterfaceNotices::UnitInterfaceNotices(HWND window)
    : hid_(registerFor(window, HidInterfaceGuid, DeviceNoticeError::RegisterHid)),
      winUsb_(registerFor(window, WinUsbInterfaceGuid, DeviceNoticeError::RegisterWinUsb)) {}

bool isUnitInterfaceChange(WPARAM event, LPARAM data) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
        return false;
    }
    const GUID& interfaceClass = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data)->dbcc_classguid;
    return IsEqualGUID(interfaceClass, HidInterfaceGuid) || IsEqualGUID(interfaceClass, WinUsbInterfaceGuid);
}

bool takeUnitInterfaceNotice(WPARAM event, LPARAM data) {
    if (!isUnitInterfaceChange(event, data)) return false;
    const auto* notice = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    if (event == DBT_DEVICEARRIVAL && IsEqualGUID(notice->dbcc_classguid, WinUsbInterfaceGuid)) {
        const size_t capacity =
            (notice->dbcc_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / sizeof(wchar_t);
        markWinUsbArrival(std::wstring(notice->dbcc_name, wcsnlen(notice->dbcc_name, capacity)));
    }
    return true;
}

}  // namespace discovery
