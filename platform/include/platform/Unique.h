#pragma once
// Move-only owners of platform resources: one small traits type per kind of
// resource, with the value that means "nothing owned" spelled out by the traits.
//
// A traits type gives `Type`, `invalid()` and `close(Type)`. When more than one
// value means "nothing owned" (SetupAPI hands out both null and
// INVALID_HANDLE_VALUE), it also gives `isValid(Type)`, the one check for that
// kind of resource.
//
// Closing never changes the thread's last error: code that reads
// GetLastError() after a failure may release what it held first.

#include <windows.h>

#include <type_traits>
#include <utility>

namespace platform {

namespace detail {

template <typename Traits, typename = void>
struct HasValidityCheck : std::false_type {};

template <typename Traits>
struct HasValidityCheck<Traits, std::void_t<decltype(Traits::isValid(std::declval<typename Traits::Type>()))>>
    : std::true_type {};

}  // namespace detail

// Keeps the thread's last error across a cleanup.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept : error_(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    // Whether `value` is something to close.
    static bool owns(Type value) noexcept {
        if constexpr (detail::HasValidityCheck<Traits>::value) {
            return Traits::isValid(value);
        } else {
            return value != Traits::invalid();
        }
    }

    Unique() noexcept : value_(Traits::invalid()) {}
    explicit Unique(Type value) noexcept : value_(value) {}
    ~Unique() { reset(); }

    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return owns(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // Closes what is owned (keeping the thread's last error) and takes `value`.
    void reset(Type value = Traits::invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (!owns(old)) return;
        LastErrorKeeper keep;
        Traits::close(old);
    }

    // For out-parameters: closes what is owned and hands out the slot.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_;
};

// The common case: null means nothing owned.
template <typename T>
struct NullIsNone {
    using Type = T;
    static Type invalid() noexcept { return nullptr; }
};

// Files, pipes and devices: CreateFileW fails with INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};

// Events, threads and other kernel objects: creation fails with null.
struct KernelHandleTraits : NullIsNone<HANDLE> {
    static void close(Type h) noexcept { ::CloseHandle(h); }
};

struct GlobalMemoryTraits : NullIsNone<HGLOBAL> {
    static void close(Type h) noexcept { ::GlobalFree(h); }
};

// Blocks the system allocates for the caller with LocalAlloc (SID strings,
// formatted messages).
struct LocalMemoryTraits : NullIsNone<HLOCAL> {
    static void close(Type h) noexcept { ::LocalFree(h); }
};

// The lock GlobalLock took on a movable block.
struct GlobalLockTraits : NullIsNone<HGLOBAL> {
    static void close(Type h) noexcept { ::GlobalUnlock(h); }
};

struct RegistryKeyTraits : NullIsNone<HKEY> {
    static void close(Type h) noexcept { ::RegCloseKey(h); }
};

// The clipboard this thread opened (OpenClipboard's owner window may be null,
// so the owner is the success of the open).
struct OpenClipboardTraits {
    using Type = bool;
    static Type invalid() noexcept { return false; }
    static void close(Type) noexcept { ::CloseClipboard(); }
};

// A thread-pool timer: stopped, its callbacks that already started waited for
// (keep them short: they must not wait on the closing thread), then closed.
struct ThreadpoolTimerTraits : NullIsNone<PTP_TIMER> {
    static void close(Type t) noexcept {
        ::SetThreadpoolTimer(t, nullptr, 0, 0);
        ::WaitForThreadpoolTimerCallbacks(t, TRUE);
        ::CloseThreadpoolTimer(t);
    }
};

// A WinEvent hook.
struct WinEventHookTraits : NullIsNone<HWINEVENTHOOK> {
    static void close(Type h) noexcept { ::UnhookWinEvent(h); }
};

// A window's (or a service's) registration for device notices.
struct DeviceNotificationTraits : NullIsNone<HDEVNOTIFY> {
    static void close(Type h) noexcept { ::UnregisterDeviceNotification(h); }
};

// A window this thread created; destroyed on that thread.
struct WindowTraits : NullIsNone<HWND> {
    static void close(Type h) noexcept { ::DestroyWindow(h); }
};

// A memory device context (CreateCompatibleDC); whatever is selected into it
// is let go with it.
struct MemoryDcTraits : NullIsNone<HDC> {
    static void close(Type h) noexcept { ::DeleteDC(h); }
};

// A GDI drawing object (a bitmap, brush, pen or font), deleted once no device
// context has it selected.
struct GdiObjectTraits : NullIsNone<HGDIOBJ> {
    static void close(Type h) noexcept { ::DeleteObject(h); }
};

// A COM interface pointer, released once.
template <typename Interface>
struct ComTraits : NullIsNone<Interface*> {
    using Type = Interface*;
    static void close(Type p) noexcept { p->Release(); }
};

using UniqueFileHandle = Unique<FileHandleTraits>;
using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueGlobal = Unique<GlobalMemoryTraits>;
using UniqueLocal = Unique<LocalMemoryTraits>;
using UniqueGlobalLock = Unique<GlobalLockTraits>;
using UniqueRegistryKey = Unique<RegistryKeyTraits>;
using UniqueClipboard = Unique<OpenClipboardTraits>;
using UniqueThreadpoolTimer = Unique<ThreadpoolTimerTraits>;
using UniqueWinEventHook = Unique<WinEventHookTraits>;
using UniqueDeviceNotification = Unique<DeviceNotificationTraits>;
using UniqueWindow = Unique<WindowTraits>;
using UniqueMemoryDc = Unique<MemoryDcTraits>;
using UniqueGdiObject = Unique<GdiObjectTraits>;
template <typename Interface>
using UniqueCom = Unique<ComTraits<Interface>>;

}  // namespace platform
