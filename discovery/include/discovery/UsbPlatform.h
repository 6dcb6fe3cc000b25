#pragma once
// The platform functions the HID pass, the WinUSB pass and the WinUSB handle
// registry call, gathered in one table. The program uses the table bound to the
// real SetupAPI, HID, WinUSB and kernel32 functions; tests install a table of
// their own (a scripted device world) so that no hardware is needed.

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
extern "C" {
#include <hidsdi.h>
}

#include "platform/Unique.h"

struct UsbPlatform {
    // HID class driver.
    decltype(&::HidD_GetHidGuid) HidD_GetHidGuid;
    decltype(&::HidD_GetAttributes) HidD_GetAttributes;
    decltype(&::HidD_GetManufacturerString) HidD_GetManufacturerString;
    decltype(&::HidD_GetProductString) HidD_GetProductString;
    decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString;
    // SetupAPI.
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetailW;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    // WinUSB.
    decltype(&::WinUsb_Initialize) WinUsb_Initialize;
    decltype(&::WinUsb_Free) WinUsb_Free;
    decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor;
    decltype(&::WinUsb_SetPipePolicy) WinUsb_SetPipePolicy;
    // Kernel32.
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetProcessHeap) GetProcessHeap;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapFree) HeapFree;
    decltype(&::GetLastError) GetLastError;
    decltype(&::SwitchToThread) SwitchToThread;
};

// The table bound to the real functions.
const UsbPlatform& realUsbPlatform();

// The table in use: the real one unless another has been installed.
const UsbPlatform& usbPlatform();

// Makes `table` the table in use (null restores the real one) and returns the
// table that was in use before. The table must outlive its installation. Meant
// for tests, between passes: a pass in progress keeps calling whichever table it
// read at each call.
const UsbPlatform* installUsbPlatform(const UsbPlatform* table);

// Owners of the handles these passes open through the table, closing them
// through the table in use.
struct UsbFileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { usbPlatform().CloseHandle(h); }
};

struct UsbDeviceInfoSetTraits {
    using Type = HDEVINFO;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { usbPlatform().SetupDiDestroyDeviceInfoList(h); }
};

struct WinUsbInterfaceTraits {
    using Type = WINUSB_INTERFACE_HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { usbPlatform().WinUsb_Free(h); }
};

using UsbFileHandle = platform::Unique<UsbFileHandleTraits>;
using UsbDeviceInfoSet = platform::Unique<UsbDeviceInfoSetTraits>;
using WinUsbInterface = platform::Unique<WinUsbInterfaceTraits>;
