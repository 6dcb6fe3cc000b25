#include "UnitsLookup.h"

#include "diagnostics/Log.h"
#include "discovery/Discovery.h"
#include "discovery/MotionUnit.h"
#include "platform/Thread.h"
#include "platform/Unique.h"
#include "units/UnitsCommand.h"

#include <atomic>
#include <cwchar>
#include <memory>

namespace units {

using discovery::DeviceSource;
using platform::UniqueHandle;

namespace {

// The worker's stack: discovery keeps its buffers on the heap, so a fraction
// of the default reservation is plenty.
constexpr unsigned LookupStackBytes = 256 * 1024;

// What the caller and the worker share, held by both: the worker fills
// `devices` and then sets `done`; the caller reads `devices` only after that,
// and `pass` (atomic) at any time.
struct LookupShared {
    explicit LookupShared(bool keepRejected) : keepRejected(keepRejected) {}
    const bool keepRejected;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<uint32_t> pass{static_cast<uint32_t>(DeviceSource::Service)};
    discovery::DeviceList devices;
};

// Lookups started and not yet ended, on any thread; each worker counts itself
// out as the last thing it does.
std::atomic<int> g_runningLookups{0};

void runLookup(LookupShared& shared) {
    discovery::DiscoveryPassReport report(shared.pass);
    try {
        discovery::discoverMotionUnitDevices(shared.devices, shared.keepRejected);
    } catch (...) {
        shared.devices.clear();  // out of memory: this lookup finds nothing
    }
}

// The worker's body: it holds its own share of the block, so a caller that
// gave it up never frees what it still writes.
void lookupWorker(const std::shared_ptr<LookupShared>& shared) {
    runLookup(*shared);
    SetEvent(shared->done.get());
}

const char* passName(DeviceSource pass) {
    switch (pass) {
    case DeviceSource::Hid: return "HID";
    case DeviceSource::WinUsb: return "WinUSB";
    default: return "service";
    }
}

}  // namespace

int lookupsRunning() { return g_runningLookups.load(); }

LookupOutcome lookUp(bool keepRejected, DWORD timeoutMs, HANDLE stop) {
    LookupOutcome outcome;
    auto shared = std::make_shared<LookupShared>(keepRejected);
    UniqueHandle worker;
    if (shared->done) {
        ++g_runningLookups;
        worker = platform::startThread(
            [shared]() mutable {
                lookupWorker(shared);
                shared.reset();
                --g_runningLookups;  // the last thing it does, its share let go
            },
            LookupStackBytes);
        if (!worker) --g_runningLookups;
    }
    if (!worker) {
        runLookup(*shared);
        outcome.devices = std::move(shared->devices);
        return outcome;
    }

    // The stop first: when both are set, the watch ends.
    HANDLE waits[2];
    DWORD count = 0;
    if (stop != nullptr) waits[count++] = stop;
    waits[count++] = shared->done.get();
    const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
    if (waited == WAIT_OBJECT_0 + count - 1) {
        outcome.devices = std::move(shared->devices);
    } else if (stop != nullptr && waited == WAIT_OBJECT_0) {
        outcome.end = LookupEnd::Stopped;
    } else {
        outcome.end = LookupEnd::TimedOut;
        outcome.pass = static_cast<DeviceSource>(shared->pass.load());
    }
    return outcome;
}

std::wstring lookupTimedOut(DeviceSource pass, DWORD timeoutMs) {
    diagnostics::logError("GEC:%d, X:%lu, %s", static_cast<int>(LookupTimedOutNumber),
                          static_cast<unsigned long>(timeoutMs), passName(pass));
    const wchar_t* from = pass == DeviceSource::Hid      ? L"a HID device"
                          : pass == DeviceSource::WinUsb ? L"a WinUSB device"
                                                         : L"the Tavrello service";
    wchar_t bound[32];
    if (timeoutMs % 1000 == 0) {
        swprintf(bound, 32, L"%lu second%ls", static_cast<unsigned long>(timeoutMs / 1000),
                 timeoutMs == 1000 ? L"" : L"s");
    } else {
        swprintf(bound, 32, L"%lu ms", static_cast<unsigned long>(timeoutMs));
    }
    return std::wstring(L"kelvane-units: no answer within ") + bound + L" from " + from +
           L"; the lookup was given up (a unit that stopped answering may need to be unplugged and plugged in "
           L"again)\r\n";
}

}  // namespace units
