#include "FakeUsbPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <cwchar>

#include "discovery/WinUsbEnumeration.h"

#include <dbt.h>

using namespace discovery;

namespace fake_usb {

const GUID HidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID HidSetupClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

std::vector<uint8_t> deviceDescriptor(uint8_t iManufacturer, uint8_t iProduct, uint8_t iSerialNumber) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x83, 0x04, 0x10, 0xA1, 0x00, 0x01, iManufacturer, iProduct, iSerialNumber,
            1};
}

std::vector<uint8_t> stringDescriptor(const std::wstring& text) {
    std::vector<uint8_t> bytes(2 + text.size() * 2);
    bytes[0] = static_cast<uint8_t>(bytes.size() > 255 ? 255 : bytes.size());
    bytes[1] = 3;
    if (!text.empty()) std::memcpy(&bytes[2], text.data(), text.size() * 2);
    return bytes;
}

static std::wstring hex4(uint16_t value) {
    wchar_t text[8];
    swprintf(text, 8, L"%04X", static_cast<unsigned>(value));
    return text;
}

std::wstring hidPath(uint16_t vendorId, uint16_t productId, int instance) {
    wchar_t suffix[16];
    swprintf(suffix, 16, L"&%04d", instance);
    return L"\\\\?\\hid#vid_" + hex4(vendorId) + L"&pid_" + hex4(productId) + L"#7&2f1c3a5&0" + suffix +
           L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::wstring winUsbPath(uint16_t vendorId, uint16_t productId, const std::wstring& serialNumber) {
    return L"\\\\?\\usb#vid_" + hex4(vendorId) + L"&pid_" + hex4(productId) + L"#" + serialNumber +
           L"#{6b128895-01de-4056-8aee-c10bf3c4763a}";
}

namespace {

// The installed world (at most one; its constructor and destructor set it).
// Each fake function takes the world's mutex. The last error is per thread,
// as the system's is.
FakeUsbWorld* g_world = nullptr;
thread_local DWORD g_lastError = 0;

BOOL failWith(DWORD error) {
    g_lastError = error;
    return FALSE;
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

// The platform functions of the fake, all answering from the installed world.
struct FakeUsbWorld::Impl {
    static std::unique_lock<std::mutex> lock(const char* call) {
        std::unique_lock<std::mutex> guard(g_world->mutex_);
        g_world->calls_.emplace_back(call);
        return guard;
    }

    static HANDLE newHandle() {
        g_world->nextHandle_ += 4;
        return reinterpret_cast<HANDLE>(g_world->nextHandle_);
    }

    static void WINAPI HidD_GetHidGuid(LPGUID guid) {
        auto guard = lock("HidD_GetHidGuid");
        *guid = HidInterfaceGuid;
    }

    static HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR, HWND, DWORD flags) {
        auto guard = lock("SetupDiGetClassDevsW");
        if (g_world->classDevsFails_ || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) || guid == nullptr) {
            g_lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        HDEVINFO set = newHandle();
        g_world->sets_[set] = sameGuid(*guid, HidInterfaceGuid);
        ++g_world->counters_.setsOpened;
        return set;
    }

    static BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
        auto guard = lock("SetupDiDestroyDeviceInfoList");
        if (g_world->sets_.erase(set) == 0) {
            ++g_world->counters_.badReleases;
            return failWith(ERROR_INVALID_HANDLE);
        }
        ++g_world->counters_.setsClosed;
        return TRUE;
    }

    static size_t interfaceCount(bool hid) { return hid ? g_world->hid_.size() : g_world->winUsb_.size(); }

    // Where the index-th present interface of a kind is kept; the count when none is.
    static size_t positionOf(bool hid, DWORD index) {
        if (hid) return std::min<size_t>(index, g_world->hid_.size());
        size_t position = 0;
        for (DWORD seen = 0; position < g_world->winUsb_.size(); ++position) {
            if (g_world->winUsb_[position].present && seen++ == index) break;
        }
        return position;
    }

    static BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                                   PSP_DEVICE_INTERFACE_DATA data) {
        auto guard = lock("SetupDiEnumDeviceInterfaces");
        auto found = g_world->sets_.find(set);
        if (found == g_world->sets_.end()) return failWith(ERROR_INVALID_HANDLE);
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return failWith(ERROR_INVALID_USER_BUFFER);
        }
        const size_t position = positionOf(found->second, index);
        if (position >= interfaceCount(found->second)) return failWith(ERROR_NO_MORE_ITEMS);
        data->InterfaceClassGuid = *guid;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = static_cast<ULONG_PTR>(position) + 1;
        return TRUE;
    }

    static BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                        PDWORD requiredSize, PSP_DEVINFO_DATA devInfo) {
        auto guard = lock("SetupDiGetDeviceInterfaceDetailW");
        auto found = g_world->sets_.find(set);
        if (found == g_world->sets_.end()) return failWith(ERROR_INVALID_HANDLE);
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
            data->Reserved > interfaceCount(found->second)) {
            return failWith(ERROR_INVALID_PARAMETER);
        }
        const size_t index = data->Reserved - 1;
        const bool hid = found->second;
        HidInterface* hidInterface = hid ? &g_world->hid_[index] : nullptr;
        WinUsbDevice* device = hid ? nullptr : &g_world->winUsb_[index];
        const std::wstring& path = hid ? hidInterface->path : device->path;

        DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(wchar_t));
        if (hid && hidInterface->zeroDetailSize) needed = 0;
        if (hid && hidInterface->detailSizeOverride != 0) needed = hidInterface->detailSizeOverride;
        if (detail == nullptr) {
            if (size != 0) return failWith(ERROR_INVALID_USER_BUFFER);
            if (requiredSize != nullptr) *requiredSize = needed;
            return failWith(ERROR_INSUFFICIENT_BUFFER);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return failWith(ERROR_INVALID_USER_BUFFER);
        if ((hid && hidInterface->failDetail) || (!hid && device->failDetail)) return failWith(ERROR_GEN_FAILURE);
        if (size < needed) {
            if (requiredSize != nullptr) *requiredSize = needed;
            return failWith(ERROR_INSUFFICIENT_BUFFER);
        }
        // Writes exactly `needed` bytes: with an overridden size the path is cut
        // and may lack its terminator, as a misbehaving driver could leave it.
        const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        const size_t room = needed > offset ? (needed - offset) / sizeof(wchar_t) : 0;
        std::wstring text = path;
        text.push_back(L'\0');
        text.resize(room, L'\0');
        if (!text.empty()) std::memcpy(detail->DevicePath, text.data(), text.size() * sizeof(wchar_t));
        if (devInfo != nullptr) {
            if (devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return failWith(ERROR_INVALID_USER_BUFFER);
            devInfo->ClassGuid = hid ? HidSetupClassGuid : device->setupClass;
            devInfo->DevInst = static_cast<DWORD>(index + 1);
        }
        if (requiredSize != nullptr) *requiredSize = needed;
        if (requiredSize != nullptr && hid && hidInterface->detailSizeAfterRead != 0) {
            *requiredSize = hidInterface->detailSizeAfterRead;
        }
        return TRUE;
    }

    static HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                     DWORD flagsAndAttributes, HANDLE) {
        auto guard = lock("CreateFileW");
        g_world->openRequests_.push_back({path, access, share, flagsAndAttributes});
        if (disposition != OPEN_EXISTING) {
            g_lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        for (HidInterface& hid : g_world->hid_) {
            if (hid.path != path) continue;
            if (hid.failOpen) break;
            if (hid.heldExclusively && access != 0) {
                g_lastError = ERROR_SHARING_VIOLATION;
                return INVALID_HANDLE_VALUE;
            }
            HANDLE handle = newHandle();
            g_world->hidFiles_[handle] = &hid;
            ++g_world->counters_.filesOpened;
            return handle;
        }
        for (WinUsbDevice& device : g_world->winUsb_) {
            if (device.path != path) continue;
            if (device.failOpen) break;
            if (device.heldByAnotherProgram) {
                g_lastError = ERROR_SHARING_VIOLATION;
                return INVALID_HANDLE_VALUE;
            }
            HANDLE handle = newHandle();
            g_world->winUsbFiles_[handle] = &device;
            ++g_world->counters_.filesOpened;
            return handle;
        }
        g_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }

    static BOOL WINAPI CloseHandle(HANDLE handle) {
        auto guard = lock("CloseHandle");
        if (g_world->events_.erase(handle) != 0) {
            ++g_world->counters_.eventsClosed;
            for (const Transfer& transfer : g_world->transfers_) {
                if (!transfer.finished && transfer.overlapped->hEvent == handle) ++g_world->counters_.badReleases;
            }
            return TRUE;
        }
        if (g_world->hidFiles_.erase(handle) == 0 && g_world->winUsbFiles_.erase(handle) == 0) {
            ++g_world->counters_.badReleases;
            return failWith(ERROR_INVALID_HANDLE);
        }
        ++g_world->counters_.filesClosed;
        return TRUE;
    }

    static HidInterface* hidDevice(HANDLE handle) {
        auto found = g_world->hidFiles_.find(handle);
        return found == g_world->hidFiles_.end() ? nullptr : found->second;
    }

    static BOOLEAN WINAPI HidD_GetAttributes(HANDLE handle, PHIDD_ATTRIBUTES attributes) {
        auto guard = lock("HidD_GetAttributes");
        HidInterface* hid = hidDevice(handle);
        if (hid == nullptr || hid->failAttributes || attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
            return failWith(ERROR_GEN_FAILURE);
        }
        attributes->VendorID = hid->vendorId;
        attributes->ProductID = hid->productId;
        attributes->VersionNumber = 0x0100;
        return TRUE;
    }

    static BOOLEAN hidString(const char* call, HANDLE handle, PVOID buffer, ULONG length,
                             std::wstring HidInterface::*field, bool HidInterface::*fails) {
        auto guard = lock(call);
        HidInterface* hid = hidDevice(handle);
        if (hid != nullptr && hid->stalls && !g_world->stallsReleased_) {
            ++g_world->stalledCalls_;
            g_world->stallChanged_.wait(guard, [] { return g_world->stallsReleased_; });
            --g_world->stalledCalls_;
            g_world->stallChanged_.notify_all();
            return failWith(ERROR_GEN_FAILURE);
        }
        if (hid == nullptr || hid->*fails) return failWith(ERROR_GEN_FAILURE);
        const std::wstring& text = hid->*field;
        if ((text.size() + 1) * sizeof(wchar_t) > length) return failWith(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, text.c_str(), (text.size() + (hid->unterminatedStrings ? 0 : 1)) * sizeof(wchar_t));
        return TRUE;
    }

    static BOOLEAN WINAPI HidD_GetManufacturerString(HANDLE handle, PVOID buffer, ULONG length) {
        return hidString("HidD_GetManufacturerString", handle, buffer, length, &HidInterface::manufacturer,
                         &HidInterface::failManufacturer);
    }
    static BOOLEAN WINAPI HidD_GetProductString(HANDLE handle, PVOID buffer, ULONG length) {
        return hidString("HidD_GetProductString", handle, buffer, length, &HidInterface::product,
                         &HidInterface::failProduct);
    }
    static BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE handle, PVOID buffer, ULONG length) {
        return hidString("HidD_GetSerialNumberString", handle, buffer, length, &HidInterface::serialNumber,
                         &HidInterface::failSerialNumber);
    }

    static BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
        auto guard = lock("WinUsb_Initialize");
        auto found = g_world->winUsbFiles_.find(file);
        if (found == g_world->winUsbFiles_.end() || found->second->failInitialize) {
            // Leave something in the slot: a caller must not free it.
            *handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<uintptr_t>(0xBAD0));
            return failWith(ERROR_NOT_SUPPORTED);
        }
        *handle = newHandle();
        g_world->winUsbHandles_[*handle] = found->second;
        ++g_world->counters_.winUsbOpened;
        return TRUE;
    }

    static BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
        auto guard = lock("WinUsb_Free");
        if (g_world->winUsbHandles_.erase(handle) == 0) {
            ++g_world->counters_.badReleases;
            return failWith(ERROR_INVALID_HANDLE);
        }
        ++g_world->counters_.winUsbFreed;
        return TRUE;
    }

    // What the device answers to GET_DESCRIPTOR (type, index, language) for a
    // request of `length` bytes: the bytes, or the error the transfer ends with.
    static DWORD deviceAnswer(const WinUsbDevice& device, UCHAR type, UCHAR index, USHORT languageId, ULONG length,
                              std::vector<uint8_t>& answer) {
        const std::vector<uint8_t>* descriptor = nullptr;
        if (type == 1 && index == 0) {
            if (device.failDeviceDescriptor) return ERROR_GEN_FAILURE;
            descriptor = &device.deviceDescriptor;
        } else if (type == 3) {
            auto error = device.stringErrors.find(index);
            if (error != device.stringErrors.end()) return error->second;
            auto string = device.stringDescriptors.find(index);
            if (string == device.stringDescriptors.end() ||
                languageId != (index == 0 ? USHORT{0} : device.stringLanguage)) {
                return ERROR_GEN_FAILURE;
            }
            descriptor = &string->second;
        } else {
            return ERROR_GEN_FAILURE;
        }
        if (descriptor->size() > length && device.oversizeFailsWithInsufficientBuffer) return ERROR_INSUFFICIENT_BUFFER;
        answer.assign(descriptor->begin(), descriptor->begin() + std::min<size_t>(descriptor->size(), length));
        return ERROR_SUCCESS;
    }

    // Completes a transfer (under the lock): the data lands in the caller's
    // buffer and the event is signalled, as the driver would do it.
    static void finish(Transfer& transfer, DWORD error) {
        transfer.finished = true;
        if (error == ERROR_SUCCESS && !transfer.answer.empty()) {
            std::memcpy(transfer.buffer, transfer.answer.data(), transfer.answer.size());
        }
        if (error != ERROR_SUCCESS) transfer.answer.clear();
        transfer.error = error;
        transfer.overlapped->InternalHigh = transfer.answer.size();
        auto event = g_world->events_.find(transfer.overlapped->hEvent);
        if (event != g_world->events_.end()) event->second = true;
    }

    static Transfer* transferOf(LPOVERLAPPED overlapped) {
        for (Transfer& transfer : g_world->transfers_) {
            if (transfer.overlapped == overlapped) return &transfer;
        }
        return nullptr;
    }

    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                              ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
        auto guard = lock("WinUsb_ControlTransfer");
        const UCHAR type = static_cast<UCHAR>(setup.Value >> 8);
        const UCHAR index = static_cast<UCHAR>(setup.Value & 0xFF);
        g_world->descriptorRequests_.push_back({type, index, setup.Index, length});
        auto found = g_world->winUsbHandles_.find(handle);
        if (found == g_world->winUsbHandles_.end()) return failWith(ERROR_INVALID_HANDLE);
        // Only the standard GET_DESCRIPTOR request, overlapped, with an event.
        if (setup.RequestType != 0x80 || setup.Request != 6 || setup.Length != length || buffer == nullptr ||
            overlapped == nullptr || g_world->events_.count(overlapped->hEvent) == 0 || transferOf(overlapped)) {
            ++g_world->counters_.forbiddenCalls;
            return failWith(ERROR_INVALID_PARAMETER);
        }
        WinUsbDevice& device = *found->second;
        ++g_world->counters_.transfersStarted;
        g_world->events_[overlapped->hEvent] = false;
        Transfer transfer{&device, overlapped, buffer, {}, ERROR_SUCCESS, 0, false};
        const DWORD error = deviceAnswer(device, type, index, setup.Index, length, transfer.answer);
        if (device.transfersCompleteAfterMs != 0) transfer.dueTick = GetTickCount64() + device.transfersCompleteAfterMs;
        g_world->transfers_.push_back(transfer);
        if (!device.transfersNeverComplete && device.transfersCompleteAfterMs == 0) {
            finish(g_world->transfers_.back(), error);
            if (transferred != nullptr) *transferred = static_cast<ULONG>(g_world->transfers_.back().answer.size());
        } else {
            g_world->transfers_.back().error = error;  // kept for when it completes
        }
        return failWith(ERROR_IO_PENDING);
    }

    static BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                  LPDWORD transferred, BOOL wait) {
        auto guard = lock("WinUsb_GetOverlappedResult");
        Transfer* transfer = transferOf(overlapped);
        if (transfer == nullptr || g_world->winUsbHandles_.count(handle) == 0) return failWith(ERROR_INVALID_PARAMETER);
        if (!transfer->finished) {
            // Waiting here would be unbounded: a pass never may.
            if (wait) ++g_world->counters_.forbiddenCalls;
            return failWith(ERROR_IO_INCOMPLETE);
        }
        const DWORD error = transfer->error;
        *transferred = static_cast<DWORD>(transfer->answer.size());
        g_world->transfers_.erase(std::find_if(g_world->transfers_.begin(), g_world->transfers_.end(),
                                               [&](const Transfer& t) { return &t == transfer; }));
        ++g_world->counters_.transfersCollected;
        if (error != ERROR_SUCCESS) return failWith(error);
        return TRUE;
    }

    static HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
        auto guard = lock("CreateEventW");
        if (!manualReset || name != nullptr) {
            ++g_world->counters_.forbiddenCalls;
            g_lastError = ERROR_INVALID_PARAMETER;
            return nullptr;
        }
        HANDLE event = newHandle();
        g_world->events_[event] = initialState != FALSE;
        ++g_world->counters_.eventsOpened;
        return event;
    }

    // Waits on the fake's events in real time: a transfer due within the wait
    // completes when it is due; one that is never due lets the wait run out.
    static DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
        std::unique_lock<std::mutex> guard = lock("WaitForSingleObject");
        auto event = g_world->events_.find(handle);
        if (event == g_world->events_.end()) {
            g_lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if (milliseconds == INFINITE) {
            ++g_world->counters_.forbiddenCalls;
            g_lastError = ERROR_INVALID_PARAMETER;
            return WAIT_FAILED;
        }
        const ULONGLONG waitEnd = GetTickCount64() + milliseconds;
        for (;;) {
            const ULONGLONG now = GetTickCount64();
            ULONGLONG next = waitEnd;
            for (Transfer& transfer : g_world->transfers_) {
                if (transfer.finished || transfer.overlapped->hEvent != handle || transfer.dueTick == 0) continue;
                if (transfer.dueTick <= now) {
                    finish(transfer, transfer.error);
                } else {
                    next = std::min(next, transfer.dueTick);
                }
            }
            event = g_world->events_.find(handle);
            if (event == g_world->events_.end()) return WAIT_FAILED;
            if (event->second) return WAIT_OBJECT_0;
            if (now >= waitEnd) return WAIT_TIMEOUT;
            guard.unlock();
            Sleep(static_cast<DWORD>(next - now));
            guard.lock();
        }
    }

    static BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
        auto guard = lock("CancelIoEx");
        auto device = g_world->winUsbFiles_.find(file);
        if (device == g_world->winUsbFiles_.end()) return failWith(ERROR_INVALID_HANDLE);
        bool cancelled = false;
        for (Transfer& transfer : g_world->transfers_) {
            if (transfer.finished || transfer.device != device->second) continue;
            if (overlapped != nullptr && transfer.overlapped != overlapped) continue;
            if (!device->second->cancelNeverFinishes) finish(transfer, ERROR_OPERATION_ABORTED);
            ++g_world->counters_.transfersCancelled;
            cancelled = true;
        }
        return cancelled ? TRUE : failWith(ERROR_NOT_FOUND);
    }

    static HANDLE WINAPI GetProcessHeap() {
        auto guard = lock("GetProcessHeap");
        return ::GetProcessHeap();
    }

    static LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
        auto guard = lock("HeapAlloc");
        if (g_world->heapAllocFails_) return nullptr;
        void* block = ::HeapAlloc(heap, flags, bytes);
        if (block != nullptr) {
            g_world->heapBlocks_[block] = bytes;
            ++g_world->counters_.heapAllocated;
        }
        return block;
    }

    static BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
        auto guard = lock("HeapFree");
        auto found = g_world->heapBlocks_.find(block);
        if (found == g_world->heapBlocks_.end()) {
            ++g_world->counters_.badReleases;
            return FALSE;
        }
        // Memory a pending transfer still writes into is not the caller's to free.
        const auto* begin = static_cast<const uint8_t*>(block);
        const auto* end = begin + found->second;
        for (const Transfer& transfer : g_world->transfers_) {
            const auto* overlapped = reinterpret_cast<const uint8_t*>(transfer.overlapped);
            if (!transfer.finished &&
                ((overlapped >= begin && overlapped < end) || (transfer.buffer >= begin && transfer.buffer < end))) {
                ++g_world->counters_.badReleases;
            }
        }
        g_world->heapBlocks_.erase(found);
        ++g_world->counters_.heapFreed;
        return ::HeapFree(heap, flags, block);
    }

    static HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
        {
            auto guard = lock("RegisterDeviceNotificationW");
            const auto* header = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
            g_world->noticeClasses_.push_back(header->dbcc_classguid);
        }
        return ::RegisterDeviceNotificationW(recipient, filter, flags);
    }

    static DWORD WINAPI GetLastError() { return g_lastError; }
    static void WINAPI SetLastError(DWORD error) { g_lastError = error; }
    static BOOL WINAPI SwitchToThread() { return ::SwitchToThread(); }
};

