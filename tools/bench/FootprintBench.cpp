// footprint: the program beside a bare Win32 window (footprint-bare-window, a
// process that registers a class and shows one 650 x 232 popup), started
// alternately, N times each after one warm-up start of each that is not
// counted. For each start: the time from CreateProcess until its window is
// visible and painted (the window and its children have nothing left to
// paint), and 2 s later its private bytes, walked in its address space
// (committed private memory, what Windows counts as private bytes), of which
// the threads' stacks are told apart from the rest. A thread's stack is its
// stack allocation (found from its TEB) and, under Wine, the allocation Wine
// keeps right above it for the thread's system calls (on Windows that stack is
// the kernel's and no part of the process). The system's own counter is shown
// too (under Wine: resident anonymous memory). Then each thread's stack of the
// program's last start and of `kelvane-units --watch`: reserved, committed and
// the deepest byte used (a stack's pages are zero until used). The ratios come
// last.
//
// Usage: footprint [starts of each (10)] [the program's exe (this build's)]
// Needs a display (scripts/bench.sh provides one).

#include "BenchSupport.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t* const ProgramClass = L"Tavrello_Kelvane_MainWindow";
const wchar_t* const BareClass = L"Kelvane_BareWindow";
constexpr DWORD VisibleTimeoutMs = 30000;
constexpr DWORD SettleMs = 2000;  // from the visible window to the memory figures
constexpr DWORD CloseWaitMs = 5000;

double nowMs() { return bench::nowMicroseconds() / 1000.0; }
double kib(SIZE_T bytes) { return static_cast<double>(bytes) / 1024.0; }

struct ThreadStack {
    DWORD threadId = 0;
    SIZE_T reserved = 0;
    SIZE_T committed = 0;
    SIZE_T besideCommitted = 0;  // under Wine: its system-call stack, right above
    SIZE_T deepest = 0;          // bytes from the top down to the lowest byte that is not zero
};

struct Footprint {
    double visibleMs = -1;
    SIZE_T privateBytes = 0;  // committed private memory, walked
    SIZE_T counterBytes = 0;  // what the system's counter says
    std::vector<ThreadStack> stacks;

    SIZE_T stackBytes() const {
        SIZE_T total = 0;
        for (const ThreadStack& stack : stacks) total += stack.committed + stack.besideCommitted;
        return total;
    }
    SIZE_T otherBytes() const { return privateBytes > stackBytes() ? privateBytes - stackBytes() : 0; }
};

// NtQueryInformationThread's basic information: where the thread's TEB is.
struct ThreadBasics {
    LONG exitStatus;
    void* teb;
    void* clientId[2];
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};
using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
constexpr int ThreadBasicInformation = 0;

// The lowest address at or above `from` and below `to` whose byte is not zero
// in the process's committed, readable memory; `to` when there is none.
ULONG_PTR lowestUsed(HANDLE process, ULONG_PTR from, ULONG_PTR to) {
    std::vector<unsigned char> chunk(64 * 1024);
    for (ULONG_PTR at = from; at < to;) {
        MEMORY_BASIC_INFORMATION region{};
        if (!VirtualQueryEx(process, reinterpret_cast<const void*>(at), &region, sizeof(region))) return to;
        const ULONG_PTR end = std::min(reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize, to);
        const bool readable = region.State == MEM_COMMIT && (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0;
        for (ULONG_PTR block = at; readable && block < end; block += chunk.size()) {
            const SIZE_T size = std::min<SIZE_T>(chunk.size(), end - block);
            SIZE_T got = 0;
            if (!ReadProcessMemory(process, reinterpret_cast<const void*>(block), chunk.data(), size, &got)) break;
            const auto used = std::find_if(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got),
                                           [](unsigned char byte) { return byte != 0; });
            if (used != chunk.begin() + static_cast<std::ptrdiff_t>(got)) return block + (used - chunk.begin());
        }
        at = end;
    }
    return to;
}

// The committed pages of [from, to) in the process.
SIZE_T committedIn(HANDLE process, ULONG_PTR from, ULONG_PTR to) {
    SIZE_T committed = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (ULONG_PTR at = from; at < to;) {
        if (!VirtualQueryEx(process, reinterpret_cast<const void*>(at), &region, sizeof(region))) break;
        const ULONG_PTR end = std::min(reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize, to);
        if (region.State == MEM_COMMIT) committed += end - at;
        at = end;
    }
    return committed;
}

