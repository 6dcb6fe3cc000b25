#pragma once
// The WinUSB pass: lists the devices bound to the WinUSB driver, reading their
// strings from their own USB descriptors.

#include <cstdint>
#include <string>

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"
#include "discovery/WinUsbHandleRegistry.h"

namespace discovery {

// The device-interface class that is enumerated.
constexpr GUID WinUsbInterfaceGuid = {0x6B128895, 0x01DE, 0x4056, {0x8A, 0xEE, 0xC1, 0x0B, 0xF3, 0xC4, 0x76, 0x3A}};
// The setup class USBDevice, which every accepted interface's device belongs to.
constexpr GUID UsbDeviceClassGuid = {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};

// The language the strings are read in when a device lists none in its string
// descriptor 0 (or that descriptor is missing, short or malformed).
constexpr USHORT UsbEnglishLanguageId = 0x0409;

// Empties the list, then appends the WinUSB devices that pass the filters.
// An interface is opened and read once per appearance: its record is kept, by
// path, for as long as each run of the pass still lists the path, and listed
// from there; a path the pass no longer lists is forgotten. A kept path is read
// again after markWinUsbArrival named it; if another program holds it then (the
// open is refused with access denied or a sharing violation), the kept record
// is listed and that is logged once. The device is closed after each read.
void enumerateWinUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// An arrival notice for the interface at `path` (in any letter case): the
// next run of the pass reads it afresh, as a new appearance under the same path.
void markWinUsbArrival(const std::wstring& path);

// Forgets every kept record: the next run reads every interface afresh. For a
// run that did not enumerate WinUSB interfaces, and for tests.
void forgetWinUsbRecords();

// The id right after the first `marker` ("vid_" or "pid_", lower case) in the
// lower-cased path: exactly four ASCII hexadecimal digits, not followed by a
// fifth. False (and `id` untouched) for anything else.
bool parseUsbId(const std::wstring& lowerPath, const std::wstring& marker, uint32_t& id);

// Both ids of a device path (in any letter case); false unless both are there.
bool parseUsbIds(const std::wstring& path, uint32_t& vendorId, uint32_t& productId);

// Reads descriptor `type`/`index` in `languageId` with one standard
// GET_DESCRIPTOR request on the device's default control pipe, overlapped:
// waits at most WinUsbControlTimeoutMs, then cancels the transfer and waits for
// the cancel to finish before its memory is freed. Returns the bytes received
// (at most `length`), or false with the system's error code in `error`
// (ERROR_SEM_TIMEOUT for a transfer that did not finish in time).
bool readDescriptor(const OpenWinUsbDevice& device, UCHAR type, UCHAR index, USHORT languageId, UCHAR* buffer,
                    ULONG length, ULONG& received, DWORD& error);

// Reads string descriptor `index` in `languageId` into `target`. A descriptor
// that does not fit is read again into a larger buffer, up to 2048 bytes. On
// failure `error` holds the system's error code.
bool readStringDescriptor(const OpenWinUsbDevice& device, UCHAR index, USHORT languageId, std::wstring& target,
                          DWORD& error);

}  // namespace discovery
