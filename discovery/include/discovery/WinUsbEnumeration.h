#pragma once
// The WinUSB pass: lists the devices bound to the WinUSB driver, reading their
// strings from their own USB descriptors.

#include <cstdint>
#include <string>

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"

namespace discovery {

// The device-interface class that is enumerated.
constexpr GUID WinUsbInterfaceGuid = {0x6B128895, 0x01DE, 0x4056, {0x8A, 0xEE, 0xC1, 0x0B, 0xF3, 0xC4, 0x76, 0x3A}};
// The setup class USBDevice, which every accepted interface's device belongs to.
constexpr GUID UsbDeviceClassGuid = {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};

constexpr USHORT UsbEnglishLanguageId = 0x0409;

// Empties the list, then appends the WinUSB devices that pass the filters.
void enumerateWinUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// The hexadecimal number (at most 4 digits) right after the first `marker`
// ("vid_" or "pid_") in the lower-cased path; 0 when there is none.
uint32_t parseUsbId(const std::wstring& lowerPath, const std::wstring& marker);

// Reads string descriptor `index` in `languageId` into `target`. A descriptor
// that does not fit is read again into a larger buffer, up to 2048 bytes.
bool readStringDescriptor(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR index, USHORT languageId, std::wstring& target);

}  // namespace discovery
