#pragma once
// One discovery run: the service or WinUSB (by TransportMode), then HID.

#include "discovery/DeviceInfo.h"

#include <atomic>
#include <cstdint>

namespace discovery {

// The values of TransportMode; any other value behaves as ServiceThenWinUsb.
enum class TransportModeValue : int32_t {
    ServiceThenWinUsb = 0,
    ServiceOnly = 1,
    WinUsbOnly = 2,
};

// Process-wide, 0 at start; read once by the front end at each run, on
// whichever thread runs it (the window's check worker). The window never
// changes it; kelvane-units sets it before its run. Atomic, so that a change
// made on one thread is seen whole on another.
extern std::atomic<int32_t> TransportMode;

// Empties the list, runs the front end, then the HID pass, and ends one check
// of the log (diagnostics::logCheckEnded).
void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates);
void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// The front end: the service pass, the WinUSB pass, or the one after the other.
void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

}  // namespace discovery
