#pragma once
// The HID pass: appends the present HID devices that pass the filters, skipping
// those that duplicate a unit the service or WinUSB pass already listed.

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"

// Owns one value the pass allocated through the platform. On destruction a
// non-null value goes to the release function, or, without one, back to the
// process heap.
template <typename T>
class MemWrapper {
public:
    using ReleaseFunction = BOOL(WINAPI*)(T);

    explicit MemWrapper(T value = nullptr, ReleaseFunction release = nullptr) noexcept
        : value_(value), release_(release) {}
    virtual ~MemWrapper() {
        if (value_ == nullptr) return;
        if (release_ != nullptr) {
            release_(value_);
        } else {
            const UsbPlatform& os = usbPlatform();
            os.HeapFree(os.GetProcessHeap(), 0, value_);
        }
    }

    MemWrapper(const MemWrapper&) = delete;
    MemWrapper& operator=(const MemWrapper&) = delete;

    T get() const noexcept { return value_; }

private:
    T value_;
    ReleaseFunction release_;
};

// The instance marker every listed HID interface path carries.
constexpr wchar_t kHidInstanceMarker[] = L"&0000#{";

void enumerateHidDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         bool removeDuplicates);
