#include "service_pipe_server/ServicePipeServer.h"

#include <algorithm>
#include <chrono>
#include <iterator>

using namespace platform;

namespace service_pipe_server {

namespace {

constexpr DWORD PipeBufferSize = 4096;
// A longer request message ends its connection.
constexpr DWORD RequestBufferSize = 4096;
// How long a vanishing service waits for its other instances to close.
constexpr DWORD VanishTimeoutMs = 5000;

}  // namespace

struct ServicePipeServer::Slot {
    platform::UniqueFileHandle pipe;
    platform::UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread;
    bool idle = true;       // guarded by mutex_
    bool finished = false;  // guarded by mutex_
};

ServiceUnit defaultServiceUnit() {
    ServiceUnit unit;
    unit.vendorId = 0x0483;
    unit.productId = 0xA110;
    unit.kind = 1;
    unit.manufacturer = L"Tavrello";
    unit.product = L"Kelvane Motion Unit";
    unit.serialNumber = L"SIM0000000000000000000001";
    unit.devicePath = L"\\\\?\\usb#vid_0483&pid_a110#sim0000000000000000000001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    return unit;
}

ServiceMessage buildServiceReply(const std::vector<ServiceUnit>& units, const ServiceRequestRecord& request) {
    ServiceMessage reply{};
    writeLe32(&reply[ServiceReplySequenceOffset], request.sequence);
    if (request.command == ServiceCommand::DeviceCount) {
        writeLe32(&reply[ServiceReplyCountOffset], static_cast<uint32_t>(units.size()));
        return reply;
    }
    if (request.deviceIndex >= units.size()) return reply;
    const ServiceUnit& unit = units[request.deviceIndex];
    switch (request.command) {
    case ServiceCommand::DeviceIdentity:
        writeLe32(&reply[ServiceReplyVendorIdOffset], unit.vendorId);
        writeLe32(&reply[ServiceReplyProductIdOffset], unit.productId);
        reply[ServiceReplyKindOffset] = unit.kind;
        break;
    case ServiceCommand::Manufacturer: writeServiceString(reply, unit.manufacturer); break;
    case ServiceCommand::Product: writeServiceString(reply, unit.product); break;
    case ServiceCommand::Serial: writeServiceString(reply, unit.serialNumber); break;
    case ServiceCommand::Path: writeServiceString(reply, unit.devicePath); break;
    default: break;
    }
    return reply;
}

ServicePipeServer::ServicePipeServer(std::wstring serviceName, std::vector<ServiceUnit> units, DWORD maxInstances)
    : serviceName_(std::move(serviceName)),
      pipePath_(servicePipePath(serviceName_)),
      units_(std::move(units)),
      maxInstances_(maxInstances),
      stopEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      slotTaken_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

ServicePipeServer::~ServicePipeServer() { stop(); }

platform::UniqueFileHandle ServicePipeServer::createInstance(bool first) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    platform::UniqueFileHandle pipe(::CreateNamedPipeW(
        pipePath_.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        maxInstances_, PipeBufferSize, PipeBufferSize, 0, nullptr));
    std::lock_guard<std::mutex> lock(mutex_);
    if (pipe) {
        ++liveInstances_;
    } else {
        lastError_ = ::GetLastError();
    }
    return pipe;
}

void ServicePipeServer::closeInstance(platform::UniqueFileHandle& pipe) {
    if (!pipe) return;
    pipe.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    --liveInstances_;
    changed_.notify_all();
}

// Called with mutex_ held.
void ServicePipeServer::addSlot(platform::UniqueFileHandle pipe) {
    slots_.push_back(std::make_unique<Slot>());
    Slot& slot = *slots_.back();
    slot.pipe = std::move(pipe);
    ++idleSlots_;
    slot.thread = std::thread([this, &slot] { runSlot(slot); });
}

