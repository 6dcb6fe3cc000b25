#pragma once
// One discovery run: the service or WinUSB (by TransportMode), then HID.

#include "discovery/DeviceInfo.h"

#include <atomic>
#include <cstdint>

enum TransportModeValue : int32_t {
    TransportServiceThenWinUsb = 0,
    TransportServiceOnly = 1,
    TransportWinUsbOnly = 2,  // any other value behaves as 0
};

// Process-wide, 0 at start; read once by the front end at each run, on
// whichever thread runs it (the window's check worker). The window never
// changes it; kelvane-units sets it before its run. Atomic, so that a change
// made on one thread is seen whole on another.
extern std::atomic<int32_t> TransportMode;

// Empties the list, runs the front end, then the HID pass.
void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates);
void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// The front end: the service pass, the WinUSB pass, or the one after the other.
void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);
