#include "GuardedHeap.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace discovery;

namespace fake_usb {

namespace {

size_t pageSize() {
    static const size_t size = [] {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        return static_cast<size_t>(info.dwPageSize);
    }();
    return size;
}

// The installed heap (at most one), set and cleared by its constructor and destructor.
GuardedHeap* g_installedHeap = nullptr;

}  // namespace

GuardedBlocks::~GuardedBlocks() {
    for (auto& held : held_) ::VirtualFree(held.second.base, 0, MEM_RELEASE);
    for (auto& size : spare_) {
        for (uint8_t* base : size.second) ::VirtualFree(base, 0, MEM_RELEASE);
    }
}

void* GuardedBlocks::take(size_t bytes, uint8_t fill) {
    const size_t page = pageSize();
    const size_t dataPages = bytes == 0 ? 1 : (bytes + page - 1) / page;
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t* base = nullptr;
    std::vector<uint8_t*>& spare = spare_[dataPages];
    if (!spare.empty()) {
        base = spare.back();
        spare.pop_back();
    } else {
        base = static_cast<uint8_t*>(
            ::VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base == nullptr) return nullptr;
        DWORD old = 0;
        ::VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &old);
    }
    uint8_t* block = base + dataPages * page - bytes;
    // The rest of the data pages gets the fill as well: a read before the block
    // then sees the same garbage as the block itself would.
    std::memset(base, fill, dataPages * page);
    held_[block] = Region{base, dataPages};
    return block;
}

bool GuardedBlocks::give(void* block) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = held_.find(block);
    if (found == held_.end()) return false;
    spare_[found->second.dataPages].push_back(found->second.base);
    held_.erase(found);
    return true;
}

GuardedHeap::GuardedHeap() : table_(usbPlatform()) {
    if (g_installedHeap != nullptr) ADD_FAILURE() << "a guarded heap is already installed";
    g_installedHeap = this;
    overrideUsbPlatformEntries<GuardedHeap>(table_);
    previous_ = installUsbPlatform(&table_);
}

GuardedHeap::~GuardedHeap() {
    installUsbPlatform(previous_);
    g_installedHeap = nullptr;
}

LPVOID WINAPI GuardedHeap::HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
    GuardedHeap& self = *g_installedHeap;
    {
        std::lock_guard<std::mutex> lock(self.mutex_);
        if (self.fail_) return nullptr;
    }
    // Without HEAP_ZERO_MEMORY the block holds garbage, as a real heap's may.
    void* block = self.blocks_.take(bytes, static_cast<uint8_t>((flags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xA5));
    if (block != nullptr) {
        std::lock_guard<std::mutex> lock(self.mutex_);
        ++self.allocated_;
    }
    return block;
}

BOOL WINAPI GuardedHeap::HeapFree(HANDLE, DWORD, LPVOID block) {
    GuardedHeap& self = *g_installedHeap;
    const bool known = self.blocks_.give(block);
    std::lock_guard<std::mutex> lock(self.mutex_);
    ++(known ? self.freed_ : self.badFrees_);
    return known ? TRUE : FALSE;
}

int GuardedHeap::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allocated_ - freed_;
}

int GuardedHeap::badFrees() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return badFrees_;
}

void GuardedHeap::setAllocationsFail(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_ = fail;
}

}  // namespace fake_usb