// Committed private memory, over the whole address space.
SIZE_T committedPrivate(HANDLE process) {
    SIZE_T committed = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (ULONG_PTR at = 0; VirtualQueryEx(process, reinterpret_cast<const void*>(at), &region, sizeof(region));
         at = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
    }
    return committed;
}

// Each thread's stack allocation, found from the thread's TEB and walked.
std::vector<ThreadStack> threadStacks(HANDLE process, DWORD processId) {
    std::vector<ThreadStack> stacks;
    static const auto query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    // A snapshot that could not be made is INVALID_HANDLE_VALUE, as a file's.
    const platform::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (query == nullptr || !snapshot) return stacks;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != processId) continue;
        const platform::UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
        ThreadBasics basics{};
        NT_TIB tib{};
        SIZE_T got = 0;
        if (!thread || query(thread.get(), ThreadBasicInformation, &basics, sizeof(basics), nullptr) != 0 ||
            !ReadProcessMemory(process, basics.teb, &tib, sizeof(tib), &got) || got != sizeof(tib)) {
            continue;
        }
        const auto top = reinterpret_cast<ULONG_PTR>(tib.StackBase);
        MEMORY_BASIC_INFORMATION region{};
        if (!VirtualQueryEx(process, reinterpret_cast<const void*>(top - 1), &region, sizeof(region))) continue;
        ThreadStack stack;
        stack.threadId = entry.th32ThreadID;
        const auto bottom = reinterpret_cast<ULONG_PTR>(region.AllocationBase);
        stack.reserved = top - bottom;
        stack.committed = committedIn(process, bottom, top);
        if (testing_support::underWine() &&
            VirtualQueryEx(process, reinterpret_cast<const void*>(top), &region, sizeof(region)) &&
            reinterpret_cast<ULONG_PTR>(region.AllocationBase) == top && region.Type == MEM_PRIVATE) {
            ULONG_PTR end = top;
            while (VirtualQueryEx(process, reinterpret_cast<const void*>(end), &region, sizeof(region)) &&
                   reinterpret_cast<ULONG_PTR>(region.AllocationBase) == top) {
                end = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize;
            }
            stack.besideCommitted = committedIn(process, top, end);
        }
        stack.deepest = top - lowestUsed(process, bottom, top);
        stacks.push_back(stack);
    }
    return stacks;
}

BOOL CALLBACK findUnpainted(HWND child, LPARAM found) {
    if (GetUpdateRect(child, nullptr, FALSE)) *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}

// The process's visible window of `windowClass` once it and its children have
// nothing left to paint; null when that does not happen in time.
HWND waitForPaintedWindow(const wchar_t* windowClass, DWORD processId, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        HWND hwnd = FindWindowW(windowClass, nullptr);
        DWORD owner = 0;
        if (hwnd != nullptr) GetWindowThreadProcessId(hwnd, &owner);
        if (owner == processId && IsWindowVisible(hwnd) && !GetUpdateRect(hwnd, nullptr, FALSE)) {
            bool unpainted = false;
            EnumChildWindows(hwnd, findUnpainted, reinterpret_cast<LPARAM>(&unpainted));
            if (!unpainted) return hwnd;
        }
        Sleep(1);
    } while (GetTickCount64() < end);
    return nullptr;
}

// One start: the window's time to appear, then the memory 2 s later; closed.
bool measure(const std::wstring& exe, const wchar_t* windowClass, Footprint& f) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = nowMs();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::fprintf(stderr, "%ls did not start (%lu)\n", exe.c_str(), GetLastError());
        return false;
    }
    const platform::UniqueHandle process(info.hProcess);
    const platform::UniqueHandle mainThread(info.hThread);
    HWND hwnd = waitForPaintedWindow(windowClass, info.dwProcessId, VisibleTimeoutMs);
    if (hwnd == nullptr) {
        std::fprintf(stderr, "%ls showed no window\n", exe.c_str());
        TerminateProcess(process.get(), 1);
        return false;
    }
    f.visibleMs = nowMs() - start;
    Sleep(SettleMs);
    f.privateBytes = committedPrivate(process.get());
    f.counterBytes = testing_support::privateBytes(process.get());
    f.stacks = threadStacks(process.get(), info.dwProcessId);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), CloseWaitMs) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), CloseWaitMs);
    return true;
}

void printStart(const char* name, int run, const Footprint& f) {
    std::printf(
        "%-8s start %2d: visible %6.1f ms; private %6.0f KiB = stacks %6.0f KiB (%zu threads) + other "
        "%6.0f KiB; counter %6.0f KiB\n",
        name, run, f.visibleMs, kib(f.privateBytes), kib(f.stackBytes()), f.stacks.size(), kib(f.otherBytes()),
        kib(f.counterBytes));
}

