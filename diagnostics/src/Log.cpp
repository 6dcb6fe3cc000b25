#include "diagnostics/Log.h"

#include "diagnostics/ModuleInfo.h"
#include "diagnostics/Registry.h"

#include <windows.h>
#include <share.h>
#include <shlobj.h>

#include <io.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <vector>

namespace diagnostics {

namespace {

// The process's log; both guarded by g_logLock, which every write, startLog and
// endLog take for their whole duration.
Log* g_log = nullptr;
std::mutex g_logLock;

uint64_t systemClock() { return GetTickCount64(); }
// The clock of the rotation retry; any thread may set it, writes read it.
std::atomic<LogClock> g_logClock{systemClock};

const wchar_t* const TagLifecycle = L"A";
const wchar_t* const TagError = L"E";

const wchar_t* const CreatedBody = L"=============== LOG CREATED ===============\n";
const wchar_t* const DestroyedBody = L"============== LOG DESTROYED ==============\n";

int shellFolderFor(LogFolderKind kind) {
    switch (kind) {
    case LogFolderKind::CommonAppData: return CSIDL_COMMON_APPDATA;
    case LogFolderKind::Documents: return CSIDL_PERSONAL;
    default: return CSIDL_LOCAL_APPDATA;
    }
}

const wchar_t* openMode(int32_t encoding, bool truncate) {
    if (encoding == LogEncodingUtf16) return truncate ? L"wt, ccs=UNICODE" : L"at, ccs=UNICODE";
    return truncate ? L"wt" : L"at";
}

bool fileSize(const std::wstring& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

}  // namespace

std::wstring resolveLogFolder(LogFolderKind kind) {
    wchar_t base[MAX_PATH] = {};
    std::wstring folder;
    if (SUCCEEDED(SHGetFolderPathW(nullptr, shellFolderFor(kind), nullptr, 0, base))) folder = base;
    folder += L"\\Tavrello\\Logs";
    SHCreateDirectory(nullptr, folder.c_str());
    return folder;
}

LogClock setLogClock(LogClock clock) { return g_logClock.exchange(clock != nullptr ? clock : systemClock); }

bool rotateLogFiles(const std::wstring& path) {
    static const wchar_t* const generations[] = {L".bak", L".ba2", L".ba3", L".ba4", L".ba5"};
    // The current file moves aside first. While it cannot move (another process
    // holds it without delete sharing) the older generations stay as they are:
    // shifting them anyway would drop one more at every try.
    const std::wstring aside = path + L".rot";
    if (!MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    DeleteFileW((path + generations[4]).c_str());
    for (int i = 3; i >= 0; --i) {
        MoveFileExW((path + generations[i]).c_str(), (path + generations[i + 1]).c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    if (MoveFileExW(aside.c_str(), (path + generations[0]).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    // A .bak that is held open stays: the file goes back to its own name (no
    // line lost, no stray file) and the next try comes later.
    MoveFileExW(aside.c_str(), path.c_str(), 0);
    return false;
}

LogFile::LogFile(const char* name, int32_t encoding, bool nameSuffix, bool truncate, LogHeaderMode headerMode,
                 LogFolderKind folderKind)
    : level_(readLogLevel(name)), truncate_(truncate), headerMode_(headerMode), encoding_(encoding) {
    path_ = resolveLogFolder(folderKind);
    path_ += L'\\';
    for (const char* p = name; p != nullptr && *p != '\0'; ++p) {
        path_ += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    if (nameSuffix && moduleInfo().fileName[0] != L'\0') {
        path_ += L'_';
        path_ += moduleInfo().fileName;
    }
    path_ += L".log";

    if (level_ > 0) {
        uint64_t size = 0;
        if (fileSize(path_, size) && size > LogRotationThreshold && !truncate_) tryRotation();
        if (stream_ == nullptr) openStream();
    }

    if (headerLines()) {
        if (stream_ == nullptr && !openStream()) return;
        writePrefix(TagLifecycle);
        writeWide(CreatedBody);
        if (headerMode_ == LogHeaderMode::CreatedWithVersion) {
            const FileVersion v = readFileVersion(moduleInfo().fullPath);
            wchar_t line[96];
            swprintf(line, sizeof line / sizeof line[0], L"EXE Version: %hu.%hu.%hu.%hu\n", v.major, v.minor, v.build,
                     v.revision);
            writePrefix(TagLifecycle);
            writeWide(line);
        }
        fflush(stream_);
    }
}

LogFile::~LogFile() {
    if (stream_ != nullptr) fclose(stream_);
}

bool LogFile::headerLines() const {
    return headerMode_ == LogHeaderMode::Created || headerMode_ == LogHeaderMode::CreatedWithVersion;
}

bool LogFile::openStream() {
    stream_ = _wfsopen(path_.c_str(), openMode(encoding_, truncate_), _SH_DENYNO);
    return stream_ != nullptr;
}

// Text goes out in the file's own encoding: UTF-16 units for a UTF-16 stream,
// one byte per unit otherwise (everything the log formats itself is ASCII).
void LogFile::writeWide(const wchar_t* text) {
    if (encoding_ == LogEncodingUtf16) {
        fputws(text, stream_);
        return;
    }
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) narrow += static_cast<char>(*p);
    fwrite(narrow.data(), 1, narrow.size(), stream_);
}

void LogFile::writeNarrow(const char* text, size_t length) {
    if (encoding_ == LogEncodingUtf16) {
        std::wstring wide;
        wide.reserve(length);
        for (size_t i = 0; i < length; ++i) wide += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        fputws(wide.c_str(), stream_);
        return;
    }
    fwrite(text, 1, length, stream_);
}

void LogFile::writePrefix(const wchar_t* tag) {
    if (stream_ == nullptr) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t prefix[64];
    swprintf(prefix, sizeof prefix / sizeof prefix[0], L"%04i:%02i:%02i_%02i:%02i:%02i:%03i %ls: ",
             static_cast<int>(now.wYear), static_cast<int>(now.wMonth), static_cast<int>(now.wDay),
             static_cast<int>(now.wHour), static_cast<int>(now.wMinute), static_cast<int>(now.wSecond),
             static_cast<int>(now.wMilliseconds), tag);
    writeWide(prefix);
}

void LogFile::tryRotation() {
    const uint64_t now = g_logClock.load()();
    ++rotationAttempts_;
    rotationFailed_ = !rotateLogFiles(path_);
    lastRotationTry_ = now;
}

void LogFile::rotateIfTooLarge() {
    if (truncate_ || stream_ == nullptr) return;
    const long long size = _filelengthi64(_fileno(stream_));
    if (size < 0 || static_cast<uint64_t>(size) <= LogRotationThreshold) return;
    if (rotationFailed_ && g_logClock.load()() - lastRotationTry_ < LogRotationRetryMs) return;
    fclose(stream_);
    stream_ = nullptr;
    tryRotation();
    // A file that could not be moved (another process holds it) is where it
    // was; the line then goes on at its end.
    openStream();
}

bool LogFile::beginErrorLine() {
    if (level_ < 1) return false;
    rotateIfTooLarge();
    if (stream_ == nullptr && !openStream()) return false;
    writePrefix(TagError);
    return true;
}

void LogFile::writeError(const char* format, va_list args) {
    if (!beginErrorLine()) return;
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        vsnprintf(text.data(), text.size(), format, args);
        writeNarrow(text.data(), static_cast<size_t>(length));
    }
    writeNarrow("\n", 1);
    fflush(stream_);
}

void LogFile::writeErrorCode(int32_t code, uint32_t extra) {
    if (!beginErrorLine()) return;
    char body[64];
    const int length =
        extra != 0 ? snprintf(body, sizeof body, "GEC:%d, X:%u\n", static_cast<int>(code), static_cast<unsigned>(extra))
                   : snprintf(body, sizeof body, "GEC:%d\n", static_cast<int>(code));
    writeNarrow(body, static_cast<size_t>(length));
    fflush(stream_);
}

void LogFile::finish() {
    if (stream_ == nullptr) return;
    if (headerLines()) {
        writePrefix(TagLifecycle);
        writeWide(DestroyedBody);
        fflush(stream_);
    }
    fflush(stream_);
    fclose(stream_);
    stream_ = nullptr;
}

Log* Log::instance() { return g_log; }

void Log::writeError(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_logLock);
    va_list args;
    va_start(args, format);
    file_->writeError(format, args);
    va_end(args);
}

void Log::writeErrorCode(int32_t code, uint32_t extra) {
    std::lock_guard<std::mutex> lock(g_logLock);
    file_->writeErrorCode(code, extra);
}

void logError(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log == nullptr) return;
    va_list args;
    va_start(args, format);
    g_log->file_->writeError(format, args);
    va_end(args);
}

void logErrorCode(int32_t code, uint32_t extra) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log != nullptr) g_log->file_->writeErrorCode(code, extra);
}

void startLog(const char* name, bool nameSuffix, LogFolderKind folderKind, LogHeaderMode headerMode) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log != nullptr) return;
    g_log = new Log(std::make_unique<LogFile>(name, 0, nameSuffix, false, headerMode, folderKind));
}

void endLog() {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log == nullptr) return;
    g_log->file_->finish();
    delete g_log;
    g_log = nullptr;
}

}  // namespace diagnostics
