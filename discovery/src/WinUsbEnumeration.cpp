#include "discovery/WinUsbEnumeration.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <stdexcept>
#include <vector>

#include "discovery/WinUsbHandleRegistry.h"

namespace discovery {

namespace {

constexpr UCHAR DeviceDescriptorType = 1;  // USB_DEVICE_DESCRIPTOR_TYPE
constexpr UCHAR StringDescriptorType = 3;  // USB_STRING_DESCRIPTOR_TYPE
constexpr ULONG DeviceDescriptorSize = 18;
// The device descriptor is usable once its string indexes (up to offset 16) arrived.
constexpr ULONG DeviceDescriptorUsable = 17;
constexpr size_t ManufacturerIndexOffset = 14;
constexpr size_t ProductIndexOffset = 15;
constexpr size_t SerialNumberIndexOffset = 16;

constexpr ULONG InlineDescriptorBytes = 64;
constexpr ULONG LargestDescriptorBytes = 2048;

constexpr DWORD DetailBufferBytes = 4096;

// The string of a descriptor of which `received` bytes arrived; never reads
// beyond them. A header-only or malformed descriptor gives the empty string.
// Like HID and service strings, the text ends at its first NUL: some firmware
// counts a terminating NUL into the descriptor.
std::wstring descriptorText(const UCHAR* descriptor, ULONG received) {
    if (received < 2 || descriptor[0] < 2) return std::wstring();
    const size_t units = (std::min<ULONG>(descriptor[0], received) - 2) / sizeof(wchar_t);
    std::wstring text(units, L'\0');
    if (units > 0) std::memcpy(&text[0], descriptor + 2, units * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// Reads the device descriptor and the strings it names into the record.
bool readDeviceStrings(const UsbPlatform& os, WINUSB_INTERFACE_HANDLE handle, DeviceInfo& record) {
    if (handle == nullptr) return false;
    UCHAR descriptor[DeviceDescriptorSize] = {};
    ULONG transferred = 0;
    if (!os.WinUsb_GetDescriptor(handle, DeviceDescriptorType, 0, 0, descriptor, DeviceDescriptorSize, &transferred)) {
        return false;
    }
    if (transferred < DeviceDescriptorUsable) return false;

    const struct {
        size_t offset;
        std::wstring* field;
    } strings[] = {
        {ManufacturerIndexOffset, &record.manufacturer},
        {ProductIndexOffset, &record.product},
        {SerialNumberIndexOffset, &record.serialNumber},
    };
    for (const auto& string : strings) {
        const UCHAR index = descriptor[string.offset];
        if (index != 0 && !readStringDescriptor(handle, index, UsbEnglishLanguageId, *string.field)) return false;
    }
    return true;
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

uint32_t parseUsbId(const std::wstring& lowerPath, const std::wstring& marker) {
    const size_t at = lowerPath.find(marker);
    if (at == std::wstring::npos) return 0;
    const std::wstring digits = lowerPath.substr(at + marker.size(), 4);
    // The id is a number of its own: a minus sign would wrap it into a huge value.
    if (digits.find(L'-') != std::wstring::npos) return 0;
    try {
        const unsigned long value = std::stoul(digits, nullptr, 16);
        if (value > 0xFFFFFFFFul) return 0;
        return static_cast<uint32_t>(value);
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
}

bool readStringDescriptor(WINUSB_INTERFACE_HANDLE winUsbHandle, UCHAR index, USHORT languageId, std::wstring& target) {
    const UsbPlatform& os = usbPlatform();
    UCHAR inlineBuffer[InlineDescriptorBytes];
    MemWrapper<UCHAR*> heapBlock;
    UCHAR* buffer = inlineBuffer;
    ULONG bufferSize = InlineDescriptorBytes;

    for (;;) {
        ULONG transferred = 0;
        if (os.WinUsb_GetDescriptor(winUsbHandle, StringDescriptorType, index, languageId, buffer, bufferSize,
                                    &transferred)) {
            const ULONG received = std::min(transferred, bufferSize);
            // A device may answer a short request with as much of the descriptor
            // as fits: a full buffer that announces more is read again, larger.
            const bool truncated = received == bufferSize && buffer[0] > received;
            if (!truncated) {
                target = descriptorText(buffer, received);
                return true;
            }
        } else if (os.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        if (bufferSize >= LargestDescriptorBytes) return false;

        bufferSize *= 2;
        heapBlock.reset();
        heapBlock.reset(static_cast<UCHAR*>(os.HeapAlloc(os.GetProcessHeap(), 0, bufferSize)));
        if (!heapBlock) return false;
        buffer = heapBlock.get();
    }
}

void enumerateWinUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    list.clear();
    const UsbPlatform& os = usbPlatform();

    UsbDeviceInfoSet set(
        os.SetupDiGetClassDevsW(&WinUsbInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return;

    // DWORD elements keep the detail structure aligned.
    std::vector<DWORD> detailBuffer(DetailBufferBytes / sizeof(DWORD), 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    constexpr size_t PathCapacity =
        (DetailBufferBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        SP_DEVINFO_DATA devInfoData = {};
        devInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!os.SetupDiEnumDeviceInterfaces(set.get(), nullptr, &WinUsbInterfaceGuid, index, &interfaceData)) break;

        if (!os.SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, detail, DetailBufferBytes, nullptr,
                                                 &devInfoData)) {
            continue;
        }
        if (!sameGuid(devInfoData.ClassGuid, UsbDeviceClassGuid)) continue;

        DeviceInfo record;
        record.source = DeviceSource::WinUsb;
        record.devicePath.assign(detail->DevicePath, wcsnlen(detail->DevicePath, PathCapacity));

        std::wstring lowerPath = record.devicePath;
        for (wchar_t& unit : lowerPath) unit = static_cast<wchar_t>(std::towlower(unit));
        record.vendorId = parseUsbId(lowerPath, L"vid_");
        record.productId = parseUsbId(lowerPath, L"pid_");
        if (record.vendorId == 0 || record.productId == 0) continue;
        if (!passesIdFilter(idFilter, record.vendorId, record.productId)) continue;

        DeviceHandleRef reference;
        if (!reference.open(record.devicePath)) continue;
        ExclusiveDeviceUse use(reference.valid(), reference.id());
        if (readDeviceStrings(os, use.winUsbHandle(), record)) {
            use.end();
            reference.release();
            if (passesDescriptionFilter(descriptionFilter, record)) list.push_back(record);
        } else {
            // Whatever went wrong, the next look opens the device afresh.
            use.discardHandle = true;
            use.end();
            reference.release();
        }
    }
}

}  // namespace discovery
