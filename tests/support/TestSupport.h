#pragma once
// Helpers shared by the test executables.

#include <windows.h>
#include <dbt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Unique.h"

namespace testing_support {

// A settings key Software\Tavrello\<name> under one root, in the 32-bit view,
// removed again (with its values) when the object goes away.
class ScopedSettingsKey {
public:
    ScopedSettingsKey(HKEY root, const std::string& logName);
    ~ScopedSettingsKey();
    ScopedSettingsKey(const ScopedSettingsKey&) = delete;
    ScopedSettingsKey& operator=(const ScopedSettingsKey&) = delete;

    void setDword(const char* name, uint32_t value);
    void setRaw(const char* name, DWORD type, const void* data, DWORD size);

private:
    HKEY root_;
    std::string path_;
    platform::UniqueRegistryKey key_;
};

// Removes Software\Tavrello\<name> under both roots, in case a crashed run left it.
void deleteSettingsKeys(const std::string& logName);

std::string readFileBytes(const std::wstring& path);
bool fileExists(const std::wstring& path);
void writeFileBytes(const std::wstring& path, const std::string& bytes);
// Writes a file of exactly `size` bytes of 'x'.
void writeFileOfSize(const std::wstring& path, uint64_t size);
uint64_t fileSizeOf(const std::wstring& path);
void deleteFileIfPresent(const std::wstring& path);

// Splits on CR LF; a trailing incomplete line is kept.
std::vector<std::string> splitCrLfLines(const std::string& text);

std::wstring widen(const std::string& text);

// A path of the cross build (a host path) as a Windows program under Wine sees
// it: /a/b becomes Z:\a\b. Windows paths pass unchanged.
std::wstring windowsPathOf(const std::string& path);

// A program started with its standard output and error going to a file of its
// own (or, with `separateErrors`, to two files); ended (if still running) and its
// output files removed when this goes away.
class ChildProcess {
public:
    ChildProcess(const std::wstring& exePath, const std::wstring& arguments, bool separateErrors = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_.valid(); }
    DWORD processId() const { return process_ ? GetProcessId(process_.get()) : 0; }
    // The exit code once the process has ended within timeoutMs, else STILL_ACTIVE.
    DWORD exitCode(DWORD timeoutMs) const;
    void terminate();
    std::string output() const { return readFileBytes(outputPath_); }
    // Standard error, when it was kept apart.
    std::string errors() const { return readFileBytes(errorPath_); }
    // Waits until the output holds `text`, at most timeoutMs.
    bool waitForOutput(const std::string& text, DWORD timeoutMs) const;

private:
    std::wstring outputPath_;
    std::wstring errorPath_;
    platform::UniqueHandle process_;
};

// A virtual HID unit (tests/support/virtual-hid) unplugged and plugged again at
// run time in the current prefix, through the installer: 0483:A110, "Tavrello",
// "Motion Unit", with its serial number. Each returns true when the installer
// succeeded; the notices and the HID pass see the change a moment later.
struct VirtualHidUnit {
    std::wstring installer;   // virtual-hid-install.exe
    std::wstring inf;         // the driver package's INF
    std::wstring instanceId;  // ROOT\VID_0483&PID_A110\...
    std::wstring serial;

    bool unplug() const;
    bool plug() const;
};

// The first unit every virtual-HID prefix is made with (virtual-hid/CMakeLists.txt).
VirtualHidUnit firstVirtualHidUnit(const std::wstring& installer, const std::wstring& inf);

// A process's committed private memory, this one's unless told (Wine reports
// PrivateUsage as 0; its PagefileUsage is the same commit charge and real).
// 0 when it cannot be read.
SIZE_T privateBytes(HANDLE process = GetCurrentProcess());

// Whether this process runs under Wine (its ntdll exports wine_get_version):
// for the few places where Wine is known to differ from Windows.
bool underWine();

// What the system passes with WM_DEVICECHANGE for an interface of
// `interfaceClass` (with an empty name).
DEV_BROADCAST_DEVICEINTERFACE_W interfaceNotice(const GUID& interfaceClass);

// A top-level window of `className` that belongs to the process, or null.
HWND topLevelWindowOf(DWORD processId, const wchar_t* className);

// The error lines of a log file without their time prefix ("GEC:2003, X:2");
// a line that is not an error line is kept with a mark in front.
std::vector<std::string> logErrorLines(const std::wstring& path);

// The process's log, started under `name` (no lifecycle lines, default level)
// on a file removed first, and ended and removed again when this goes away.
class TestLog {
public:
    explicit TestLog(const std::string& name);
    ~TestLog();
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    const std::wstring& path() const { return path_; }
    std::vector<std::string> errorLines() const { return logErrorLines(path_); }

private:
    std::string name_;
    std::wstring path_;
};

// A real click of the left button where the pointer is: down and up as one
// piece of input.
void sendLeftClick();

// The clipboard's CF_UNICODETEXT, or "<busy>" when it cannot be opened.
std::wstring clipboardText();
void clearClipboard();

// Polls `done` every 20 ms, pumping this thread's messages, until it is true or
// timeoutMs has passed; returns its last value.
template <typename Done>
bool waitUntil(Done done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

}  // namespace testing_support