FakeUsbWorld::FakeUsbWorld() {
#define KELVANE_BIND_FAKE(name) table_.name = &Impl::name;
    KELVANE_USB_PLATFORM_FUNCTIONS(KELVANE_BIND_FAKE)
#undef KELVANE_BIND_FAKE
    if (g_world != nullptr) ADD_FAILURE() << "a fake USB world is already installed";
    g_world = this;
    previous_ = installUsbPlatform(&table_);
    forgetWinUsbRecords();  // a new world: every interface appears afresh
}

FakeUsbWorld::~FakeUsbWorld() {
    releaseStalls();
    {
        std::unique_lock<std::mutex> guard(mutex_);
        stallChanged_.wait(guard, [this] { return stalledCalls_ == 0; });
        EXPECT_TRUE(hidFiles_.empty() && winUsbFiles_.empty()) << "device handles left open";
        EXPECT_TRUE(winUsbHandles_.empty()) << "WinUSB handles left open";
        EXPECT_TRUE(sets_.empty()) << "device-info sets left open";
        EXPECT_TRUE(events_.empty()) << "events left open";
        EXPECT_TRUE(transfers_.empty()) << "transfers left unfinished or uncollected";
    }
    installUsbPlatform(previous_);
    g_world = nullptr;
    forgetWinUsbRecords();
}

