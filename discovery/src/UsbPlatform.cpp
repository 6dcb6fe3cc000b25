#include "discovery/UsbPlatform.h"

#include <atomic>

namespace discovery {

namespace {

// Null while the real table is in use.
std::atomic<const UsbPlatform*> g_installedTable{nullptr};

}  // namespace

// Built on first use, so that tables built during static initialisation of
// other files can copy it.
const UsbPlatform& realUsbPlatform() {
    static const UsbPlatform table = [] {
        UsbPlatform real;
#define KELVANE_BIND_REAL(name) real.name = &::name;
        KELVANE_USB_PLATFORM_FUNCTIONS(KELVANE_BIND_REAL)
#undef KELVANE_BIND_REAL
        return real;
    }();
    return table;
}

const UsbPlatform& usbPlatform() {
    const UsbPlatform* table = g_installedTable.load(std::memory_order_acquire);
    return table != nullptr ? *table : realUsbPlatform();
}

const UsbPlatform* installUsbPlatform(const UsbPlatform* table) {
    const UsbPlatform* previous = g_installedTable.exchange(table, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &realUsbPlatform();
}

}  // namespace discovery
