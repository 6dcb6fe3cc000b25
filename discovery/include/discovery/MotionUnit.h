#pragma once
// Which discovered devices are the maker's motion units, and the text under which
// a unit's serial number is shown.

#include "discovery/DeviceInfo.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct UnitId {
    uint32_t vendorId;
    uint32_t productId;
};

extern const UnitId AcceptedUnitIds[1];
extern const wchar_t* const MakerManufacturer;
extern const wchar_t* const BootLoaderProducts[3];

// The IdFilter of the lookup: the ids are one of AcceptedUnitIds.
bool isMotionUnitId(uint32_t vendorId, uint32_t productId);

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
    uint32_t source;
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

// Groups a serial number into blocks of six joined by "-" (after the 6th, 12th
// and 18th character); null gives the empty string.
std::wstring formatSerialNumber(const wchar_t* text);
