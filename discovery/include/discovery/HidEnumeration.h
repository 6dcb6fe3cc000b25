#pragma once
// The HID pass: appends the present HID devices that pass the filters, skipping
// those that duplicate a unit the service or WinUSB pass already listed.

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"

namespace discovery {

// The instance marker every listed HID interface path carries.
constexpr wchar_t HidInstanceMarker[] = L"&0000#{";

void enumerateHidDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         bool removeDuplicates);

}  // namespace discovery
