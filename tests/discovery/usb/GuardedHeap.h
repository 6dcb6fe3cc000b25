#pragma once
// Memory that ends right at a no-access page, so that reading or writing even
// one byte past a block faults at once instead of passing unnoticed.
//
//     fake_usb::FakeUsbWorld world;
//     fake_usb::GuardedHeap heap;   // over the world: the passes' heap blocks are guarded
//     ... run a pass ...
//     EXPECT_EQ(heap.outstanding(), 0);

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "discovery/UsbPlatform.h"

namespace fake_usb {

// One guarded block of `bytes` bytes, filled with `fill`; its last byte is the
// last byte before the no-access page. Kept for reuse after free: the pages are
// reserved once per size class.
class GuardedBlocks {
public:
    GuardedBlocks() = default;
    ~GuardedBlocks();
    GuardedBlocks(const GuardedBlocks&) = delete;
    GuardedBlocks& operator=(const GuardedBlocks&) = delete;

    void* take(size_t bytes, uint8_t fill);
    // False when the pointer is not a block handed out and still held.
    bool give(void* block);

    // Copies `bytes` into a guarded block: for inputs handed to code under test.
    template <typename T>
    T* copyOf(const T* data, size_t count) {
        void* block = take(count * sizeof(T), 0);
        if (count > 0) std::memcpy(block, data, count * sizeof(T));
        return static_cast<T*>(block);
    }

private:
    struct Region {
        uint8_t* base;
        size_t dataPages;
    };
    mutable std::mutex mutex_;  // any thread may take and give
    std::map<void*, Region> held_;
    std::map<size_t, std::vector<uint8_t*>> spare_;  // by data pages
};

// While alive, the platform table's HeapAlloc and HeapFree, over whatever table
// was installed, hand out guarded blocks. Only one at a time.
class GuardedHeap {
public:
    GuardedHeap();
    ~GuardedHeap();
    GuardedHeap(const GuardedHeap&) = delete;
    GuardedHeap& operator=(const GuardedHeap&) = delete;

    int outstanding() const;  // blocks allocated and not yet freed
    int badFrees() const;     // frees of something not allocated here
    void setAllocationsFail(bool fail);

private:
    // Stand-ins for the table's entries of the same names.
    static LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
    static BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);

    discovery::UsbPlatform table_;
    const discovery::UsbPlatform* previous_ = nullptr;
    GuardedBlocks blocks_;
    // Touched by the table's functions on the pass's thread and read by the test.
    mutable std::mutex mutex_;
    int allocated_ = 0;
    int freed_ = 0;
    int badFrees_ = 0;
    bool fail_ = false;
};

}  // namespace fake_usb
