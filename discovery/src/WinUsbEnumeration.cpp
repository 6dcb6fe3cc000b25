#include "discovery/WinUsbEnumeration.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <set>
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

// The first language a device lists in its string descriptor 0, of which
// `received` bytes arrived; US English when the descriptor is shorter than one
// language id (by its length or by what arrived), is not a string descriptor, or
// lists language 0.
USHORT firstListedLanguage(const UCHAR* descriptor, ULONG received) {
    if (received < 4 || descriptor[0] < 4 || descriptor[1] != StringDescriptorType) return UsbEnglishLanguageId;
    const auto language = static_cast<USHORT>(descriptor[2] | (descriptor[3] << 8));
    return language != 0 ? language : UsbEnglishLanguageId;
}

// Reads the device descriptor and the strings it names into the record. On
// failure `step` and `error` say what failed.
bool readDeviceStrings(const OpenWinUsbDevice& device, DeviceInfo& record, DeviceError& step, DWORD& error) {
    step = DeviceError::WinUsbDeviceDescriptor;
    error = ERROR_INVALID_HANDLE;
    if (device.winUsb == nullptr) return false;
    UCHAR descriptor[DeviceDescriptorSize] = {};
    ULONG received = 0;
    if (!readDescriptor(device, DeviceDescriptorType, 0, 0, descriptor, DeviceDescriptorSize, received, error)) {
        return false;
    }
    if (received < DeviceDescriptorUsable) {
        error = ERROR_INVALID_DATA;
        return false;
    }

    const struct {
        size_t offset;
        std::wstring* field;
        DeviceError step;
    } strings[] = {
        {ManufacturerIndexOffset, &record.manufacturer, DeviceError::WinUsbString},
        {ProductIndexOffset, &record.product, DeviceError::WinUsbString},
        {SerialNumberIndexOffset, &record.serialNumber, DeviceError::WinUsbSerialNumber},
    };
    step = DeviceError::WinUsbString;
    if (descriptor[ManufacturerIndexOffset] == 0 && descriptor[ProductIndexOffset] == 0 &&
        descriptor[SerialNumberIndexOffset] == 0) {
        return true;  // no strings, and then no language list either
    }
    // The languages (string descriptor 0, asked for with language 0). A device
    // that refuses the request gets US English; one that does not answer in
    // time is given up, as for any other descriptor.
    UCHAR languages[InlineDescriptorBytes] = {};
    ULONG languagesReceived = 0;
    if (!readDescriptor(device, StringDescriptorType, 0, 0, languages, InlineDescriptorBytes, languagesReceived,
                        error)) {
        if (error == ERROR_SEM_TIMEOUT) return false;
        languagesReceived = 0;
    }
    const USHORT language = firstListedLanguage(languages, languagesReceived);
    for (const auto& string : strings) {
        step = string.step;
        const UCHAR index = descriptor[string.offset];
        if (index != 0 && !readStringDescriptor(device, index, language, *string.field, error)) return false;
    }
    return true;
}

// The records of the WinUSB interfaces read in their current appearance, by
// path in ASCII lower case (the system names one interface in either case).
// Reached by every thread that runs the pass (the window's check worker,
// kelvane-units' lookup worker) and by the threads that take arrival notices
// (the window's, the watch's notice thread); guarded by g_keptLock, which is
// never held across a call to a device or the platform table. Bounded by what
// one enumeration lists: each run forgets the paths it did not list.
struct KeptRecord {
    DeviceInfo record;
    bool readAgain = false;  // an arrival named the path after it was read
};
std::mutex g_keptLock;
std::map<std::wstring, KeptRecord> g_keptRecords;
// WinUSB arrivals so far (under g_keptLock): a read during which one came is
// read again at the next run, whichever path the arrival named.
uint64_t g_arrivalCount = 0;

std::wstring keptKey(const std::wstring& path) {
    std::wstring key = path;
    for (wchar_t& unit : key) {
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    }
    return key;
}

// Forgets the kept records of every path not in `listed`.
void keepOnly(const std::set<std::wstring>& listed) {
    std::lock_guard<std::mutex> lock(g_keptLock);
    for (auto entry = g_keptRecords.begin(); entry != g_keptRecords.end();) {
        entry = listed.count(entry->first) != 0 ? std::next(entry) : g_keptRecords.erase(entry);
    }
}

// The open was refused because the device is open elsewhere: WinUSB allows one opener.
bool heldByAnotherProgram(const DeviceHandleRef& reference) {
    return reference.failedStep() == DeviceError::WinUsbOpen &&
           (reference.error() == ERROR_ACCESS_DENIED || reference.error() == ERROR_SHARING_VIOLATION);
}