FakeUsbWorld* FakeUsbWorld::current() { return g_world; }

HidInterface& FakeUsbWorld::addHidInterface(const std::wstring& path, uint16_t vendorId, uint16_t productId,
                                            const std::wstring& manufacturer, const std::wstring& product,
                                            const std::wstring& serialNumber) {
    std::lock_guard<std::mutex> guard(mutex_);
    HidInterface hid;
    hid.path = path;
    hid.vendorId = vendorId;
    hid.productId = productId;
    hid.manufacturer = manufacturer;
    hid.product = product;
    hid.serialNumber = serialNumber;
    hid_.push_back(hid);
    return hid_.back();
}

WinUsbDevice& FakeUsbWorld::addWinUsbDevice(const std::wstring& path, const std::wstring& manufacturer,
                                            const std::wstring& product, const std::wstring& serialNumber) {
    std::lock_guard<std::mutex> guard(mutex_);
    WinUsbDevice device;
    device.path = path;
    device.setupClass = UsbDeviceClassGuid;
    device.deviceDescriptor = deviceDescriptor(1, 2, serialNumber.empty() ? 0 : 3);
    device.stringDescriptors[0] = {4, 3, 0x09, 0x04};
    device.stringDescriptors[1] = stringDescriptor(manufacturer);
    device.stringDescriptors[2] = stringDescriptor(product);
    if (!serialNumber.empty()) device.stringDescriptors[3] = stringDescriptor(serialNumber);
    winUsb_.push_back(device);
    return winUsb_.back();
}

