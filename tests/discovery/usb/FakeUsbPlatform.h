#pragma once
// A scripted device world behind the USB platform table: HID interfaces and
// WinUSB devices with their paths, setup classes, attributes, strings, raw
// descriptors and per-call failures. It counts every device-info set, file
// handle, WinUSB handle and heap block opened and released, and records the
// order of the calls it answers.
//
//     fake_usb::FakeUsbWorld world;                  // installed until it goes away
//     world.addHidInterface(fake_usb::hidPath(0x0483, 0xA110, 0), 0x0483, 0xA110,
//                           L"Maker", L"Unit", L"SERIAL1");
//     world.addWinUsbDevice(fake_usb::winUsbPath(0x0483, 0xA110, L"SERIAL1"),
//                           L"Maker", L"Unit", L"SERIAL1");
//     ... run a pass ...
//     EXPECT_TRUE(world.allReleased());
//
// The fake answers from any thread. It never reaches the real WinUSB functions,
// and neither does a test of a process that uses this library (see below).

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/DeviceInfo.h"
#include "discovery/UsbPlatform.h"

namespace fake_usb {

// A standard 18-byte USB device descriptor naming the given string indexes.
std::vector<uint8_t> deviceDescriptor(uint8_t iManufacturer, uint8_t iProduct, uint8_t iSerialNumber);
// A string descriptor: bLength, type 3, then the UTF-16 text (bLength is cut to a byte).
std::vector<uint8_t> stringDescriptor(const std::wstring& text);

// Interface paths as Windows forms them.
std::wstring hidPath(uint16_t vendorId, uint16_t productId, int instance);
std::wstring winUsbPath(uint16_t vendorId, uint16_t productId, const std::wstring& serialNumber);

extern const GUID HidInterfaceGuid;
extern const GUID HidSetupClassGuid;

struct HidInterface {
    std::wstring path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    // Scripted behaviour.
    bool zeroDetailSize = false;    // the sizing call reports 0 bytes
    DWORD detailSizeOverride = 0;   // when not 0, the sizing call reports this size
    DWORD detailSizeAfterRead = 0;  // when not 0, the detail read reports this size afterwards
    bool failDetail = false;        // the detail read itself fails
    bool failOpen = false;
    // Held by the system or another program without write sharing: only an
    // open that asks for no access rights succeeds.
    bool heldExclusively = false;
    bool failAttributes = false;
    bool failManufacturer = false;
    bool failProduct = false;
    bool failSerialNumber = false;
    bool unterminatedStrings = false;  // string reads succeed without writing the NUL
    // A unit that stopped answering: its string reads return only once the
    // world lets them go (releaseStalls, or the world's end).
    bool stalls = false;
};

struct WinUsbDevice {
    std::wstring path;
    bool present = true;  // false: unplugged, not enumerated
    GUID setupClass{};
    std::vector<uint8_t> deviceDescriptor;
    // By index; index 0 (the language list, asked for with language 0) lists
    // 0x0409, the strings answer in `stringLanguage` only.
    std::map<uint8_t, std::vector<uint8_t>> stringDescriptors;
    USHORT stringLanguage = 0x0409;
    std::map<uint8_t, DWORD> stringErrors;  // reads of these indexes fail with the error code
    // A request shorter than a descriptor: fail with ERROR_INSUFFICIENT_BUFFER
    // instead of returning the part that fits.
    bool oversizeFailsWithInsufficientBuffer = false;
    bool failDetail = false;
    bool failOpen = false;  // with ERROR_ACCESS_DENIED
    // Another program has it open: WinUSB allows one opener, so every open
    // here fails with ERROR_SHARING_VIOLATION.
    bool heldByAnotherProgram = false;
    bool failInitialize = false;
    bool failDeviceDescriptor = false;
    // Transfers: none of them completes until it is cancelled, or each
    // completes only this many milliseconds after it started (0: at once).
    bool transfersNeverComplete = false;
    DWORD transfersCompleteAfterMs = 0;
    // A cancelled transfer stays pending: the driver has not let go of it.
    bool cancelNeverFinishes = false;
};

struct Counters {
    int setsOpened = 0;
    int setsClosed = 0;
    int filesOpened = 0;
    int filesClosed = 0;
    int winUsbOpened = 0;
    int winUsbFreed = 0;
    int heapAllocated = 0;
    int heapFreed = 0;
    int eventsOpened = 0;
    int eventsClosed = 0;
    int transfersStarted = 0;
    int transfersCancelled = 0;
    // Transfers whose result was collected after they finished.
    int transfersCollected = 0;
    // Releases of something that was not open (double close, stray handle), and
    // of memory or an event that a pending transfer still uses.
    int badReleases = 0;
    // Calls that must never happen here (the real WinUSB functions under Wine).
    int forbiddenCalls = 0;
};

struct DescriptorRequest {
    UCHAR type;
    UCHAR index;
    USHORT languageId;
    ULONG bufferSize;
};

struct OpenRequest {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD flagsAndAttributes;
};

class FakeUsbWorld {
public:
    // Installs the fake into the platform table; only one at a time.
    FakeUsbWorld();
    // Restores the table that was in use; reports a test failure if a file or
    // WinUSB handle it handed out is still open.
    ~FakeUsbWorld();
    FakeUsbWorld(const FakeUsbWorld&) = delete;
    FakeUsbWorld& operator=(const FakeUsbWorld&) = delete;

