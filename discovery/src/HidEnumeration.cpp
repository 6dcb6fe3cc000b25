#include "discovery/HidEnumeration.h"

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
                      DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter, bool removeDuplicates) {
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

    UsbFileHandle device(os.CreateFileW(record.devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return;

    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (!os.HidD_GetAttributes(device.get(), &attributes)) return;
    if (!passesIdFilter(idFilter, attributes.VendorID, attributes.ProductID)) return;
    record.vendorId = attributes.VendorID;
    record.productId = attributes.ProductID;

    if (!readHidString(os.HidD_GetManufacturerString, device.get(), buffer, record.manufacturer)) return;
    if (!readHidString(os.HidD_GetProductString, device.get(), buffer, record.product)) return;
    if (!passesDescriptionFilter(descriptionFilter, record)) return;
    if (record.manufacturer.empty() || record.product.empty()) return;

    // Some devices have no serial number: they are listed without one.
    readHidString(os.HidD_GetSerialNumberString, device.get(), buffer, record.serialNumber);

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

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!os.SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, index, &interfaceData)) break;
        examineInterface(os, set.get(), interfaceData, buffer, list, idFilter, descriptionFilter, removeDuplicates);
    }
}

}  // namespace discovery