void FakeUsbWorld::setClassDevsFails(bool fails) {
    std::lock_guard<std::mutex> guard(mutex_);
    classDevsFails_ = fails;
}

void FakeUsbWorld::setHeapAllocFails(bool fails) {
    std::lock_guard<std::mutex> guard(mutex_);
    heapAllocFails_ = fails;
}

void FakeUsbWorld::releaseStalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    stallsReleased_ = true;
    stallChanged_.notify_all();
}

int FakeUsbWorld::stalledCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stalledCalls_;
}

void FakeUsbWorld::finishAbandonedTransfers() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto transfer = transfers_.begin(); transfer != transfers_.end();) {
        if (transfer->finished) {
            ++transfer;
            continue;
        }
        if (events_.erase(transfer->overlapped->hEvent) != 0) ++counters_.eventsClosed;
        for (auto block = heapBlocks_.begin(); block != heapBlocks_.end(); ++block) {
            const auto* begin = static_cast<const uint8_t*>(block->first);
            const auto* at = reinterpret_cast<const uint8_t*>(transfer->overlapped);
            if (at >= begin && at < begin + block->second) {
                ::HeapFree(::GetProcessHeap(), 0, block->first);
                heapBlocks_.erase(block);
                ++counters_.heapFreed;
                break;
            }
        }
        transfer = transfers_.erase(transfer);
    }
}

