#include "discovery/UsbPlatform.h"

#include <atomic>

namespace {

const UsbPlatform kRealUsbPlatform = {
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
    &::CreateFileW,
    &::CloseHandle,
    &::GetProcessHeap,
    &::HeapAlloc,
    &::HeapFree,
    &::GetLastError,
    &::SwitchToThread,
};

std::atomic<const UsbPlatform*> currentTable{&kRealUsbPlatform};

}  // namespace

const UsbPlatform& realUsbPlatform() { return kRealUsbPlatform; }

const UsbPlatform& usbPlatform() { return *currentTable.load(std::memory_order_acquire); }

const UsbPlatform* installUsbPlatform(const UsbPlatform* table) {
    return currentTable.exchange(table != nullptr ? table : &kRealUsbPlatform, std::memory_order_acq_rel);
}
