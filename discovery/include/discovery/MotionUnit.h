#pragma once
// Which discovered devices are the maker's motion units, and the text under which
// a unit's serial number is shown.

#include "discovery/DeviceInfo.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace discovery {

struct UnitId {
    uint32_t vendorId;
    uint32_t productId;
};

extern const UnitId AcceptedUnitIds[1];
extern const wchar_t* const MakerManufacturer;
extern const wchar_t* const BootLoaderProducts[3];

// The IdFilter of the lookup: the ids are one of AcceptedUnitIds.
bool isMotionUnitId(uint32_t vendorId, uint32_t productId);

// What recognition makes of a device: a unit, or why it is not one.
enum class UnitRecognition {
    Recognised,
    OtherIds,           // not one of AcceptedUnitIds
    OtherMaker,         // the manufacturer string is not MakerManufacturer
    BootLoader,         // the product string is one of BootLoaderProducts
    EmptySerialNumber,  // shown as no unit at all
};

// The description rules alone (manufacturer, then boot-loader product names);
// isMotionUnitDescription is this being Recognised.
UnitRecognition recogniseDescription(const std::wstring& manufacturer, const std::wstring& product);

// Every rule in order: the ids, the description, then a serial number to show.
UnitRecognition recogniseDevice(const DeviceInfo& device);

// One discovery run with duplicate removal and the recognition filters, the
// run the window's lookup makes. With `keepRejected` only the ids filter, so
// that devices with the unit's ids that recognition rejects stay in the list
// (they then also take part in the duplicate rule).
void discoverMotionUnitDevices(DeviceList& devices, bool keepRejected = false);

// The DescriptionFilter of the lookup: the maker's manufacturer string exactly,
// and a product that is not a boot loader. The ids are ignored.
bool isMotionUnitDescription(uint32_t vendorId, uint32_t productId, const std::wstring& manufacturer,
                             const std::wstring& product);

struct MotionUnit {
    MotionUnit(const DeviceInfo& device, int32_t reserved)
        : product(device.product),
          serialNumber(device.serialNumber),
          devicePath(device.devicePath),
          reserved(reserved),
          source(device.source) {}

    std::wstring product;
    std::wstring serialNumber;
    std::wstring devicePath;
    int32_t reserved;
    DeviceSource source;
};

// Recognised units in discovery order, one heap object per entry; copies are deep.
class MotionUnitList {
public:
    MotionUnitList() = default;
    MotionUnitList(const MotionUnitList& other);
    MotionUnitList& operator=(const MotionUnitList& other);
    MotionUnitList(MotionUnitList&&) noexcept = default;
    MotionUnitList& operator=(MotionUnitList&&) noexcept = default;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    size_t capacity() const { return entries_.capacity(); }
    void reserve(size_t count) { entries_.reserve(count); }
    const MotionUnit& operator[](size_t index) const { return *entries_[index]; }
    void append(std::unique_ptr<MotionUnit> unit) { entries_.push_back(std::move(unit)); }

private:
    std::vector<std::unique_ptr<MotionUnit>> entries_;
};

class MotionUnitFinder {
public:
    // One discovery run with duplicate removal and the recognition filters.
    MotionUnitList findMotionUnits();
};

// The units of a discoverMotionUnitDevices run, in its order.
MotionUnitList motionUnitsOf(const DeviceList& devices);

// What the window shows for a lookup: the grouped serial number of the first
// unit that has one, empty when no unit has one.
std::wstring displayedSerialNumber(const MotionUnitList& units);

// What the window and kelvane-units --watch show when no unit has a serial number.
constexpr wchar_t NoUnitText[] = L"(no motion unit has been found)";

// Groups a serial number into blocks of six joined by "-" (after the 6th, 12th
// and 18th character); null gives the empty string.
std::wstring formatSerialNumber(const wchar_t* text);

}  // namespace discovery
