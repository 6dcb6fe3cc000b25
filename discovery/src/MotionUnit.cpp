#include "discovery/MotionUnit.h"

#include "discovery/Discovery.h"
#include "platform/Utf16.h"

namespace discovery {

using platform::isHighSurrogate;
using platform::isLowSurrogate;

const UnitId AcceptedUnitIds[1] = {{0x0483, 0xA110}};
const wchar_t* const MakerManufacturer = L"Tavrello";
const wchar_t* const BootLoaderProducts[3] = {L"Drumlin", L"DrumlinZ", L"Drumlin3"};

bool isMotionUnitId(uint32_t vendorId, uint32_t productId) {
    for (const UnitId& id : AcceptedUnitIds) {
        if (id.vendorId == vendorId && id.productId == productId) return true;
    }
    return false;
}

UnitRecognition recogniseDescription(const std::wstring& manufacturer, const std::wstring& product) {
    if (manufacturer != MakerManufacturer) return UnitRecognition::OtherMaker;
    for (const wchar_t* bootLoader : BootLoaderProducts) {
        if (product == bootLoader) return UnitRecognition::BootLoader;
    }
    return UnitRecognition::Recognised;
}

bool isMotionUnitDescription(uint32_t, uint32_t, const std::wstring& manufacturer, const std::wstring& product) {
    return recogniseDescription(manufacturer, product) == UnitRecognition::Recognised;
}

UnitRecognition recogniseDevice(const DeviceInfo& device) {
    if (!isMotionUnitId(device.vendorId, device.productId)) return UnitRecognition::OtherIds;
    const UnitRecognition description = recogniseDescription(device.manufacturer, device.product);
    if (description != UnitRecognition::Recognised) return description;
    return device.serialNumber.empty() ? UnitRecognition::EmptySerialNumber : UnitRecognition::Recognised;
}

void discoverMotionUnitDevices(DeviceList& devices, bool keepRejected) {
    discoverUniqueDevices(devices, isMotionUnitId, keepRejected ? nullptr : isMotionUnitDescription);
}

MotionUnitList::MotionUnitList(const MotionUnitList& other) {
    entries_.reserve(other.entries_.size());
    for (const auto& unit : other.entries_) entries_.push_back(std::make_unique<MotionUnit>(*unit));
}

MotionUnitList& MotionUnitList::operator=(const MotionUnitList& other) {
    if (this != &other) {
        MotionUnitList copy(other);
        entries_.swap(copy.entries_);
    }
    return *this;
}

MotionUnitList MotionUnitFinder::findMotionUnits() {
    DeviceList devices;
    discoverMotionUnitDevices(devices);
    return motionUnitsOf(devices);
}

MotionUnitList motionUnitsOf(const DeviceList& devices) {
    MotionUnitList units;
    if (units.capacity() < devices.size()) units.reserve(devices.size());
    for (const DeviceInfo& device : devices) units.append(std::make_unique<MotionUnit>(device, 0));
    return units;
}

std::wstring displayedSerialNumber(const MotionUnitList& units) {
    // A unit without a serial number must not hide one behind it that has one.
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].serialNumber.empty()) return formatSerialNumber(units[i].serialNumber.c_str());
    }
    return std::wstring();
}

// Counts characters, not code units: a surrogate pair is one character and is
// never split by a "-". A lone surrogate counts as a character of its own.
std::wstring formatSerialNumber(const wchar_t* text) {
    if (text == nullptr) return std::wstring();
    std::wstring result;
    size_t characters = 0;
    for (const wchar_t* unit = text; *unit != L'\0'; ++unit) {
        const bool secondHalf = unit != text && isHighSurrogate(unit[-1]) && isLowSurrogate(*unit);
        if (!secondHalf) {
            if (characters == 6 || characters == 12 || characters == 18) result += L'-';
            ++characters;
        }
        result += *unit;
    }
    return result;
}

}  // namespace discovery
