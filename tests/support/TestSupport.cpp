#include "TestSupport.h"

#include "diagnostics/Log.h"

#include <psapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace testing_support {

namespace {
std::string settingsPath(const std::string& logName) { return "Software\\Tavrello\\" + logName; }
}  // namespace

ScopedSettingsKey::ScopedSettingsKey(HKEY root, const std::string& logName)
    : root_(root), path_(settingsPath(logName)) {
    const LONG rc = RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                                    key_.put(), nullptr);
    EXPECT_EQ(rc, ERROR_SUCCESS) << "cannot create test key " << path_;
}

ScopedSettingsKey::~ScopedSettingsKey() {
    key_.reset();
    RegDeleteKeyExA(root_, path_.c_str(), KEY_WOW64_32KEY, 0);
}

void ScopedSettingsKey::setDword(const char* name, uint32_t value) { setRaw(name, REG_DWORD, &value, sizeof value); }

void ScopedSettingsKey::setRaw(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_TRUE(key_);
    ASSERT_EQ(RegSetValueExA(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void deleteSettingsKeys(const std::string& logName) {
    RegDeleteKeyExA(HKEY_CURRENT_USER, settingsPath(logName).c_str(), KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, settingsPath(logName).c_str(), KEY_WOW64_32KEY, 0);
}

std::string readFileBytes(const std::wstring& path) {
    const platform::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {
platform::UniqueFileHandle createFileForWriting(const std::wstring& path) {
    return platform::UniqueFileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

void writeFileBytes(const std::wstring& path, const std::string& bytes) {
    platform::UniqueFileHandle file = createFileForWriting(path);
    ASSERT_TRUE(file);
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    file.reset();
    ASSERT_EQ(written, bytes.size());
}

void writeFileOfSize(const std::wstring& path, uint64_t size) {
    platform::UniqueFileHandle file = createFileForWriting(path);
    ASSERT_TRUE(file);
    const std::string chunk(1 << 20, 'x');
    uint64_t left = size;
    while (left > 0) {
        const DWORD n = static_cast<DWORD>(left < chunk.size() ? left : chunk.size());
        DWORD written = 0;
        WriteFile(file.get(), chunk.data(), n, &written, nullptr);
        left -= written;
        if (written == 0) break;
    }
    file.reset();
    ASSERT_EQ(fileSizeOf(path), size);
}

uint64_t fileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void deleteFileIfPresent(const std::wstring& path) { DeleteFileW(path.c_str()); }

std::vector<std::string> splitCrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    return wide;
}

std::wstring clipboardText() {
    std::wstring text;
    const platform::UniqueClipboard clipboard(OpenClipboard(nullptr) != FALSE);
    if (!clipboard) return L"<busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            const platform::UniqueGlobalLock lock(data);
            text = chars;
        }
    }
    return text;
}

void clearClipboard() {
    const platform::UniqueClipboard clipboard(OpenClipboard(nullptr) != FALSE);
    if (clipboard) EmptyClipboard();
}

std::wstring windowsPathOf(const std::string& path) {
    std::wstring result = widen(path);
    if (!result.empty() && result[0] == L'/') {
        for (wchar_t& c : result) {
            if (c == L'/') c = L'\\';
        }
        result = L"Z:" + result;
    }
    return result;
}

namespace {
HANDLE createInheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

ChildProcess::ChildProcess(const std::wstring& exePath, const std::wstring& arguments, bool separateErrors) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    static int counter = 0;
    outputPath_ = std::wstring(folder) + L"kelvane-child-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(++counter) + L".txt";
    const platform::UniqueFileHandle output(createInheritableFile(outputPath_));
    if (!output) return;
    platform::UniqueFileHandle separateErrorFile;
    if (separateErrors) {
        errorPath_ = outputPath_ + L".err";
        separateErrorFile.reset(createInheritableFile(errorPath_));
    }
    const HANDLE errors = separateErrors ? separateErrorFile.get() : output.get();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = errors;
    std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    if (errors != INVALID_HANDLE_VALUE && CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                                         CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
        process_.reset(info.hProcess);
        platform::UniqueHandle thread(info.hThread);
    }
}

ChildProcess::~ChildProcess() {
    terminate();
    process_.reset();
    deleteFileIfPresent(outputPath_);
    if (!errorPath_.empty()) deleteFileIfPresent(errorPath_);
}

DWORD ChildProcess::exitCode(DWORD timeoutMs) const {
    DWORD code = STILL_ACTIVE;
    if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process_.get(), &code);
    }
    return code;
}

void ChildProcess::terminate() {
    if (process_ && exitCode(0) == STILL_ACTIVE) {
        TerminateProcess(process_.get(), 9);
        WaitForSingleObject(process_.get(), 5000);
    }
}

bool ChildProcess::waitForOutput(const std::string& text, DWORD timeoutMs) const {
    return waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
}

namespace {
bool runInstaller(const std::wstring& installer, const std::wstring& arguments) {
    ChildProcess process(installer, arguments);
    const DWORD code = process.exitCode(30000);  // a process start under Wine can take seconds
    EXPECT_EQ(code, 0u) << process.output();
    return code == 0;
}
}  // namespace

bool VirtualHidUnit::unplug() const { return runInstaller(installer, L"--remove \"" + instanceId + L"\""); }

bool VirtualHidUnit::plug() const {
    return runInstaller(installer, L"\"" + inf + L"\" --device \"" + instanceId +
                                       L"\" 0483 A110 Tavrello \"Motion Unit\" --serial " + serial);
}

VirtualHidUnit firstVirtualHidUnit(const std::wstring& installer, const std::wstring& inf) {
    return {installer, inf, L"ROOT\\VID_0483&PID_A110\\7&2A3B4C5D&0&0000", L"VHX3K9M2P7Q4R8T1W6Y5Z0AB"};
}

void sendLeftClick() {
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, inputs, sizeof(INPUT));
}

SIZE_T privateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

DEV_BROADCAST_DEVICEINTERFACE_W interfaceNotice(const GUID& interfaceClass) {
    DEV_BROADCAST_DEVICEINTERFACE_W notice = {};
    notice.dbcc_size = sizeof(notice);
    notice.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notice.dbcc_classguid = interfaceClass;
    return notice;
}

HWND topLevelWindowOf(DWORD processId, const wchar_t* className) {
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        // Not a message-only window, which the system's broadcasts never reach.
        if (owner == processId && GetAncestor(window, GA_PARENT) == GetDesktopWindow()) return window;
    }
    return nullptr;
}

std::vector<std::string> logErrorLines(const std::wstring& path) {
    std::vector<std::string> lines;
    if (!fileExists(path)) return lines;
    for (const std::string& line : splitCrLfLines(readFileBytes(path))) {
        const size_t tag = line.find(" E: ");
        lines.push_back(tag == std::string::npos ? "<not an error line> " + line : line.substr(tag + 4));
    }
    return lines;
}

TestLog::TestLog(const std::string& name) : name_(name) {
    diagnostics::endLog();
    deleteSettingsKeys(name_);
    path_ = diagnostics::resolveLogFolder(diagnostics::LogFolderKind::LocalAppData) + L"\\" + widen(name_) + L".log";
    deleteFileIfPresent(path_);
    diagnostics::startLog(name_.c_str(), false, diagnostics::LogFolderKind::LocalAppData,
                          diagnostics::LogHeaderMode::None);
    EXPECT_NE(diagnostics::Log::instance(), nullptr);
}

TestLog::~TestLog() {
    diagnostics::endLog();
    deleteFileIfPresent(path_);
}

}  // namespace testing_support
