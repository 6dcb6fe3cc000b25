#pragma once
// The process-wide table of open WinUSB devices. Users hold a counted
// DeviceHandleRef on a device and take an ExclusiveDeviceUse around each
// conversation with it; the registry opens a device on the first reference and
// closes it when the last one is gone and nobody is using it.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "discovery/DeviceErrors.h"
#include "discovery/UsbPlatform.h"

namespace discovery {

// How long one control transfer on a device's default pipe may take before the
// pass cancels it (WinUSB's own limit on that pipe is 5 seconds and cannot be
// changed: the pipe-transfer-timeout policy applies to bulk and interrupt pipes).
constexpr DWORD WinUsbControlTimeoutMs = 500;
// How long a cancelled transfer may take to finish before its memory is left
// to the driver rather than freed.
constexpr DWORD WinUsbCancelWaitMs = 1000;

// The two handles of one open device: the file (opened overlapped; what
// CancelIoEx takes) and its WinUSB interface (what transfers take).
struct OpenWinUsbDevice {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE winUsb = nullptr;
};

class WinUsbHandleRegistry {
public:
    struct AcquireResult {
        bool valid;
        uint32_t id;
        // When not valid: the step that failed and the system's error code.
        DeviceError failedStep = DeviceError::None;
        DWORD error = 0;
    };

    // Creates the registry on first use (once per process) and registers its
    // teardown at process exit. Null once the teardown has run.
    static WinUsbHandleRegistry* instance();

    // Closes every device still open and frees the registry; registered to run
    // at process exit. After it, instance() gives null.
    static void tearDown();

    // Finds the open device with exactly this path (case-sensitive) and counts
    // one more reference, or opens it under a new id.
    AcquireResult acquire(const std::wstring& path);
    void releaseRef(uint32_t id);
    // Waits while another user has the device; null handles when the entry is gone.
    OpenWinUsbDevice beginExclusive(uint32_t id);
    void endExclusive(uint32_t id, bool discard);

    WinUsbHandleRegistry(const WinUsbHandleRegistry&) = delete;
    WinUsbHandleRegistry& operator=(const WinUsbHandleRegistry&) = delete;

private:
    struct Entry {
        UsbFileHandle fileHandle;
        WinUsbInterface winUsbHandle;
        uint32_t referenceCount = 0;
        std::wstring path;
    };

    WinUsbHandleRegistry() = default;
    // Frees the WinUSB interface, then closes the file, then forgets the entry.
    void closeEntry(std::map<uint32_t, Entry>::iterator entry);

    std::mutex mutex_;
    std::condition_variable idleChanged_;
    std::map<uint32_t, Entry> entries_;
    std::set<uint32_t> busyIds_;
    uint32_t nextId_ = 0;
};

// One counted reference on a registry entry, by the entry's id.
struct DeviceReferenceTraits {
    using Type = uint32_t;
    // Ids count up from 0 and are never this one (see acquire()).
    static Type invalid() noexcept { return UINT32_MAX; }
    static void close(Type id) noexcept;
};

// A counted reference on one registry entry, released on destruction.
class DeviceHandleRef {
public:
    DeviceHandleRef();
    DeviceHandleRef(const DeviceHandleRef&) = delete;
    DeviceHandleRef& operator=(const DeviceHandleRef&) = delete;

    // Releases what was held, then opens (or shares) the device at `path`.
    bool open(const std::wstring& path);
    void release() noexcept { reference_.reset(); }

    bool valid() const noexcept { return reference_.valid(); }
    uint32_t id() const noexcept { return reference_.valid() ? reference_.get() : 0; }
    // After an open that failed: which step failed, and its error code.
    DeviceError failedStep() const noexcept { return failedStep_; }
    DWORD error() const noexcept { return error_; }

private:
    platform::Unique<DeviceReferenceTraits> reference_;
    DeviceError failedStep_ = DeviceError::None;
    DWORD error_ = 0;
};

// Exclusive use of one registry entry for the lifetime of the object (or until
// end()). Set discardHandle to have the device closed when the use ends, so that
// the next reference opens it afresh.
class ExclusiveDeviceUse {
public:
    ExclusiveDeviceUse(bool valid, uint32_t id);
    ~ExclusiveDeviceUse() { end(); }
    ExclusiveDeviceUse(const ExclusiveDeviceUse&) = delete;
    ExclusiveDeviceUse& operator=(const ExclusiveDeviceUse&) = delete;

    WINUSB_INTERFACE_HANDLE winUsbHandle() const noexcept { return device_.winUsb; }
    const OpenWinUsbDevice& device() const noexcept { return device_; }
    void end();

    bool discardHandle = false;

private:
    bool valid_;
    uint32_t id_;
    OpenWinUsbDevice device_;
};

}  // namespace discovery