std::vector<GUID> FakeUsbWorld::noticeClasses() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return noticeClasses_;
}

void FakeUsbWorld::note(const std::string& call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(call);
}

Counters FakeUsbWorld::counters() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return counters_;
}

bool FakeUsbWorld::allReleased() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const Counters& c = counters_;
    return c.setsOpened == c.setsClosed && c.filesOpened == c.filesClosed && c.winUsbOpened == c.winUsbFreed &&
           c.heapAllocated == c.heapFreed && c.eventsOpened == c.eventsClosed && transfers_.empty() &&
           c.badReleases == 0 && c.forbiddenCalls == 0;
}

int FakeUsbWorld::openFiles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(hidFiles_.size() + winUsbFiles_.size());
}

int FakeUsbWorld::openWinUsbHandles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(winUsbHandles_.size());
}

std::vector<std::string> FakeUsbWorld::calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
}

std::vector<DescriptorRequest> FakeUsbWorld::descriptorRequests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return descriptorRequests_;
}

int FakeUsbWorld::unfinishedTransfers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(transfers_.size());
}

std::vector<OpenRequest> FakeUsbWorld::openRequests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return openRequests_;
}

void FakeUsbWorld::clearCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
    descriptorRequests_.clear();
    openRequests_.clear();
}

bool noteIdFilter(uint32_t, uint32_t) {
    if (g_world != nullptr) g_world->note("IdFilter");
    return true;
}

