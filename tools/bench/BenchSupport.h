#pragma once
// Shared pieces of the benchmark programs: a clock, medians, a raw pipe client
// that does the overlapped write and read of one exchange and nothing else, the
// units a benchmark's service serves, and programs of the build started as
// child processes.

#include "ServicePipeServer.h"
#include "TestSupport.h"
#include "platform/ServicePipeProtocol.h"
#include "platform/Unique.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

inline double nowMicroseconds() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class RawPipeClient {
public:
    explicit RawPipeClient(const std::wstring& serviceName) : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        // Every instance may be busy for a moment (the server makes the next
        // one after each connection): wait for one, as the service pass does.
        const std::wstring path = platform::servicePipePath(serviceName);
        for (int attempt = 0; attempt < 50 && !pipe_; ++attempt) {
            pipe_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
            if (!pipe_ && (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(path.c_str(), 100))) break;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (pipe_) ::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
    }

    bool isOpen() const { return pipe_.valid(); }

    bool roundTrip(platform::ServiceCommand command, uint32_t sequence, uint32_t deviceIndex = 0) {
        request_ = platform::makeServiceRequest(command, sequence, deviceIndex);
        return step(true) && step(false) &&
               platform::readLe32(&reply_[platform::ServiceReplySequenceOffset]) == sequence;
    }

    // Average microseconds per round trip; -1 on a failure.
    double measure(int rounds) {
        const double start = nowMicroseconds();
        for (int i = 0; i < rounds; ++i) {
            if (!roundTrip(platform::ServiceCommand::Manufacturer, static_cast<uint32_t>(i))) return -1;
        }
        return (nowMicroseconds() - start) / rounds;
    }

private:
    bool step(bool isWrite) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        const BOOL started =
            isWrite ? ::WriteFile(pipe_.get(), request_.data(), platform::ServiceMessageSize, nullptr, &overlapped)
                    : ::ReadFile(pipe_.get(), reply_.data(), platform::ServiceMessageSize, nullptr, &overlapped);
        // A call that failed at once never signals the event.
        if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
        ::WaitForSingleObject(event_.get(), INFINITE);
        DWORD done = 0;
        return ::GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE) && done == platform::ServiceMessageSize;
    }

    platform::UniqueFileHandle pipe_;
    platform::UniqueHandle event_;
    platform::ServiceMessage request_{};
    platform::ServiceMessage reply_{};
};

// A path beside this program's own exe (relative parts allowed).
inline std::wstring besideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.erase(folder.rfind(L'\\') + 1);
    return folder + name;
}

// `count` units the service serves, each with a serial number and path of its own.
inline std::vector<testing_support::ServiceUnit> benchUnits(size_t count) {
    std::vector<testing_support::ServiceUnit> units;
    for (size_t i = 0; i < count; ++i) {
        testing_support::ServiceUnit unit = testing_support::defaultServiceUnit();
        unit.serialNumber = L"BENCH00000000000000000" + std::to_wstring(10 + i);
        unit.devicePath = L"\\\\?\\usb#vid_0483&pid_a110#bench" + std::to_wstring(i) + L"#{guid}";
        units.push_back(unit);
    }
    return units;
}

// Programs of the build are started with testing_support::ChildProcess (TestSupport.h).
using testing_support::ChildProcess;

}  // namespace bench