    static FakeUsbWorld* current();

    // The returned references stay valid for the world's lifetime; script them
    // before the pass runs.
    HidInterface& addHidInterface(const std::wstring& path, uint16_t vendorId, uint16_t productId,
                                  const std::wstring& manufacturer, const std::wstring& product,
                                  const std::wstring& serialNumber);
    // Strings at indexes 1, 2 and 3; an empty serial number gives iSerialNumber 0.
    WinUsbDevice& addWinUsbDevice(const std::wstring& path, const std::wstring& manufacturer,
                                  const std::wstring& product, const std::wstring& serialNumber);

    void setClassDevsFails(bool fails);
    void setHeapAllocFails(bool fails);
    // Lets every stalled string read return (failing), now and from now on.
    void releaseStalls();
    // String reads of stalled units that have not returned yet.
    int stalledCalls() const;
    // What a driver does at last with transfers whose cancel never finished:
    // completes them, and the memory and events left to them are let go.
    void finishAbandonedTransfers();
    // The interface classes RegisterDeviceNotificationW was asked for, in order
    // (the calls go on to the system).
    std::vector<GUID> noticeClasses() const;
    // Lets a test's own callbacks mark their place in the call order.
    void note(const std::string& call);

    Counters counters() const;
    // Everything opened has been released, and nothing was released twice.
    bool allReleased() const;
    int openFiles() const;
    int openWinUsbHandles() const;
    // Transfers started and not yet collected (pending, or finished and unread).
    int unfinishedTransfers() const;
    std::vector<std::string> calls() const;
    std::vector<DescriptorRequest> descriptorRequests() const;
    std::vector<OpenRequest> openRequests() const;
    void clearCalls();

private:
    struct Impl;
    friend struct Impl;

    discovery::UsbPlatform table_;
    const discovery::UsbPlatform* previous_ = nullptr;

    mutable std::mutex mutex_;
    std::deque<HidInterface> hid_;
    std::deque<WinUsbDevice> winUsb_;
    bool classDevsFails_ = false;
    bool heapAllocFails_ = false;
    bool stallsReleased_ = false;
    int stalledCalls_ = 0;
    std::condition_variable stallChanged_;
    std::vector<GUID> noticeClasses_;
    Counters counters_;
    std::vector<std::string> calls_;
    std::vector<DescriptorRequest> descriptorRequests_;
    std::vector<OpenRequest> openRequests_;
    uintptr_t nextHandle_ = 0x10000;
    std::map<HDEVINFO, bool> sets_;                // set -> enumerates HID (else WinUSB)
    std::map<HANDLE, HidInterface*> hidFiles_;     // open HID device -> its interface
    std::map<HANDLE, WinUsbDevice*> winUsbFiles_;  // open WinUSB device -> the device
    std::map<WINUSB_INTERFACE_HANDLE, WinUsbDevice*> winUsbHandles_;
    std::map<void*, SIZE_T> heapBlocks_;  // block -> its size
    std::map<HANDLE, bool> events_;       // event -> signalled
    struct Transfer {
        WinUsbDevice* device;
        LPOVERLAPPED overlapped;
        PUCHAR buffer;
        std::vector<uint8_t> answer;  // what the device sends when it completes
        DWORD error;                  // or the error it completes with
        ULONGLONG dueTick;            // when it completes by itself; 0: never
        bool finished;
    };
    std::deque<Transfer> transfers_;
};

// Filters that accept everything and mark their place in the current world's
// call order ("IdFilter", "DescriptionFilter").
bool noteIdFilter(uint32_t vendorId, uint32_t productId);
bool noteDescriptionFilter(uint32_t vendorId, uint32_t productId, const std::wstring& manufacturer,
                           const std::wstring& product);

// How often `name` occurs in a call log.
size_t countOf(const std::vector<std::string>& calls, const std::string& name);

// The device paths of a list, in list order.
std::vector<std::wstring> devicePaths(const discovery::DeviceList& list);

// The real platform functions behind counting wrappers: sets, files and heap
// blocks are counted; every WinUSB entry is replaced by one that fails and
// counts a forbidden call. For tests that run the real HID pass under Wine.
class CountingRealUsbPlatform {
public:
    CountingRealUsbPlatform();
    ~CountingRealUsbPlatform();
    CountingRealUsbPlatform(const CountingRealUsbPlatform&) = delete;
    CountingRealUsbPlatform& operator=(const CountingRealUsbPlatform&) = delete;

    Counters counters() const;
    bool allReleased() const;

private:
    discovery::UsbPlatform table_;
    const discovery::UsbPlatform* previous_ = nullptr;
    int forbiddenAtStart_ = 0;
};

// A process that uses this library runs, from its start, with the real platform
// table except for the WinUSB entries, which fail and count instead (Wine's
// WinUSB functions abort the process). FakeUsbWorld and CountingRealUsbPlatform
// install over it and restore it. The number of such calls so far:
int forbiddenWinUsbCalls();

}  // namespace fake_usb
