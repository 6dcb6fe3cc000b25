#include "discovery/HidEnumeration.h"

#include "discovery/DeviceErrors.h"
#include "discovery/WinUsbEnumeration.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

namespace discovery {

namespace {

constexpr ULONG StringBufferBytes = 1024;
constexpr size_t StringBufferUnits = StringBufferBytes / sizeof(wchar_t);

// The text of a string read, up to its first NUL and never past the buffer.
std::wstring bufferText(const wchar_t* buffer) { return std::wstring(buffer, wcsnlen(buffer, StringBufferUnits)); }

// Reads one HID string into `target`; false when the driver refuses. The buffer
// is cleared first: a driver that reports success without writing a terminator
// must not hand on the previous read's text as this one's.
bool readHidString(decltype(&::HidD_GetProductString) read, HANDLE device, wchar_t* buffer, std::wstring& target) {
    std::memset(buffer, 0, StringBufferBytes);
    if (!read(device, buffer, StringBufferBytes)) return false;
    target = bufferText(buffer);
    return true;
}

// Examines one enumerated interface; appends it to the list when it is taken.
void examineInterface(const UsbPlatform& os, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, wchar_t* buffer,
                      DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates,
                      DeviceFailureReport& failures) {
    DWORD requiredSize = 0;
    os.SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (requiredSize == 0) return;
    // A size that cannot even hold the fixed part and one character is not one
    // SetupAPI would give; writing cbSize into such a block would overrun it.
    constexpr DWORD PathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (requiredSize < PathOffset + sizeof(wchar_t)) return;

    const DWORD blockSize = requiredSize;
    MemWrapper<SP_DEVICE_INTERFACE_DETAIL_DATA_W*> detail(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
        os.HeapAlloc(os.GetProcessHeap(), HEAP_ZERO_MEMORY, blockSize)));
    if (detail.get() == nullptr) return;
    detail.get()->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!os.SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail.get(), blockSize, &requiredSize, nullptr)) {
        return;
    }

    DeviceInfo record;
    // Bounded by the block we allocated, whatever size the call reports now.
    const size_t pathCapacity = (blockSize - PathOffset) / sizeof(wchar_t);
    record.devicePath.assign(detail.get()->DevicePath, wcsnlen(detail.get()->DevicePath, pathCapacity));
    if (record.devicePath.rfind(HidInstanceMarker) == std::wstring::npos) return;

    // A path that states the ids lets an interface of another device be passed
    // over unopened. Where it does not, the attributes are the only source;
    // where it does, they stay the authority for what is listed.
    uint32_t pathVendorId = 0;
    uint32_t pathProductId = 0;
    const bool idsInPath = parseUsbIds(record.devicePath, pathVendorId, pathProductId);
    if (idsInPath && !passesIdFilter(idFilter, pathVendorId, pathProductId)) return;
    // Only a device whose ids are known to pass the filter is reported when it cannot be read.
    auto fail = [&](DeviceError step, DWORD error, bool idsKnown) {
        if (idsKnown) failures.failed(record.devicePath, step, error);
    };

    // No access rights: attributes and strings need none, and such an open
    // succeeds where a read or write open is refused (collections the system
    // holds exclusively, a device another program holds without write sharing).
    UsbFileHandle device(os.CreateFileW(record.devicePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return fail(DeviceError::HidOpen, os.GetLastError(), idsInPath);

    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (!os.HidD_GetAttributes(device.get(), &attributes)) {
        return fail(DeviceError::HidAttributes, os.GetLastError(), idsInPath);
    }
    if (!passesIdFilter(idFilter, attributes.VendorID, attributes.ProductID)) return;
    record.vendorId = attributes.VendorID;
    record.productId = attributes.ProductID;

    if (!readHidString(os.HidD_GetManufacturerString, device.get(), buffer, record.manufacturer)) {
        return fail(DeviceError::HidManufacturer, os.GetLastError(), true);
    }
    if (!readHidString(os.HidD_GetProductString, device.get(), buffer, record.product)) {
        return fail(DeviceError::HidProduct, os.GetLastError(), true);
    }
    if (!passesDescriptionFilter(descriptionFilter, record)) return;
    if (record.manufacturer.empty() || record.product.empty()) return;

    // A device without a serial number is listed without one; for one that
    // passed the checks above, that is worth a line (no unit is shown for it).
    if (!readHidString(os.HidD_GetSerialNumberString, device.get(), buffer, record.serialNumber)) {
        fail(DeviceError::HidSerialNumber, os.GetLastError(), true);
    }

    if (removeDuplicates && isDuplicateOfListed(list, record)) return;
    list.push_back(record);
}

}  // namespace

void enumerateHidDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         bool removeDuplicates) {
    const UsbPlatform& os = usbPlatform();
    wchar_t buffer[StringBufferUnits] = {};

    GUID hidGuid;
    os.HidD_GetHidGuid(&hidGuid);
    UsbDeviceInfoSet set(os.SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return;
    DeviceFailureReport failures(DevicePass::Hid);

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!os.SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, index, &interfaceData)) break;
        examineInterface(os, set.get(), interfaceData, buffer, list, idFilter, descriptionFilter, removeDuplicates,
                         failures);
    }
}

}  // namespace discovery