bool noteDescriptionFilter(uint32_t, uint32_t, const std::wstring&, const std::wstring&) {
    if (g_world != nullptr) g_world->note("DescriptionFilter");
    return true;
}

size_t countOf(const std::vector<std::string>& calls, const std::string& name) {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
}

std::vector<std::wstring> devicePaths(const DeviceList& list) {
    std::vector<std::wstring> result;
    for (const DeviceInfo& device : list) result.push_back(device.devicePath);
    return result;
}

// --- counting wrappers around the real functions ---

namespace {

// The counters are guarded by g_countingMutex; g_counted is the real table,
// set before the counting table is installed.
std::mutex g_countingMutex;
Counters g_countingCounters;
const UsbPlatform* g_counted = nullptr;

template <typename F>
void count(F change) {
    std::lock_guard<std::mutex> guard(g_countingMutex);
    change(g_countingCounters);
}

// The real functions, counted; bound by name over the real table.
struct Counting {
    static HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR enumerator, HWND window, DWORD flags) {
        HDEVINFO set = g_counted->SetupDiGetClassDevsW(guid, enumerator, window, flags);
        if (set != INVALID_HANDLE_VALUE && set != nullptr) count([](Counters& c) { ++c.setsOpened; });
        return set;
    }

    static BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
        BOOL done = g_counted->SetupDiDestroyDeviceInfoList(set);
        count([done](Counters& c) { done ? ++c.setsClosed : ++c.badReleases; });
        return done;
    }

    static HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile) {
        HANDLE file = g_counted->CreateFileW(path, access, share, security, disposition, flags, templateFile);
        if (file != INVALID_HANDLE_VALUE) count([](Counters& c) { ++c.filesOpened; });
        return file;
    }

    static BOOL WINAPI CloseHandle(HANDLE handle) {
        BOOL done = g_counted->CloseHandle(handle);
        count([done](Counters& c) { done ? ++c.filesClosed : ++c.badReleases; });
        return done;
    }

    static LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
        LPVOID block = g_counted->HeapAlloc(heap, flags, bytes);
        if (block != nullptr) count([](Counters& c) { ++c.heapAllocated; });
        return block;
    }

    static BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
        BOOL done = g_counted->HeapFree(heap, flags, block);
        count([done](Counters& c) { done ? ++c.heapFreed : ++c.badReleases; });
        return done;
    }
};

