#pragma once
// The HID pass: appends the present HID devices that pass the filters, skipping
// those that duplicate a unit the service or WinUSB pass already listed.

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"

namespace discovery {

// GUID_DEVINTERFACE_HID, the interface class HidD_GetHidGuid gives: the one the
// HID pass enumerates.
constexpr GUID HidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The instance marker every listed HID interface path carries.
constexpr wchar_t HidInstanceMarker[] = L"&0000#{";

void enumerateHidDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         bool removeDuplicates);

}  // namespace discovery