bool ServicePipeServer::start() {
    if (!stopEvent_ || !slotTaken_ || manager_.joinable()) return false;
    // Another server on the name: refused here as well as by the first-instance
    // flag, which not every system enforces.
    if (::WaitNamedPipeW(pipePath_.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        lastError_ = ERROR_ALREADY_EXISTS;
        return false;
    }
    platform::UniqueFileHandle first = createInstance(true);
    if (!first) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        addSlot(std::move(first));
    }
    manager_ = std::thread([this] { manage(); });
    return true;
}

bool ServicePipeServer::stopped() const { return ::WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0; }

void ServicePipeServer::stop() {
    if (stopEvent_) ::SetEvent(stopEvent_.get());
    if (manager_.joinable()) manager_.join();
    std::vector<std::unique_ptr<Slot>> slots;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slots.swap(slots_);
    }
    for (auto& slot : slots) {
        if (slot->thread.joinable()) slot->thread.join();
    }
}

// Waits for an overlapped operation on a pipe, or for stop; on stop the
// operation is cancelled and waited for before its OVERLAPPED goes away.
bool ServicePipeServer::waitIo(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred) {
    const HANDLE events[] = {stopEvent_.get(), overlapped.hEvent};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) != FALSE;
}

// Keeps one slot listening: each time a client takes one, another is added
// unless one is still idle. Runs beside the slots, so that a connecting client
// never waits for it.
void ServicePipeServer::manage() {
    const HANDLE events[] = {stopEvent_.get(), slotTaken_.get()};
    while (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        reapFinished();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (idleSlots_ > 0) continue;
        }
        // Fails while every allowed instance is in use; a slot whose client
        // leaves listens again.
        platform::UniqueFileHandle pipe = createInstance(false);
        if (!pipe) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        addSlot(std::move(pipe));
    }
}

// Joins the threads of slots that have ended (after a failed listen).
void ServicePipeServer::reapFinished() {
    std::vector<std::unique_ptr<Slot>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto end = std::partition(slots_.begin(), slots_.end(),
                                  [](const std::unique_ptr<Slot>& slot) { return !slot->finished; });
        std::move(end, slots_.end(), std::back_inserter(done));
        slots_.erase(end, slots_.end());
    }
    for (auto& slot : done) slot->thread.join();
}

// Waits for a client on the slot's instance.
ServicePipeServer::Listen ServicePipeServer::listen(Slot& slot) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = slot.event.get();
    ::ResetEvent(slot.event.get());
    if (::ConnectNamedPipe(slot.pipe.get(), &overlapped)) return Listen::Connected;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return Listen::Connected;
    if (error == ERROR_NO_DATA) {
        // The client came and went before it was seen.
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_.opened;
        ++counts_.closedByClient;
        ::DisconnectNamedPipe(slot.pipe.get());
        return Listen::Again;
    }
    DWORD unused = 0;
    if (error == ERROR_IO_PENDING && waitIo(slot.pipe.get(), overlapped, unused)) return Listen::Connected;
    return stopped() ? Listen::Again : Listen::Failed;
}

void ServicePipeServer::runSlot(Slot& slot) {
    while (!stopped()) {
        const Listen result = listen(slot);
        if (result == Listen::Failed) break;
        if (result == Listen::Again || stopped()) continue;
        uint32_t connection = 0;
        bool lastListener = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.idle = false;
            lastListener = --idleSlots_ == 0;
            connection = ++counts_.opened;
            if (connectionObserver_) connectionObserver_(ConnectionEvent::Opened, connection, counts_);
        }
        // Another idle slot is listening already; otherwise the manager adds one.
        if (lastListener) ::SetEvent(slotTaken_.get());
        const bool byClient = serve(slot, connection);
        if (slot.pipe) ::DisconnectNamedPipe(slot.pipe.get());
        std::lock_guard<std::mutex> lock(mutex_);
        ++(byClient ? counts_.closedByClient : counts_.closedByServer);
        if (connectionObserver_) connectionObserver_(ConnectionEvent::Closed, connection, counts_);
        slot.idle = true;
        ++idleSlots_;
        changed_.notify_all();
    }
    closeInstance(slot.pipe);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --idleSlots_;
        slot.finished = true;
    }
    // If this was the listening slot, the manager adds another.
    ::SetEvent(slotTaken_.get());
}

