#include "discovery/UsbPlatform.h"

#include <atomic>

namespace {

// Null while the real table is in use.
std::atomic<const UsbPlatform*> installedTable{nullptr};

}  // namespace

// Built on first use, so that tables built during static initialisation of
// other files can copy it.
const UsbPlatform& realUsbPlatform() {
    static const UsbPlatform table = {
        &::HidD_GetHidGuid,
        &::HidD_GetAttributes,
        &::HidD_GetManufacturerString,
        &::HidD_GetProductString,
        &::HidD_GetSerialNumberString,
        &::SetupDiGetClassDevsW,
        &::SetupDiEnumDeviceInterfaces,
        &::SetupDiGetDeviceInterfaceDetailW,
        &::SetupDiDestroyDeviceInfoList,
        &::WinUsb_Initialize,
        &::WinUsb_Free,
        &::WinUsb_GetDescriptor,
        &::WinUsb_SetPipePolicy,
        &::CreateFileW,
        &::CloseHandle,
        &::GetProcessHeap,
        &::HeapAlloc,
        &::HeapFree,
        &::GetLastError,
        &::SwitchToThread,
    };
    return table;
}

const UsbPlatform& usbPlatform() {
    const UsbPlatform* table = installedTable.load(std::memory_order_acquire);
    return table != nullptr ? *table : realUsbPlatform();
}

const UsbPlatform* installUsbPlatform(const UsbPlatform* table) {
    const UsbPlatform* previous = installedTable.exchange(table, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &realUsbPlatform();
}
