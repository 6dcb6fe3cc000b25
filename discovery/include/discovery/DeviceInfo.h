#pragma once
// The record a discovery run fills, the list it fills, and the two filters every
// pass consults.

#include <cstdint>
#include <string>
#include <vector>

namespace discovery {

// Which pass produced an entry. The service pass may also store other kind
// bytes (0 to 255); the type holds any 32-bit value.
enum class DeviceSource : uint32_t {
    Hid = 0,
    WinUsb = 1,
    Service = 2,
};

struct DeviceInfo {
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    std::wstring devicePath;
    DeviceSource source = DeviceSource::Hid;
};

using DeviceList = std::vector<DeviceInfo>;

// Optional plain callbacks: true keeps the device under consideration; null accepts all.
using IdFilter = bool (*)(uint32_t vendorId, uint32_t productId);
using DescriptionFilter = bool (*)(uint32_t vendorId, uint32_t productId, const std::wstring& manufacturer,
                                   const std::wstring& product);

inline bool passesIdFilter(IdFilter filter, uint32_t vendorId, uint32_t productId) {
    return filter == nullptr || filter(vendorId, productId);
}

inline bool passesDescriptionFilter(DescriptionFilter filter, const DeviceInfo& device) {
    return filter == nullptr || filter(device.vendorId, device.productId, device.manufacturer, device.product);
}

// The duplicate rule: true when an entry of the list produced by WinUSB or the
// service has the candidate's ids and exactly its serial number (code unit for
// code unit; two empty serial numbers are equal).
bool isDuplicateOfListed(const DeviceList& list, const DeviceInfo& candidate);

}  // namespace discovery
