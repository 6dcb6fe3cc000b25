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
// whichever thread runs it (the window's check worker, kelvane-units' lookup
// worker). The window never changes it; kelvane-units sets it before starting
// its lookups. Atomic, so that a change
// made on one thread is seen whole on another.
extern std::atomic<int32_t> TransportMode;

// Empties the list, runs the front end, then the HID pass, and ends one check
// of the log (diagnostics::logCheckEnded).
void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates);
void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// The front end: the service pass, the WinUSB pass, or the one after the other.
// A run that does not enumerate WinUSB interfaces forgets the WinUSB pass's
// kept records, so that the next WinUSB run reads every interface afresh.
void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);

// While one exists on a thread, each discovery run on that thread stores in
// `pass` the DeviceSource (as its number) of the pass it enters: Service,
// WinUsb or Hid, so that a thread waiting for the run can tell what it waits
// on. Make it and let it go on the thread that runs discovery; `pass` must
// outlive it.
class DiscoveryPassReport {
public:
    explicit DiscoveryPassReport(std::atomic<uint32_t>& pass);
    ~DiscoveryPassReport();
    DiscoveryPassReport(const DiscoveryPassReport&) = delete;
    DiscoveryPassReport& operator=(const DiscoveryPassReport&) = delete;

private:
    std::atomic<uint32_t>* previous_;
};

}  // namespace discovery
