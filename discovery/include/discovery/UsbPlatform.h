#pragma once
// The platform functions the HID pass, the WinUSB pass and the WinUSB handle
// registry call, and the registration for their interfaces' notices, gathered
// in one table. The program uses the table bound to the real SetupAPI, HID,
// WinUSB, kernel32 and user32 functions; tests install a table of their own (a
// scripted device world) so that no hardware is needed.

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
extern "C" {
#include <hidsdi.h>
}

#include "platform/Unique.h"

#include <type_traits>

namespace discovery {

// Every function of the table, by name. The table's entries, the real table
// and the fake device world's table are all made from this one list, each entry
// bound to the function of the same name (`&::name`, `&Impl::name`): no table is
// written out by position, so two functions of one signature cannot trade
// places, and a table whose source lacks one of these functions does not
// compile.
#define KELVANE_USB_PLATFORM_FUNCTIONS(X) \
    /* HID class driver. */               \
    X(HidD_GetHidGuid)                    \
    X(HidD_GetAttributes)                 \
    X(HidD_GetManufacturerString)         \
    X(HidD_GetProductString)              \
    X(HidD_GetSerialNumberString)         \
    /* SetupAPI. */                       \
    X(SetupDiGetClassDevsW)               \
    X(SetupDiEnumDeviceInterfaces)        \
    X(SetupDiGetDeviceInterfaceDetailW)   \
    X(SetupDiDestroyDeviceInfoList)       \
    /* WinUSB. */                         \
    X(WinUsb_Initialize)                  \
    X(WinUsb_Free)                        \
    X(WinUsb_ControlTransfer)             \
    X(WinUsb_GetOverlappedResult)         \
    /* Kernel32. */                       \
    X(CreateFileW)                        \
    X(CloseHandle)                        \
    X(CreateEventW)                       \
    X(WaitForSingleObject)                \
    X(CancelIoEx)                         \
    X(GetProcessHeap)                     \
    X(HeapAlloc)                          \
    X(HeapFree)                           \
    X(GetLastError)                       \
    X(SetLastError)                       \
    X(SwitchToThread)                     \
    /* User32. */                         \
    X(RegisterDeviceNotificationW)

struct UsbPlatform {
    // Not an aggregate: a table is filled by name (KELVANE_USB_PLATFORM_FUNCTIONS),
    // never by position.
    UsbPlatform() noexcept {}

#define KELVANE_USB_PLATFORM_ENTRY(name) decltype(&::name) name = nullptr;
    KELVANE_USB_PLATFORM_FUNCTIONS(KELVANE_USB_PLATFORM_ENTRY)
#undef KELVANE_USB_PLATFORM_ENTRY
};

namespace detail {
#define KELVANE_USB_PLATFORM_HAS(name)      \
    template <typename S, typename = void>  \
    struct Has_##name : std::false_type {}; \
    template <typename S>                   \
    struct Has_##name<S, std::void_t<decltype(&S::name)>> : std::true_type {};
KELVANE_USB_PLATFORM_FUNCTIONS(KELVANE_USB_PLATFORM_HAS)
#undef KELVANE_USB_PLATFORM_HAS
}  // namespace detail

// Replaces the entries of `table` for which Source (a class of static
// functions) has a function of the same name, and leaves the others: a table
// that differs from another in a few entries is bound by name as well.
template <typename Source>
void overrideUsbPlatformEntries(UsbPlatform& table) {
#define KELVANE_USB_PLATFORM_OVERRIDE(name) \
    if constexpr (detail::Has_##name<Source>::value) table.name = &Source::name;
    KELVANE_USB_PLATFORM_FUNCTIONS(KELVANE_USB_PLATFORM_OVERRIDE)
#undef KELVANE_USB_PLATFORM_OVERRIDE
}

// The table bound to the real functions.
const UsbPlatform& realUsbPlatform();

// The table in use: the real one unless another has been installed.
const UsbPlatform& usbPlatform();

// Makes `table` the table in use (null restores the real one) and returns the
// table that was in use before. The table must outlive its installation. Meant
// for tests, between passes: a pass in progress keeps calling whichever table it
// read at each call.
const UsbPlatform* installUsbPlatform(const UsbPlatform* table);

// Owners of what these passes open or allocate through the table, releasing it
// through the table in use. Releasing keeps the table's last error as well as
// the thread's: under a test's table the two are not the same.
struct UsbErrorKeeper {
    UsbErrorKeeper() noexcept : error(usbPlatform().GetLastError()) {}
    ~UsbErrorKeeper() { usbPlatform().SetLastError(error); }
    UsbErrorKeeper(const UsbErrorKeeper&) = delete;
    UsbErrorKeeper& operator=(const UsbErrorKeeper&) = delete;
    DWORD error;
};

struct UsbFileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept {
        UsbErrorKeeper keep;
        usbPlatform().CloseHandle(h);
    }
};

// SetupDiGetClassDevsW fails with INVALID_HANDLE_VALUE; a null set is not one
// to destroy either.
struct UsbDeviceInfoSetTraits {
    using Type = HDEVINFO;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept {
        UsbErrorKeeper keep;
        usbPlatform().SetupDiDestroyDeviceInfoList(h);
    }
};

struct WinUsbInterfaceTraits : platform::NullIsNone<WINUSB_INTERFACE_HANDLE> {
    static void close(Type h) noexcept {
        UsbErrorKeeper keep;
        usbPlatform().WinUsb_Free(h);
    }
};

// A block from the process heap, as T (a pointer type).
template <typename T>
struct UsbHeapBlockTraits : platform::NullIsNone<T> {
    static void close(T block) noexcept {
        UsbErrorKeeper keep;
        const UsbPlatform& os = usbPlatform();
        os.HeapFree(os.GetProcessHeap(), 0, block);
    }
};

// An event made through the table (null when creation failed), closed through it.
struct UsbEventTraits : platform::NullIsNone<HANDLE> {
    static void close(Type h) noexcept {
        UsbErrorKeeper keep;
        usbPlatform().CloseHandle(h);
    }
};

using UsbFileHandle = platform::Unique<UsbFileHandleTraits>;
using UsbEvent = platform::Unique<UsbEventTraits>;
using UsbDeviceInfoSet = platform::Unique<UsbDeviceInfoSetTraits>;
using WinUsbInterface = platform::Unique<WinUsbInterfaceTraits>;
// One block the HID pass allocated from the process heap through the table.
template <typename T>
using MemWrapper = platform::Unique<UsbHeapBlockTraits<T>>;

}  // namespace discovery