void printStacks(const char* what, const std::vector<ThreadStack>& stacks) {
    std::printf("thread stacks of %s (in the order the system lists the threads):\n", what);
    for (const ThreadStack& stack : stacks) {
        std::printf(
            "  thread %6lu: reserved %5.0f KiB, committed %5.0f KiB (+%5.0f KiB beside), deepest used "
            "%5.1f KiB\n",
            static_cast<unsigned long>(stack.threadId), kib(stack.reserved), kib(stack.committed),
            kib(stack.besideCommitted), kib(stack.deepest));
    }
}

struct Summary {
    double medianMs = 0;
    double maxMs = 0;
    double privateKiB = 0;
    double stackKiB = 0;
    double otherKiB = 0;
};

Summary summarise(const std::vector<Footprint>& runs) {
    std::vector<double> times, privates, stacks, others;
    for (const Footprint& f : runs) {
        times.push_back(f.visibleMs);
        privates.push_back(kib(f.privateBytes));
        stacks.push_back(kib(f.stackBytes()));
        others.push_back(kib(f.otherBytes()));
    }
    Summary s;
    s.medianMs = bench::median(times);
    s.maxMs = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
    s.privateKiB = bench::median(privates);
    s.stackKiB = bench::median(stacks);
    s.otherKiB = bench::median(others);
    return s;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int starts = argc > 1 ? _wtoi(argv[1]) : 10;
    if (starts <= 0) {
        std::fprintf(stderr, "usage: footprint [starts of each (10)] [the program's exe]\n");
        return 1;
    }
    const std::wstring bare = bench::besideThisProgram(L"footprint-bare-window.exe");
    // Another build's program may be compared against the same bare window.
    const std::wstring program = argc > 2 ? argv[2] : bench::besideThisProgram(L"..\\app\\Tavrello_Kelvane.exe");
    std::printf("program: %ls\n", program.c_str());
    std::printf("%d starts of each, alternately, after one warm-up start of each; memory %lu ms after the window\n",
                starts, static_cast<unsigned long>(SettleMs));
    std::fflush(stdout);
    Footprint warmUp;
    if (!measure(bare, BareClass, warmUp) || !measure(program, ProgramClass, warmUp)) return 2;

    std::vector<Footprint> bareRuns, programRuns;
    for (int run = 1; run <= starts; ++run) {
        Footprint b, p;
        if (!measure(bare, BareClass, b) || !measure(program, ProgramClass, p)) return 2;
        printStart("bare", run, b);
        printStart("program", run, p);
        std::fflush(stdout);
        bareRuns.push_back(b);
        programRuns.push_back(p);
    }
    printStacks("the bare window's last start", bareRuns.back().stacks);
    printStacks("the program's last start", programRuns.back().stacks);
    {
        // The watch's own threads: its main thread and the notice thread.
        bench::ChildProcess watch(bench::besideThisProgram(L"..\\units\\kelvane-units.exe"), L"--watch");
        Sleep(SettleMs + 1000);
        const platform::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, watch.processId()));
        if (process) printStacks("kelvane-units --watch after 3 s", threadStacks(process.get(), watch.processId()));
    }

    const Summary b = summarise(bareRuns);
    const Summary p = summarise(programRuns);
    std::printf(
        "%-8s visible: median %7.1f ms, max %7.1f ms; private (medians): %7.0f KiB, stacks %6.0f KiB, "
        "other %7.0f KiB\n",
        "bare", b.medianMs, b.maxMs, b.privateKiB, b.stackKiB, b.otherKiB);
    std::printf(
        "%-8s visible: median %7.1f ms, max %7.1f ms; private (medians): %7.0f KiB, stacks %6.0f KiB, "
        "other %7.0f KiB\n",
        "program", p.medianMs, p.maxMs, p.privateKiB, p.stackKiB, p.otherKiB);
    std::printf("ratio, time to a visible window (medians):        %.2fx (goal at most 1.2x)\n",
                ratio(p.medianMs, b.medianMs));
    std::printf("ratio, private bytes other than thread stacks:    %.2fx (goal at most 1.3x)\n",
                ratio(p.otherKiB, b.otherKiB));
    std::printf("ratio, private bytes in all:                      %.2fx\n", ratio(p.privateKiB, b.privateKiB));
    return 0;
}
