#include "discovery/Discovery.h"

#include "discovery/HidEnumeration.h"
#include "discovery/ServicePipeClient.h"
#include "discovery/WinUsbEnumeration.h"

#include "diagnostics/Log.h"

namespace discovery {

std::atomic<int32_t> TransportMode{static_cast<int32_t>(TransportModeValue::ServiceThenWinUsb)};

namespace {

// Where this thread's runs report the pass they enter (DiscoveryPassReport);
// null when nobody asked. Each thread has its own.
thread_local std::atomic<uint32_t>* g_passReport = nullptr;

void entering(DeviceSource pass) {
    if (g_passReport != nullptr) g_passReport->store(static_cast<uint32_t>(pass));
}

}  // namespace

DiscoveryPassReport::DiscoveryPassReport(std::atomic<uint32_t>& pass) : previous_(g_passReport) {
    g_passReport = &pass;
}

DiscoveryPassReport::~DiscoveryPassReport() { g_passReport = previous_; }

void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    list.clear();
    const auto mode = static_cast<TransportModeValue>(TransportMode.load());
    if (mode != TransportModeValue::WinUsbOnly) {
        entering(DeviceSource::Service);
        if (queryServiceDevices(list, idFilter, descriptionFilter) || mode == TransportModeValue::ServiceOnly) {
            forgetWinUsbRecords();
            return;
        }
    }
    entering(DeviceSource::WinUsb);
    enumerateWinUsbDevices(list, idFilter, descriptionFilter);
}

void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates) {
    list.clear();
    enumerateUsbDevices(list, idFilter, descriptionFilter);
    entering(DeviceSource::Hid);
    enumerateHidDevices(list, idFilter, descriptionFilter, removeDuplicates);
    // One run is one check: a line that every check writes again (no service,
    // say) is written once and then counted.
    diagnostics::logCheckEnded();
}

void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    discoverDevices(list, idFilter, descriptionFilter, true);
}

}  // namespace discovery