void ServicePipeServer::noteImpersonation(HANDLE pipe) {
    ImpersonationResult result;
    if (::ImpersonateNamedPipeClient(pipe)) {
        result.impersonated = true;
        HANDLE token = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            platform::UniqueHandle owned(token);
            SECURITY_IMPERSONATION_LEVEL level{};
            DWORD length = 0;
            if (::GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &length)) {
                result.level = static_cast<int>(level);
            } else {
                result.error = ::GetLastError();
            }
        } else {
            result.error = ::GetLastError();
        }
        ::RevertToSelf();
    } else {
        result.error = ::GetLastError();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    impersonations_.push_back(result);
}

// Serves one client until it leaves (true) or the server ends the connection (false).
bool ServicePipeServer::serve(Slot& slot, uint32_t connection) {
    const HANDLE pipe = slot.pipe.get();
    std::vector<uint8_t> buffer(RequestBufferSize);
    for (bool first = true;; first = false) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = slot.event.get();
        DWORD size = 0;
        const bool started = ::ReadFile(pipe, buffer.data(), RequestBufferSize, nullptr, &overlapped) ||
                             ::GetLastError() == ERROR_IO_PENDING;
        if (!started || !waitIo(pipe, overlapped, size)) return !stopped();
        if (first && checkImpersonation_) noteImpersonation(pipe);

        ServiceRequestRecord request;
        request.connection = connection;
        request.size = size;
        if (size >= 4) request.command = static_cast<ServiceCommand>(readLe32(&buffer[ServiceRequestCommandOffset]));
        if (size >= 8) request.sequence = readLe32(&buffer[ServiceRequestSequenceOffset]);
        if (size >= 12) request.deviceIndex = readLe32(&buffer[ServiceRequestIndexOffset]);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request.number = nextRequestNumber_++;
            if (recordRequests_) requests_.push_back(request);
            changed_.notify_all();
        }
        const ServiceReplyPlan plan = script_ ? script_(request) : ServiceReplyPlan{};
        if (requestObserver_) requestObserver_(request, plan);

        if (plan.delayMs > 0 && ::WaitForSingleObject(stopEvent_.get(), plan.delayMs) == WAIT_OBJECT_0) return false;
        switch (plan.action) {
        case ServiceReplyPlan::Action::Reply: break;
        case ServiceReplyPlan::Action::NoReply: continue;
        case ServiceReplyPlan::Action::DropConnection: return false;
        case ServiceReplyPlan::Action::Vanish: {
            // Every other instance goes before this connection does, so that a
            // client that notices the loss cannot find the service again.
            ::SetEvent(stopEvent_.get());
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(VanishTimeoutMs),
                                  [this] { return liveInstances_ <= 1; });
            }
            // Closed at once rather than disconnected first: the client sees the
            // loss and the name gone together.
            closeInstance(slot.pipe);
            return false;
        }
        }
        ServiceRequestRecord answered = request;
        answered.sequence += plan.sequenceDelta;
        const ServiceMessage reply = buildServiceReply(units_, answered);
        std::vector<uint8_t> bytes(plan.size, 0);
        std::copy_n(reply.begin(), std::min<size_t>(plan.size, reply.size()), bytes.begin());
        if (plan.edit) plan.edit(bytes);

        overlapped = OVERLAPPED{};
        overlapped.hEvent = slot.event.get();
        DWORD written = 0;
        const bool writing = ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) ||
                             ::GetLastError() == ERROR_IO_PENDING;
        if (!writing || !waitIo(pipe, overlapped, written)) return !stopped();
    }
}

ServerCounts ServicePipeServer::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::vector<ServiceRequestRecord> ServicePipeServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<ImpersonationResult> ServicePipeServer::impersonations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impersonations_;
}

bool ServicePipeServer::waitUntilIdle(DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return counts_.active() == 0; });
}

}  // namespace service_pipe_server
