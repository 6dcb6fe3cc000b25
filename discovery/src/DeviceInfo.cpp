#include "discovery/DeviceInfo.h"

namespace discovery {

bool isDuplicateOfListed(const DeviceList& list, const DeviceInfo& candidate) {
    for (const DeviceInfo& entry : list) {
        if ((entry.source == DeviceSource::WinUsb || entry.source == DeviceSource::Service) &&
            entry.vendorId == candidate.vendorId && entry.productId == candidate.productId &&
            entry.serialNumber == candidate.serialNumber) {
            return true;
        }
    }
    return false;
}

}  // namespace discovery
