#pragma once
// The service pass: asks the maker's background service, over its named pipe,
// for the devices it owns.

#include "discovery/DeviceInfo.h"
#include "platform/Unique.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace discovery {

// How long a reply (and the write of a request) may take.
constexpr DWORD ServiceReplyTimeoutMs = 100;
// How long one wait for a busy pipe instance may take.
constexpr DWORD ServiceBusyWaitMs = 100;
// How many busy waits one connect makes before it gives up.
constexpr int ServiceBusyWaitLimit = 10;
// How long the system gets to finish a cancelled read or write.
constexpr DWORD ServiceCancelTimeoutMs = 1000;
// After this many time-outs in a row a pass asks no further device: a service
// that stopped answering costs a few hundred milliseconds, not one wait per device.
constexpr int ServiceTimeoutLimit = 3;

// One conversation with the service, for one pass. Every request takes the
// next sequence number, counted from 0 across reconnections. Failures are
// logged as ServiceNoRequest to ServiceWrite (2000-2006, diagnostics/LogNumbers.h),
// a wait that ran out with ERROR_SEM_TIMEOUT (121), as the USB passes do.
class ServicePipeClient {
public:
    explicit ServicePipeClient(const std::wstring& serviceName);
    ~ServicePipeClient();
    ServicePipeClient(const ServicePipeClient&) = delete;
    ServicePipeClient& operator=(const ServicePipeClient&) = delete;

    // Opens the pipe unless it is open; true when it is open afterwards.
    bool connect();
    bool isOpen() const { return pipe_.valid(); }
    // Sends one request message and waits for one reply message. Returns the
    // number of reply bytes received, 0 on every failure; a failed write or read
    // closes the connection. Nothing is written into `reply` after it returns.
    uint32_t exchange(const void* request, uint32_t requestSize, void* reply, uint32_t replySize);
    void close();

    uint32_t nextSequence() const { return nextSequence_; }
    // How many times the last connect waited for a busy pipe instance.
    int busyWaits() const { return busyWaits_; }
    // Exchanges since the last reply whose wait expired (a write or read that
    // did not complete in time, or a connect that gave up on a busy pipe).
    int consecutiveTimeouts() const { return consecutiveTimeouts_; }
    // The sequence number for the next request; the counter moves on.
    uint32_t takeSequence() { return nextSequence_++; }

private:
    struct Operation;
    bool transfer(Operation& op, bool isWrite, uint32_t size, DWORD& transferred, DWORD& error);
    bool finishCancelled(Operation& op);

    std::wstring pipePath_;
    platform::UniqueFileHandle pipe_;
    uint32_t nextSequence_ = 0;
    int consecutiveTimeouts_ = 0;
    int busyWaits_ = 0;
    // The buffers, OVERLAPPED structures and events of the write and the read.
    std::unique_ptr<Operation> write_;
    std::unique_ptr<Operation> read_;
};

// The service pass on the service's fixed name.
bool queryServiceDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter);
// The same on another service name (the simulator and tests serve other names).
bool queryServiceDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         const std::wstring& serviceName);

}  // namespace discovery
