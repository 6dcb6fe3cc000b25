#include "discovery/ServicePipeClient.h"

#include "diagnostics/Log.h"
#include "platform/ServicePipeProtocol.h"

#include <cstring>
#include <vector>

namespace discovery {

using platform::makeServiceRequest;
using platform::readLe32;
using platform::readServiceString;
using platform::ServiceCommand;
using platform::ServiceMessage;
using platform::ServiceMessageSize;
using platform::ServiceName;
using platform::servicePipePath;
using platform::ServiceReplyCountOffset;
using platform::ServiceReplyKindOffset;
using platform::ServiceReplyProductIdOffset;
using platform::ServiceReplySequenceOffset;
using platform::ServiceReplyVendorIdOffset;

namespace {

// The service is not trusted to report a sane count: a pass asks about at most
// this many devices.
constexpr uint32_t ServiceDeviceLimit = 128;

using diagnostics::LogNumber;

void logPipeError(LogNumber number, uint32_t extra) { diagnostics::logErrorCode(number, extra); }

}  // namespace

// One overlapped write or read with everything the system may touch while it
// runs: the data buffer, the OVERLAPPED structure and its manual-reset event.
struct ServicePipeClient::Operation {
    OVERLAPPED overlapped{};
    platform::UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<uint8_t> buffer;
};

ServicePipeClient::ServicePipeClient(const std::wstring& serviceName) : pipePath_(servicePipePath(serviceName)) {}

ServicePipeClient::~ServicePipeClient() { close(); }

bool ServicePipeClient::connect() {
    busyWaits_ = 0;
    while (!pipe_.valid()) {
        // Identification only: whoever answers on this name may learn who we are
        // but cannot act as us.
        pipe_.reset(::CreateFileW(pipePath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe_.valid()) break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY) {
            logPipeError(LogNumber::ServiceOpen, error);
            return false;
        }
        // Another client can take each freed instance first; do not wait forever.
        if (busyWaits_ == ServiceBusyWaitLimit) {
            logPipeError(LogNumber::ServiceBusy, ERROR_PIPE_BUSY);
            ++consecutiveTimeouts_;
            return false;
        }
        ++busyWaits_;
        if (!::WaitNamedPipeW(pipePath_.c_str(), ServiceBusyWaitMs)) {
            // ERROR_SEM_TIMEOUT when the wait ran out; another error (the pipe
            // went away meanwhile) is told as it is.
            const DWORD waitError = ::GetLastError();
            logPipeError(LogNumber::ServiceBusy, waitError != 0 ? waitError : ERROR_SEM_TIMEOUT);
            ++consecutiveTimeouts_;
            return false;
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
    return true;
}

void ServicePipeClient::close() {
    if (!pipe_.valid()) return;
    ::CancelIo(pipe_.get());
    pipe_.reset();
}

// Waits for a cancelled operation to end, so that the system is done with its
// buffer and OVERLAPPED structure. Closing the handle ends it if cancelling did
// not. Returns false when it still runs; its memory must then never be freed.
bool ServicePipeClient::finishCancelled(Operation& op) {
    ::CancelIoEx(pipe_.get(), &op.overlapped);
    if (::WaitForSingleObject(op.event.get(), ServiceCancelTimeoutMs) == WAIT_OBJECT_0) return true;
    pipe_.reset();
    return ::WaitForSingleObject(op.event.get(), ServiceCancelTimeoutMs) == WAIT_OBJECT_0;
}

// One write or read of `size` bytes of the operation's buffer, waited for at
// most ServiceReplyTimeoutMs. On false `error` holds the reason and nothing is
// in flight any more (or the operation was given up and left allocated).
bool ServicePipeClient::transfer(Operation& op, bool isWrite, uint32_t size, DWORD& transferred, DWORD& error) {
    transferred = 0;
    op.overlapped = OVERLAPPED{};
    op.overlapped.hEvent = op.event.get();
    const BOOL done = isWrite ? ::WriteFile(pipe_.get(), op.buffer.data(), size, nullptr, &op.overlapped)
                              : ::ReadFile(pipe_.get(), op.buffer.data(), size, nullptr, &op.overlapped);
    if (!done) {
        error = ::GetLastError();
        // ERROR_MORE_DATA and the like: the operation has already ended.
        if (error != ERROR_IO_PENDING) return false;
        const DWORD waited = ::WaitForSingleObject(op.event.get(), ServiceReplyTimeoutMs);
        if (waited != WAIT_OBJECT_0) {
            // Did not answer in time: told as ERROR_SEM_TIMEOUT, as the USB passes do.
            error = waited == WAIT_FAILED ? ::GetLastError() : static_cast<DWORD>(ERROR_SEM_TIMEOUT);
            ++consecutiveTimeouts_;
            if (!finishCancelled(op)) {
                // The system still owns the memory: leave it allocated for good.
                static_cast<void>((isWrite ? write_ : read_).release());
            }
            return false;
        }
    }
    if (!::GetOverlappedResult(pipe_.get(), &op.overlapped, &transferred, FALSE)) {
        error = ::GetLastError();  // ERROR_MORE_DATA: the message is longer than the buffer
        return false;
    }
    return true;
}

uint32_t ServicePipeClient::exchange(const void* request, uint32_t requestSize, void* reply, uint32_t replySize) {
    if (request == nullptr || requestSize == 0) {
        logPipeError(LogNumber::ServiceNoRequest, 0);
        return 0;
    }
    if (replySize > 0 && reply == nullptr) {
        logPipeError(LogNumber::ServiceNoReplyBuffer, 0);
        return 0;
    }
    if (!connect()) {
        logPipeError(LogNumber::ServiceNotOpen, 0);
        return 0;
    }
    for (std::unique_ptr<Operation>* op : {&write_, &read_}) {
        if (!*op) *op = std::make_unique<Operation>();
        if (!(*op)->event) {
            logPipeError(LogNumber::ServiceWrite, ::GetLastError());
            close();
            return 0;
        }
    }

    // The request is copied so that nothing of the caller's is used after return.
    const auto* requestBytes = static_cast<const uint8_t*>(request);
    write_->buffer.assign(requestBytes, requestBytes + requestSize);
    DWORD written = 0;
    DWORD error = 0;
    if (!transfer(*write_, true, requestSize, written, error) || written != requestSize) {
        if (written != requestSize && error == 0) error = ::GetLastError();
        logPipeError(LogNumber::ServiceWrite, error);
        close();
        return 0;
    }
    if (reply == nullptr || replySize == 0) return 0;

    read_->buffer.resize(replySize);
    DWORD received = 0;
    if (!transfer(*read_, false, replySize, received, error)) {
        logPipeError(LogNumber::ServiceRead, error);
        // Also after a message too long for the buffer: its rest would otherwise
        // be taken for the next reply.
        close();
        return 0;
    }
    std::memcpy(reply, read_->buffer.data(), received);
    consecutiveTimeouts_ = 0;
    return received;
}

namespace {

// One request and its reply; true when the reply is valid: exactly one message
// of the full size that answers this request's sequence number.
bool ask(ServicePipeClient& client, ServiceCommand command, uint32_t deviceIndex, ServiceMessage& reply) {
    const uint32_t sequence = client.takeSequence();
    const ServiceMessage request = makeServiceRequest(command, sequence, deviceIndex);
    const uint32_t received = client.exchange(request.data(), ServiceMessageSize, reply.data(), ServiceMessageSize);
    return received == ServiceMessageSize && readLe32(&reply[ServiceReplySequenceOffset]) == sequence;
}

bool askString(ServicePipeClient& client, ServiceCommand command, uint32_t deviceIndex, std::wstring& text) {
    ServiceMessage reply;
    if (!ask(client, command, deviceIndex, reply)) return false;
    text = readServiceString(reply);
    return true;
}

}  // namespace

bool queryServiceDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter) {
    return queryServiceDevices(list, idFilter, descriptionFilter, ServiceName);
}

bool queryServiceDevices(DeviceList& list, IdFilter idFilter, DescriptionFilter descriptionFilter,
                         const std::wstring& serviceName) {
    list.clear();
    ServicePipeClient client(serviceName);
    if (!client.connect()) return false;
    ServiceMessage reply;
    if (!ask(client, ServiceCommand::DeviceCount, 0, reply)) return false;
    uint32_t count = readLe32(&reply[ServiceReplyCountOffset]);
    if (count > ServiceDeviceLimit) count = ServiceDeviceLimit;

    // Each device ends at its first failed request, so the limit is met at
    // most one device after the service stops answering.
    for (uint32_t index = 0; index < count && client.consecutiveTimeouts() < ServiceTimeoutLimit; ++index) {
        if (!ask(client, ServiceCommand::DeviceIdentity, index, reply)) continue;
        DeviceInfo device;
        device.vendorId = readLe32(&reply[ServiceReplyVendorIdOffset]);
        device.productId = readLe32(&reply[ServiceReplyProductIdOffset]);
        const uint8_t kind = reply[ServiceReplyKindOffset];
        device.source = kind == 1 ? DeviceSource::Service : static_cast<DeviceSource>(kind);
        if (!passesIdFilter(idFilter, device.vendorId, device.productId)) continue;
        if (!askString(client, ServiceCommand::Manufacturer, index, device.manufacturer)) continue;
        if (!askString(client, ServiceCommand::Product, index, device.product)) continue;
        if (!passesDescriptionFilter(descriptionFilter, device)) continue;
        if (!askString(client, ServiceCommand::Serial, index, device.serialNumber)) continue;
        if (!askString(client, ServiceCommand::Path, index, device.devicePath)) continue;
        list.push_back(device);
    }
    return true;
}

}  // namespace discovery
