#include "discovery/Discovery.h"

#include "discovery/HidEnumeration.h"
#include "discovery/ServicePipeClient.h"
#include "discovery/WinUsbEnumeration.h"

#include "diagnostics/Log.h"

namespace discovery {

std::atomic<int32_t> TransportMode{static_cast<int32_t>(TransportModeValue::ServiceThenWinUsb)};

void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    list.clear();
    const auto mode = static_cast<TransportModeValue>(TransportMode.load());
    if (mode != TransportModeValue::WinUsbOnly) {
        if (queryServiceDevices(list, idFilter, descriptionFilter)) return;
        if (mode == TransportModeValue::ServiceOnly) return;
    }
    enumerateWinUsbDevices(list, idFilter, descriptionFilter);
}

void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates) {
    list.clear();
    enumerateUsbDevices(list, idFilter, descriptionFilter);
    enumerateHidDevices(list, idFilter, descriptionFilter, removeDuplicates);
    // One run is one check: a line that every check writes again (no service,
    // say) is written once and then counted.
    diagnostics::logCheckEnded();
}

void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    discoverDevices(list, idFilter, descriptionFilter, true);
}

}  // namespace discovery