// The OVERLAPPED structure, the count and the data of one transfer share one
// heap block: a cancelled transfer that does not finish in time is left this
// block (and its event) rather than have them freed under it.
struct TransferBlock {
    OVERLAPPED overlapped;
    ULONG transferred;
};
constexpr size_t TransferDataOffset = (sizeof(TransferBlock) + 15) / 16 * 16;

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

bool parseUsbId(const std::wstring& lowerPath, const std::wstring& marker, uint32_t& id) {
    const size_t at = lowerPath.find(marker);
    if (at == std::wstring::npos) return false;
    const size_t first = at + marker.size();
    uint32_t value = 0;
    for (size_t i = first; i < first + 4; ++i) {
        const wchar_t unit = i < lowerPath.size() ? lowerPath[i] : L'\0';
        if (unit >= L'0' && unit <= L'9') {
            value = value * 16 + static_cast<uint32_t>(unit - L'0');
        } else if (unit >= L'a' && unit <= L'f') {
            value = value * 16 + static_cast<uint32_t>(unit - L'a' + 10);
        } else {
            return false;
        }
    }
    const wchar_t next = first + 4 < lowerPath.size() ? lowerPath[first + 4] : L'\0';
    if ((next >= L'0' && next <= L'9') || (next >= L'a' && next <= L'f')) return false;
    id = value;
    return true;
}

bool parseUsbIds(const std::wstring& path, uint32_t& vendorId, uint32_t& productId) {
    std::wstring lowerPath = path;
    // ASCII letters only: the ids are ASCII, and nothing else may turn into them.
    for (wchar_t& unit : lowerPath) {
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    }
    uint32_t vendor = 0;
    uint32_t product = 0;
    if (!parseUsbId(lowerPath, L"vid_", vendor) || !parseUsbId(lowerPath, L"pid_", product)) return false;
    vendorId = vendor;
    productId = product;
    return true;
}

bool readDescriptor(const OpenWinUsbDevice& device, UCHAR type, UCHAR index, USHORT languageId, UCHAR* buffer,
                    ULONG length, ULONG& received, DWORD& error) {
    const UsbPlatform& os = usbPlatform();
    received = 0;
    if (length > LargestDescriptorBytes) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    MemWrapper<UCHAR*> block(
        static_cast<UCHAR*>(os.HeapAlloc(os.GetProcessHeap(), HEAP_ZERO_MEMORY, TransferDataOffset + length)));
    if (!block) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    UsbEvent event(os.CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        error = os.GetLastError();
        return false;
    }
    auto* transfer = reinterpret_cast<TransferBlock*>(block.get());
    UCHAR* data = block.get() + TransferDataOffset;
    transfer->overlapped.hEvent = event.get();

    // The standard GET_DESCRIPTOR request: device to host, standard, to the device.
    WINUSB_SETUP_PACKET setup = {};
    setup.RequestType = 0x80;
    setup.Request = 6;
    setup.Value = static_cast<USHORT>((type << 8) | index);
    setup.Index = languageId;
    setup.Length = static_cast<USHORT>(length);
    if (!os.WinUsb_ControlTransfer(device.winUsb, setup, data, length, &transfer->transferred, &transfer->overlapped)) {
        error = os.GetLastError();
        if (error != ERROR_IO_PENDING) return false;
    }
    // Whether it finished at once or is pending, the event tells when it has.
    const bool timedOut = os.WaitForSingleObject(event.get(), WinUsbControlTimeoutMs) != WAIT_OBJECT_0;
    if (timedOut) {
        os.CancelIoEx(device.file, &transfer->overlapped);
        if (os.WaitForSingleObject(event.get(), WinUsbCancelWaitMs) != WAIT_OBJECT_0) {
            // Still not finished: the driver may yet write into the block and
            // signal the event, so both are left to it, never freed.
            block.release();
            event.release();
            error = ERROR_SEM_TIMEOUT;
            return false;
        }
    }
    // Finished: its result is collected, never left pending. A transfer that
    // completed just before the cancel counts.
    DWORD count = 0;
    if (!os.WinUsb_GetOverlappedResult(device.winUsb, &transfer->overlapped, &count, FALSE)) {
        error = timedOut ? static_cast<DWORD>(ERROR_SEM_TIMEOUT) : os.GetLastError();
        return false;
    }
    received = std::min<ULONG>(count, length);
    if (received > 0) std::memcpy(buffer, data, received);
    return true;
}

