#pragma once
// A stand-in for the maker's background service: serves the service pipe
// protocol for a fixed set of units, each connection on a thread of its own.
// The service simulator ships with it; the service benchmark and the tests
// use it too, and script the reply to each request. One instance always
// listens while the server runs; an instance a client has left listens again.

#include "platform/ServicePipeProtocol.h"
#include "platform/Unique.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace service_pipe_server {

// One unit as the service describes it.
struct ServiceUnit {
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    uint8_t kind = 1;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    std::wstring devicePath;
};

// The simulator's built-in unit: recognised as a motion unit by the program.
ServiceUnit defaultServiceUnit();

// One request as it arrived. Fields a short message does not hold are 0.
struct ServiceRequestRecord {
    uint32_t number = 0;      // 0, 1, 2, ... over the server's life
    uint32_t connection = 0;  // 1, 2, 3, ... in the order of connecting
    uint32_t size = 0;        // bytes of the request message
    platform::ServiceCommand command{};
    uint32_t sequence = 0;
    uint32_t deviceIndex = 0;
};

// What the server does with one request.
struct ServiceReplyPlan {
    enum class Action {
        Reply,           // send the reply (after the delay)
        NoReply,         // read on, send nothing
        DropConnection,  // close this connection without a reply
        Vanish,          // close every connection and the pipe name: the service is gone
    };
    Action action = Action::Reply;
    DWORD delayMs = 0;
    uint32_t sequenceDelta = 0;                       // added to the sequence number sent back
    uint32_t size = platform::ServiceMessageSize;     // bytes sent: fewer cut the reply, more pad it with zeros
    std::function<void(std::vector<uint8_t>&)> edit;  // last say over the bytes sent
};

using ServiceScript = std::function<ServiceReplyPlan(const ServiceRequestRecord&)>;

// The reply a well-behaved service gives: the count, a unit's identity or one
// of its strings. An unknown command or index gets a reply with an empty payload.
platform::ServiceMessage buildServiceReply(const std::vector<ServiceUnit>& units, const ServiceRequestRecord& request);

// What an impersonation attempt on a connection saw.
struct ImpersonationResult {
    bool impersonated = false;
    DWORD error = 0;  // of the call that failed
    int level = -1;   // SECURITY_IMPERSONATION_LEVEL of the thread token, -1 when unknown
};

struct ServerCounts {
    uint32_t opened = 0;
    uint32_t closedByClient = 0;  // the client closed its end
    uint32_t closedByServer = 0;  // dropped, vanished or stopped
    uint32_t active() const { return opened - closedByClient - closedByServer; }
};

class ServicePipeServer {
public:
    enum class ConnectionEvent { Opened, Closed };
    using RequestObserver = std::function<void(const ServiceRequestRecord&, const ServiceReplyPlan&)>;
    using ConnectionObserver = std::function<void(ConnectionEvent, uint32_t connection, const ServerCounts&)>;

    ServicePipeServer(std::wstring serviceName, std::vector<ServiceUnit> units,
                      DWORD maxInstances = PIPE_UNLIMITED_INSTANCES);
    ~ServicePipeServer();
    ServicePipeServer(const ServicePipeServer&) = delete;
    ServicePipeServer& operator=(const ServicePipeServer&) = delete;

    // Set these before start.
    void setScript(ServiceScript script) { script_ = std::move(script); }
    void setRequestObserver(RequestObserver observer) { requestObserver_ = std::move(observer); }
    void setConnectionObserver(ConnectionObserver observer) { connectionObserver_ = std::move(observer); }
    // Keep every request for requests() (off for long runs).
    void setRecordRequests(bool record) { recordRequests_ = record; }
    // Impersonate each client at its first request and note what that gave.
    void setCheckImpersonation(bool check) { checkImpersonation_ = check; }

    // Creates the first pipe instance and starts serving. False (with the error
    // in lastError()) when the name cannot be served, e.g. another server has it.
    bool start();
    // Closes every connection and the pipe name and ends all threads.
    void stop();
    // True after stop() or a Vanish.
    bool stopped() const;
    DWORD lastError() const { return lastError_; }
    const std::wstring& serviceName() const { return serviceName_; }

    ServerCounts counts() const;
    std::vector<ServiceRequestRecord> requests() const;
    std::vector<ImpersonationResult> impersonations() const;
    // Waits until no connection is open, at most timeoutMs; true when none is.
    bool waitUntilIdle(DWORD timeoutMs) const;

private:
    // One pipe instance and the thread that listens on it and serves each
    // client that connects to it, one after the other.
    struct Slot;
    enum class Listen { Connected, Again, Failed };

    platform::UniqueFileHandle createInstance(bool first);
    void closeInstance(platform::UniqueFileHandle& pipe);
    void addSlot(platform::UniqueFileHandle pipe);
    void manage();
    void runSlot(Slot& slot);
    Listen listen(Slot& slot);
    bool serve(Slot& slot, uint32_t connection);
    bool waitIo(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred);
    void noteImpersonation(HANDLE pipe);
    void reapFinished();

    const std::wstring serviceName_;
    const std::wstring pipePath_;
    const std::vector<ServiceUnit> units_;
    const DWORD maxInstances_;
    ServiceScript script_;
    RequestObserver requestObserver_;
    ConnectionObserver connectionObserver_;
    bool recordRequests_ = true;
    bool checkImpersonation_ = false;
    DWORD lastError_ = 0;

    platform::UniqueHandle stopEvent_;
    platform::UniqueHandle slotTaken_;  // a client connected: the manager makes sure another slot listens
    std::thread manager_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Slot>> slots_;
    uint32_t idleSlots_ = 0;
    uint32_t liveInstances_ = 0;
    ServerCounts counts_;
    uint32_t nextRequestNumber_ = 0;
    std::vector<ServiceRequestRecord> requests_;
    std::vector<ImpersonationResult> impersonations_;
};

}  // namespace service_pipe_server
