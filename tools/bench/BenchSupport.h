#pragma once
// Shared pieces of the benchmark programs: a clock, medians, a raw pipe client
// that does the overlapped write and read of one exchange and nothing else, and
// a program of the build started as a child process.

#include "discovery/ServicePipeProtocol.h"
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
    explicit RawPipeClient(const std::wstring& serviceName)
        : pipe_(::CreateFileW(servicePipePath(serviceName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)),
          event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (pipe_) ::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
    }

    bool isOpen() const { return pipe_.valid(); }

    bool roundTrip(uint32_t command, uint32_t sequence, uint32_t deviceIndex = 0) {
        request_ = makeServiceRequest(command, sequence, deviceIndex);
        return step(true) && step(false) && readLe32(&reply_[ServiceReplySequenceOffset]) == sequence;
    }

    // Average microseconds per round trip; -1 on a failure.
    double measure(int rounds) {
        const double start = nowMicroseconds();
        for (int i = 0; i < rounds; ++i) {
            if (!roundTrip(ServiceCommandManufacturer, static_cast<uint32_t>(i))) return -1;
        }
        return (nowMicroseconds() - start) / rounds;
    }

private:
    bool step(bool isWrite) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        if (isWrite) {
            ::WriteFile(pipe_.get(), request_.data(), ServiceMessageSize, nullptr, &overlapped);
        } else {
            ::ReadFile(pipe_.get(), reply_.data(), ServiceMessageSize, nullptr, &overlapped);
        }
        ::WaitForSingleObject(event_.get(), INFINITE);
        DWORD done = 0;
        return ::GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE) && done == ServiceMessageSize;
    }

    platform::UniqueFileHandle pipe_;
    platform::UniqueHandle event_;
    ServiceMessage request_{};
    ServiceMessage reply_{};
};

// A path beside this program's own exe (relative parts allowed).
inline std::wstring besideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.erase(folder.rfind(L'\\') + 1);
    return folder + name;
}

// A program started with its output going to a file of its own; ended (if it
// still runs) and its output file removed when this goes away.
class ChildProgram {
public:
    ChildProgram(const std::wstring& exePath, const std::wstring& arguments) {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        static int counter = 0;
        outputPath_ = std::wstring(temp) + L"bench-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                      std::to_wstring(++counter) + L".txt";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        platform::UniqueFileHandle output(::CreateFileW(outputPath_.c_str(), GENERIC_WRITE,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                        &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
        PROCESS_INFORMATION info{};
        if (output && ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &startup, &info)) {
            process_.reset(info.hProcess);
            ::CloseHandle(info.hThread);
        }
    }
    ~ChildProgram() {
        if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process_.get(), 0);
            ::WaitForSingleObject(process_.get(), 5000);
        }
        ::DeleteFileW(outputPath_.c_str());
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    HANDLE process() const { return process_.get(); }

    std::string output() const {
        std::string text;
        platform::UniqueFileHandle file(::CreateFileW(outputPath_.c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
        char buffer[65536];
        DWORD got = 0;
        while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
        return text;
    }
    // Waits (at most 30 s) until the output holds `text`.
    bool waitForOutput(const char* text) const {
        for (int i = 0; i < 600; ++i) {
            if (output().find(text) != std::string::npos) return true;
            ::Sleep(50);
        }
        return false;
    }

private:
    std::wstring outputPath_;
    platform::UniqueHandle process_;
};

}  // namespace bench
