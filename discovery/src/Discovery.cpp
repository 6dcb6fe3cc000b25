#include "discovery/Discovery.h"

#include "discovery/HidEnumeration.h"
#include "discovery/ServicePipeClient.h"
#include "discovery/WinUsbEnumeration.h"

std::atomic<int32_t> TransportMode{TransportServiceThenWinUsb};

void enumerateUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    list.clear();
    const int32_t mode = TransportMode.load();
    if (mode != TransportWinUsbOnly) {
        if (queryServiceDevices(list, idFilter, descriptionFilter)) return;
        if (mode == TransportServiceOnly) return;
    }
    enumerateWinUsbDevices(list, idFilter, descriptionFilter);
}

void discoverDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates) {
    list.clear();
    enumerateUsbDevices(list, idFilter, descriptionFilter);
    enumerateHidDevices(list, idFilter, descriptionFilter, removeDuplicates);
}

void discoverUniqueDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    discoverDevices(list, idFilter, descriptionFilter, true);
}
