#include "discovery/WinUsbHandleRegistry.h"

#include <atomic>
#include <cstdlib>

namespace discovery {

namespace {

// Any thread may ask for the registry first: the one that counts 1 creates it
// and publishes the pointer; the others wait for the pointer. Atomics, no lock.
std::atomic<uint32_t> g_creationCounter{0};
std::atomic<WinUsbHandleRegistry*> g_registryPointer{nullptr};
// Set by the teardown: from then on there is no registry, and nobody waits for one.
std::atomic<bool> g_tornDown{false};

void tearDownAtExit() { WinUsbHandleRegistry::tearDown(); }

}  // namespace

WinUsbHandleRegistry* WinUsbHandleRegistry::instance() {
    WinUsbHandleRegistry* registry = g_registryPointer.load(std::memory_order_acquire);
    if (registry != nullptr) return registry;
    if (g_creationCounter.load() == 0 && ++g_creationCounter == 1) {
        registry = new WinUsbHandleRegistry();
        std::atexit(tearDownAtExit);
        g_registryPointer.store(registry, std::memory_order_release);
        return registry;
    }
    while ((registry = g_registryPointer.load(std::memory_order_acquire)) == nullptr) {
        if (g_tornDown.load(std::memory_order_acquire)) return nullptr;
        usbPlatform().SwitchToThread();
    }
    return registry;
}

void WinUsbHandleRegistry::tearDown() {
    WinUsbHandleRegistry* registry = g_registryPointer.load(std::memory_order_acquire);
    g_tornDown.store(true, std::memory_order_release);
    if (registry == nullptr) return;
    registry->busyIds_.clear();
    while (!registry->entries_.empty()) registry->closeEntry(registry->entries_.begin());
    g_registryPointer.store(nullptr, std::memory_order_release);
    delete registry;
}

void WinUsbHandleRegistry::closeEntry(std::map<uint32_t, Entry>::iterator entry) {
    entry->second.winUsbHandle.reset();
    entry->second.fileHandle.reset();
    entries_.erase(entry);
}

WinUsbHandleRegistry::AcquireResult WinUsbHandleRegistry::acquire(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, entry] : entries_) {
        if (entry.path == path) {
            ++entry.referenceCount;
            return {true, id};
        }
    }

    const UsbPlatform& os = usbPlatform();
    UsbFileHandle fileHandle(os.CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED, nullptr));
    if (!fileHandle) return {false, 0, DeviceError::WinUsbOpen, os.GetLastError()};
    WinUsbInterface winUsbHandle;
    if (!os.WinUsb_Initialize(fileHandle.get(), winUsbHandle.put())) {
        const DWORD error = os.GetLastError();
        // A failed initialisation leaves nothing to free.
        winUsbHandle.release();
        return {false, 0, DeviceError::WinUsbInitialize, error};
    }

    // An id is never the one that means "no reference"; one still in use after
    // the counter wrapped is not handed out twice.
    while (nextId_ == DeviceReferenceTraits::invalid() || entries_.count(nextId_) != 0) ++nextId_;
    const uint32_t id = nextId_++;
    Entry& entry = entries_[id];
    entry.fileHandle = std::move(fileHandle);
    entry.winUsbHandle = std::move(winUsbHandle);
    entry.referenceCount = 1;
    entry.path = path;
    return {true, id};
}

void WinUsbHandleRegistry::releaseRef(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(id);
    if (entry == entries_.end()) return;
    if (entry->second.referenceCount > 0 && --entry->second.referenceCount > 0) return;
    // While the device is in use, the end of that use closes it.
    if (busyIds_.count(id) == 0) closeEntry(entry);
}

OpenWinUsbDevice WinUsbHandleRegistry::beginExclusive(uint32_t id) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto entry = entries_.find(id);
        if (entry == entries_.end()) return OpenWinUsbDevice();
        if (busyIds_.count(id) == 0) {
            busyIds_.insert(id);
            return {entry->second.fileHandle.get(), entry->second.winUsbHandle.get()};
        }
        idleChanged_.wait(lock);
    }
}

void WinUsbHandleRegistry::endExclusive(uint32_t id, bool discard) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busyIds_.erase(id);
        auto entry = entries_.find(id);
        if (entry != entries_.end() && (entry->second.referenceCount == 0 || discard)) closeEntry(entry);
    }
    idleChanged_.notify_all();
}

DeviceHandleRef::DeviceHandleRef() { WinUsbHandleRegistry::instance(); }

bool DeviceHandleRef::open(const std::wstring& path) {
    release();
    WinUsbHandleRegistry* registry = WinUsbHandleRegistry::instance();
    if (registry == nullptr) return false;
    const WinUsbHandleRegistry::AcquireResult result = registry->acquire(path);
    failedStep_ = result.failedStep;
    error_ = result.error;
    if (result.valid) reference_.reset(result.id);
    return result.valid;
}

void DeviceReferenceTraits::close(uint32_t id) noexcept {
    if (WinUsbHandleRegistry* registry = WinUsbHandleRegistry::instance()) registry->releaseRef(id);
}

ExclusiveDeviceUse::ExclusiveDeviceUse(bool valid, uint32_t id) : valid_(valid), id_(id) {
    if (!valid_) return;
    if (WinUsbHandleRegistry* registry = WinUsbHandleRegistry::instance()) {
        device_ = registry->beginExclusive(id_);
    } else {
        valid_ = false;
    }
}

void ExclusiveDeviceUse::end() {
    if (!valid_) return;
    valid_ = false;
    device_ = OpenWinUsbDevice();
    if (WinUsbHandleRegistry* registry = WinUsbHandleRegistry::instance()) registry->endExclusive(id_, discardHandle);
}

}  // namespace discovery