bool readStringDescriptor(const OpenWinUsbDevice& device, UCHAR index, USHORT languageId, std::wstring& target,
                          DWORD& error) {
    const UsbPlatform& os = usbPlatform();
    UCHAR inlineBuffer[InlineDescriptorBytes];
    MemWrapper<UCHAR*> heapBlock;
    UCHAR* buffer = inlineBuffer;
    ULONG bufferSize = InlineDescriptorBytes;

    for (;;) {
        ULONG received = 0;
        if (readDescriptor(device, StringDescriptorType, index, languageId, buffer, bufferSize, received, error)) {
            // A device may answer a short request with as much of the descriptor
            // as fits: a full buffer that announces more is read again, larger.
            const bool truncated = received == bufferSize && buffer[0] > received;
            if (!truncated) {
                target = descriptorText(buffer, received);
                return true;
            }
        } else if (error != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        if (bufferSize >= LargestDescriptorBytes) {
            error = ERROR_INSUFFICIENT_BUFFER;
            return false;
        }

        bufferSize *= 2;
        heapBlock.reset();
        heapBlock.reset(static_cast<UCHAR*>(os.HeapAlloc(os.GetProcessHeap(), 0, bufferSize)));
        if (!heapBlock) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        buffer = heapBlock.get();
    }
}

void enumerateWinUsbDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    list.clear();
    const UsbPlatform& os = usbPlatform();

    // The paths this run lists (in key form): the kept records of all others go.
    std::set<std::wstring> listed;
    UsbDeviceInfoSet set(
        os.SetupDiGetClassDevsW(&WinUsbInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        keepOnly(listed);
        return;
    }
    DeviceFailureReport failures(DevicePass::WinUsb);

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

        const std::wstring key = keptKey(record.devicePath);
        listed.insert(key);
        if (!parseUsbIds(record.devicePath, record.vendorId, record.productId)) continue;
        if (record.vendorId == 0 || record.productId == 0) continue;
        if (!passesIdFilter(idFilter, record.vendorId, record.productId)) continue;

        bool kept = false;
        KeptRecord keptRecord;
        uint64_t arrivalsBefore = 0;
        {
            std::lock_guard<std::mutex> lock(g_keptLock);
            const auto found = g_keptRecords.find(key);
            kept = found != g_keptRecords.end();
            if (kept) keptRecord = found->second;
            arrivalsBefore = g_arrivalCount;
        }
        const auto listKept = [&] {
            keptRecord.record.devicePath = record.devicePath;  // as this enumeration spells it
            if (passesDescriptionFilter(descriptionFilter, keptRecord.record)) list.push_back(keptRecord.record);
        };
        if (kept && !keptRecord.readAgain) {
            listKept();
            continue;
        }

        DeviceHandleRef reference;
        if (!reference.open(record.devicePath)) {
            if (kept && heldByAnotherProgram(reference)) {
                // Read in this appearance before: what it said then still holds.
                failures.failed(record.devicePath, DeviceError::WinUsbHeld, reference.error());
                listKept();
            } else {
                failures.failed(record.devicePath, reference.failedStep(), reference.error());
            }
            continue;
        }
        ExclusiveDeviceUse use(reference.valid(), reference.id());
        DeviceError step = DeviceError::None;
        DWORD error = 0;
        if (readDeviceStrings(use.device(), record, step, error)) {
            use.end();
            reference.release();
            {
                std::lock_guard<std::mutex> lock(g_keptLock);
                KeptRecord& entry = g_keptRecords[key];
                entry.record = record;
                entry.readAgain = g_arrivalCount != arrivalsBefore;
            }
            if (passesDescriptionFilter(descriptionFilter, record)) list.push_back(record);
        } else {
            // Whatever went wrong, the next look opens the device afresh.
            use.discardHandle = true;
            use.end();
            reference.release();
            // An unreadable serial number is told only for a unit the description check recognises.
            if (step != DeviceError::WinUsbSerialNumber || passesDescriptionFilter(descriptionFilter, record)) {
                failures.failed(record.devicePath, step, error);
            }
        }
    }
    keepOnly(listed);
}

void markWinUsbArrival(const std::wstring& path) {
    const std::wstring key = keptKey(path);
    std::lock_guard<std::mutex> lock(g_keptLock);
    ++g_arrivalCount;
    const auto found = g_keptRecords.find(key);
    if (found != g_keptRecords.end()) found->second.readAgain = true;
}

void forgetWinUsbRecords() {
    std::lock_guard<std::mutex> lock(g_keptLock);
    g_keptRecords.clear();
}

}  // namespace discovery
