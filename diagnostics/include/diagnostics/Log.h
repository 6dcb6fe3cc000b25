#pragma once
// The process-wide diagnostic log: one text file under the user's local
// application-data folder, rotated above 10 MiB, every line flushed.
//
// Threads: the thread that starts and ends the log (the GUI thread) owns the
// Log object. Any thread may write through logError and logErrorCode and end a
// check with logCheckEnded: they and startLog/endLog take one process-wide
// lock, so a line is written whole or not at all, lines never interleave, and a
// write racing endLog either lands before the destroyed line or is dropped.

#include "diagnostics/LogNumbers.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace diagnostics {

#if defined(__GNUC__)
#define KELVANE_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KELVANE_PRINTF_FORMAT(fmt, args)
#endif

// Which lifecycle lines a log writes. Values other than these behave as None.
enum class LogHeaderMode : int32_t { None = 0, Created = 1, CreatedWithVersion = 2 };

// The shell folder under which the log's folder lives. Other values behave as LocalAppData.
enum class LogFolderKind : int32_t { LocalAppData = 0, CommonAppData = 1, Documents = 2 };

constexpr int32_t LogEncodingUtf16 = 1;              // any other encoding is 8-bit text
constexpr uint64_t LogRotationThreshold = 0xA00000;  // rotate only above 10 MiB
// After a rotation that failed (another process holds one of the files without
// delete sharing), the next try waits this long; lines go on at the file's end
// meanwhile.
constexpr uint64_t LogRotationRetryMs = 60000;
// While a numbered line repeats, its repeat line (LogNumber::RepeatedLine) is
// written at least this often.
constexpr uint64_t LogRepeatReportMs = 3600000;
// How many different numbered lines one check keeps track of; any more are
// written as they come.
constexpr size_t LogRepeatTrackLimit = 64;

// The milliseconds clock the rotation retry and the repeat lines are timed by
// (GetTickCount64 unless a test sets another). Returns the clock that was in
// use; null restores the system's. Any thread; a write reads it under the
// log's lock.
using LogClock = uint64_t (*)();
LogClock setLogClock(LogClock clock);

// Resolves the log folder for a folder kind and creates every missing folder on
// the way: <shell folder>\Tavrello\Logs, without a trailing backslash.
std::wstring resolveLogFolder(LogFolderKind kind);

// Renames path -> .bak -> .ba2 -> ... -> .ba5 and drops the old .ba5, but only
// once every generation that exists is known to be movable: each is opened for
// deletion first (which fails while another program holds it without delete
// sharing) and moved through that handle. False, with every file where it was,
// when any of them cannot move.
bool rotateLogFiles(const std::wstring& path);

// The open log file. Writes nothing while its stream is null; error lines retry
// the open, lifecycle lines do not. Not locked itself: reached through Log and
// the functions below, which hold the log's lock.
class LogFile {
public:
    LogFile(const char* name, int32_t encoding, bool nameSuffix, bool truncate, LogHeaderMode headerMode,
            LogFolderKind folderKind);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    int32_t level() const { return level_; }
    const std::wstring& path() const { return path_; }
    bool isOpen() const { return stream_ != nullptr; }
    // How many rotations this file has tried (at start and while running).
    int rotationAttempts() const { return rotationAttempts_; }

    void writePrefix(const wchar_t* tag);
    void writeError(const char* format, va_list args);
    // A numbered line that also came in the last check is counted, not written.
    void writeErrorCode(int32_t code, uint32_t extra);
    // Ends one check. A numbered line (same number, same X) that comes in two
    // checks in a row is counted from then on instead of written, whatever
    // other lines come between. When it stops coming, and at least every
    // LogRepeatReportMs while it goes on, one repeat line says how many times
    // it came and since when.
    void endCheck();
    // Writes the repeat lines still due and the destroyed line when the header
    // mode asks for it, then closes.
    void finish();

private:
    bool headerLines() const;
    bool openStream();
    bool beginErrorLine();
    // Before an error line: a file grown past the threshold is closed, rotated
    // and opened afresh, so that the log stays bounded however long the run.
    // After a failed rotation the next try waits LogRotationRetryMs.
    void rotateIfTooLarge();
    // One rotation try of the closed file, timed for the retry rule.
    void tryRotation();
    void writeWide(const wchar_t* text);
    void writeNarrow(const char* text, size_t length);

    using LineKey = std::pair<int32_t, uint32_t>;  // number, X
    struct Repeat {
        uint64_t count = 0;          // times counted since the last repeat line
        uint64_t countingSince = 0;  // the clock at the first of them
        std::string since;           // its local time, as a line prefix gives it
    };
    // True when the line repeats: it was counted, not written.
    bool countRepeat(const LineKey& key);
    void noteInCheck(const LineKey& key);
    void writeRepeatLine(const LineKey& key, Repeat& repeat);

    FILE* stream_ = nullptr;
    int32_t level_ = 1;
    bool truncate_ = false;
    LogHeaderMode headerMode_ = LogHeaderMode::None;
    int32_t encoding_ = 0;
    std::wstring path_;
    int rotationAttempts_ = 0;
    bool rotationFailed_ = false;  // the last try failed, at lastRotationTry_
    uint64_t lastRotationTry_ = 0;
    std::map<LineKey, Repeat> repeating_;  // the numbered lines of the last check
    std::set<LineKey> thisCheck_;          // those of the check under way
};

class Log {
public:
    explicit Log(std::unique_ptr<LogFile> file) : file_(std::move(file)) {}

    // The process's log, or null while none is started. Only for the thread
    // that starts and ends the log; other threads write through logError and
    // logErrorCode, which cannot meet a log that endLog is freeing.
    static Log* instance();

    // Each line is written under the log's lock.
    void writeError(const char* format, ...) KELVANE_PRINTF_FORMAT(2, 3);
    void writeErrorCode(int32_t code, uint32_t extra = 0);

    LogFile& file() { return *file_; }

private:
    friend void endLog();
    friend void logError(const char* format, ...);
    friend void logErrorCode(LogNumber number, uint32_t extra);
    friend void logCheckEnded();
    std::unique_ptr<LogFile> file_;
};

// Starts the process's log unless one exists (then it does nothing).
void startLog(const char* name, bool nameSuffix, LogFolderKind folderKind, LogHeaderMode headerMode);
// Writes the destroyed line when due, closes the file and forgets the log.
void endLog();

// One error line, or one numbered line ("GEC:<number>, X:<extra>"), in the
// process's log if there is one; safe from any thread and at any time.
void logError(const char* format, ...) KELVANE_PRINTF_FORMAT(1, 2);
void logErrorCode(LogNumber number, uint32_t extra = 0);
// Ends one check (one discovery run) of the process's log: numbered lines that
// come in consecutive checks are written once, then counted (LogFile::endCheck).
void logCheckEnded();

}  // namespace diagnostics