std::atomic<int> g_forbiddenCallCount{0};

// Wine's WinUSB functions abort the process: these fail and count instead.
struct NoWinUsb {
    static BOOL WINAPI WinUsb_Initialize(HANDLE, PWINUSB_INTERFACE_HANDLE handle) {
        ++g_forbiddenCallCount;
        *handle = nullptr;
        return failWith(ERROR_NOT_SUPPORTED);
    }

    static BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE) {
        ++g_forbiddenCallCount;
        return failWith(ERROR_NOT_SUPPORTED);
    }

    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG,
                                              LPOVERLAPPED) {
        ++g_forbiddenCallCount;
        return failWith(ERROR_NOT_SUPPORTED);
    }

    static BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
        ++g_forbiddenCallCount;
        return failWith(ERROR_NOT_SUPPORTED);
    }
};

// The real table with its WinUSB entries made harmless.
UsbPlatform realTableWithoutWinUsb() {
    UsbPlatform table = realUsbPlatform();
    overrideUsbPlatformEntries<NoWinUsb>(table);
    return table;
}

// Installed for the whole life of every test process that uses this library.
struct WinUsbGuard {
    UsbPlatform table = realTableWithoutWinUsb();
    WinUsbGuard() { installUsbPlatform(&table); }
} g_winUsbGuard;

}  // namespace

CountingRealUsbPlatform::CountingRealUsbPlatform() {
    g_counted = &realUsbPlatform();
    g_countingCounters = Counters();
    forbiddenAtStart_ = g_forbiddenCallCount.load();
    table_ = realTableWithoutWinUsb();
    overrideUsbPlatformEntries<Counting>(table_);
    previous_ = installUsbPlatform(&table_);
}

CountingRealUsbPlatform::~CountingRealUsbPlatform() { installUsbPlatform(previous_); }

Counters CountingRealUsbPlatform::counters() const {
    std::lock_guard<std::mutex> guard(g_countingMutex);
    Counters counters = g_countingCounters;
    counters.forbiddenCalls = g_forbiddenCallCount.load() - forbiddenAtStart_;
    return counters;
}

int forbiddenWinUsbCalls() { return g_forbiddenCallCount.load(); }

bool CountingRealUsbPlatform::allReleased() const {
    const Counters c = counters();
    return c.setsOpened == c.setsClosed && c.filesOpened == c.filesClosed && c.heapAllocated == c.heapFreed &&
           c.badReleases == 0 && c.forbiddenCalls == 0;
}

}  // namespace fake_usb
