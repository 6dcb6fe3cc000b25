#include "diagnostics/Log.h"

#include "diagnostics/ModuleInfo.h"
#include "diagnostics/Registry.h"
#include "platform/Unique.h"

#include <windows.h>
#include <share.h>
#include <shlobj.h>

#include <io.h>

#include <atomic>
#include <cstddef>
#include <cstring>
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

// The local time as every line's prefix gives it: 2024:05:06_13:04:05:120.
std::string localTimeText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04i:%02i:%02i_%02i:%02i:%02i:%03i", static_cast<int>(now.wYear),
             static_cast<int>(now.wMonth), static_cast<int>(now.wDay), static_cast<int>(now.wHour),
             static_cast<int>(now.wMinute), static_cast<int>(now.wSecond), static_cast<int>(now.wMilliseconds));
    return text;
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

namespace {

// The current file, then the older generations from the newest.
const wchar_t* const GenerationSuffixes[] = {L"", L".bak", L".ba2", L".ba3", L".ba4", L".ba5"};
constexpr int GenerationCount = 6;
// The oldest generation waits here, out of the way, until every move has been
// made; a stray one (a rotation cut short) is dropped at the next rotation.
const wchar_t* const DroppedSuffix = L".old";

// Opens a file for moving or deleting it. DELETE access with every kind of
// sharing is refused (a sharing violation) while another handle to the file
// lacks FILE_SHARE_DELETE, and while we hold it, no such handle can be opened.
// Null, with `missing` set, when there is no such file.
platform::UniqueFileHandle openForMove(const std::wstring& name, bool& missing) {
    platform::UniqueFileHandle file(CreateFileW(name.c_str(), DELETE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    missing = !file && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    return file;
}

// Renames the file of an open handle (opened with DELETE access) to `target`,
// a full path that must not exist yet.
bool renameOpenFile(HANDLE file, const std::wstring& target) {
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    // The structure's own FileName element leaves room for the terminating NUL.
    std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(block.size())) != FALSE;
}

// Deletes the file of an open handle (opened with DELETE access) as the handle closes.
void deleteOpenFile(platform::UniqueFileHandle& file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    file.reset();
}

}  // namespace

bool rotateLogFiles(const std::wstring& path) {
    // First every file that takes part, held for moving: if any of them cannot
    // move, nothing has moved yet. Shifting some anyway would cost a generation
    // at every try while a reader holds one.
    platform::UniqueFileHandle files[GenerationCount];
    std::wstring names[GenerationCount];
    for (int i = 0; i < GenerationCount; ++i) {
        names[i] = path + GenerationSuffixes[i];
        bool missing = false;
        files[i] = openForMove(names[i], missing);
        if (!files[i] && (!missing || i == 0)) return false;
    }
    bool strayMissing = false;
    platform::UniqueFileHandle stray = openForMove(path + DroppedSuffix, strayMissing);
    if (!stray && !strayMissing) return false;
    if (stray) deleteOpenFile(stray);

    // Then the moves, the oldest first, each into the name the one before it
    // left: the oldest aside, each other one a generation on, and last the
    // current file to .bak. A move that fails all the same (the name it wants
    // is taken) takes back the ones made.
    const std::wstring dropped = path + DroppedSuffix;
    int moved = GenerationCount;  // the files from `moved` on have moved (or do not exist)
    for (int i = GenerationCount - 1; i >= 0; --i) {
        if (files[i] && !renameOpenFile(files[i].get(), i == GenerationCount - 1 ? dropped : names[i + 1])) break;
        moved = i;
    }
    if (moved != 0) {
        for (int i = moved; i < GenerationCount; ++i) {
            if (files[i]) renameOpenFile(files[i].get(), names[i]);
        }
        return false;
    }
    if (files[GenerationCount - 1]) deleteOpenFile(files[GenerationCount - 1]);
    return true;
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
    const std::string time = localTimeText() + ' ';
    writeNarrow(time.data(), time.size());
    writeWide(tag);
    writeWide(L": ");
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

namespace {

// The body of a numbered line: "GEC:2003, X:2", or "GEC:2004" when X is 0.
std::string numberedBody(int32_t code, uint32_t extra) {
    char body[48];
    if (extra != 0) {
        snprintf(body, sizeof body, "GEC:%d, X:%u", static_cast<int>(code), static_cast<unsigned>(extra));
    } else {
        snprintf(body, sizeof body, "GEC:%d", static_cast<int>(code));
    }
    return body;
}

}  // namespace

void LogFile::writeErrorCode(int32_t code, uint32_t extra) {
    const LineKey key(code, extra);
    if (level_ < 1 || countRepeat(key)) return;
    if (!beginErrorLine()) return;
    const std::string body = numberedBody(code, extra) + '\n';
    writeNarrow(body.data(), body.size());
    fflush(stream_);
    // Only a line that was written is counted when it comes again.
    noteInCheck(key);
}

void LogFile::noteInCheck(const LineKey& key) {
    if (thisCheck_.size() < LogRepeatTrackLimit) thisCheck_.insert(key);
}

bool LogFile::countRepeat(const LineKey& key) {
    const auto found = repeating_.find(key);
    if (found == repeating_.end()) return false;
    noteInCheck(key);
    Repeat& repeat = found->second;
    const uint64_t now = g_logClock.load()();
    if (repeat.count == 0) {
        repeat.countingSince = now;
        repeat.since = localTimeText();
    }
    ++repeat.count;
    if (now - repeat.countingSince >= LogRepeatReportMs) writeRepeatLine(key, repeat);
    return true;
}

void LogFile::writeRepeatLine(const LineKey& key, Repeat& repeat) {
    const uint64_t count = repeat.count;
    repeat.count = 0;
    if (!beginErrorLine()) return;
    char head[48];
    snprintf(head, sizeof head, "GEC:%d, X:%llu, ", static_cast<int>(LogNumber::RepeatedLine),
             static_cast<unsigned long long>(count));
    const std::string body = head + numberedBody(key.first, key.second) + " since " + repeat.since + '\n';
    writeNarrow(body.data(), body.size());
    fflush(stream_);
}

void LogFile::endCheck() {
    for (auto it = repeating_.begin(); it != repeating_.end();) {
        if (thisCheck_.count(it->first) != 0) {
            ++it;
            continue;
        }
        // It stopped: what was counted is told, and it starts afresh if it comes back.
        if (it->second.count > 0) writeRepeatLine(it->first, it->second);
        it = repeating_.erase(it);
    }
    for (const LineKey& key : thisCheck_) repeating_.emplace(key, Repeat());
    thisCheck_.clear();
}

void LogFile::finish() {
    for (auto& entry : repeating_) {
        if (entry.second.count > 0) writeRepeatLine(entry.first, entry.second);
    }
    repeating_.clear();
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

void logErrorCode(LogNumber number, uint32_t extra) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log != nullptr) g_log->file_->writeErrorCode(static_cast<int32_t>(number), extra);
}

void logCheckEnded() {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_log != nullptr) g_log->file_->endCheck();
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
