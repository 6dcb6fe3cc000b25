#include "diagnostics/Log.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace diagnostics;
using namespace testing_support;

namespace {

const char* const CreatedLine = "A: =============== LOG CREATED ===============";
const char* const DestroyedLine = "A: ============== LOG DESTROYED ==============";
const std::regex PrefixPattern(R"(^\d{4}:\d{2}:\d{2}_\d{2}:\d{2}:\d{2}:\d{3} ([AE]: .*)$)");

// The lines of a log file with their time prefix checked and removed.
std::vector<std::string> bodiesOf(const std::wstring& path) {
    std::vector<std::string> bodies;
    for (const std::string& line : splitCrLfLines(readFileBytes(path))) {
        std::smatch m;
        if (std::regex_match(line, m, PrefixPattern)) {
            bodies.push_back(m[1]);
        } else {
            bodies.push_back("<no prefix> " + line);
        }
    }
    return bodies;
}

// A small file's bytes; a large one's size only (a failed comparison then stays readable).
std::string contentOf(const std::wstring& path) {
    if (fileSizeOf(path) > 100) return "<" + std::to_string(fileSizeOf(path)) + " bytes>";
    return readFileBytes(path);
}

class LogTest : public ::testing::Test {
protected:
    std::string name = "KelvaneTest_Log";
    std::wstring folder;
    std::wstring path;

    void SetUp() override {
        endLog();
        folder = resolveLogFolder(LogFolderKind::LocalAppData);
        path = folder + L"\\" + widen(name) + L".log";
        deleteSettingsKeys(name);
        removeFiles();
    }
    void TearDown() override {
        endLog();
        removeFiles();
        deleteSettingsKeys(name);
    }
    void removeFiles() {
        deleteFileIfPresent(path);
        for (const wchar_t* s : {L".bak", L".ba2", L".ba3", L".ba4", L".ba5", L".old"}) deleteFileIfPresent(path + s);
    }
    void setLevel(uint32_t level) {
        userKey_.reset(new ScopedSettingsKey(HKEY_CURRENT_USER, name));
        userKey_->setDword("LogLevel", level);
    }
    void start(LogHeaderMode mode = LogHeaderMode::Created) {
        startLog(name.c_str(), false, LogFolderKind::LocalAppData, mode);
        ASSERT_NE(Log::instance(), nullptr);
    }

private:
    std::unique_ptr<ScopedSettingsKey> userKey_;
};

TEST_F(LogTest, FirstRunCreatesFoldersFileAndCreatedLine) {
    const std::wstring logs = folder;
    const std::wstring maker = logs.substr(0, logs.rfind(L'\\'));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((logs + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((logs + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    ASSERT_TRUE(RemoveDirectoryW(logs.c_str()));
    ASSERT_TRUE(RemoveDirectoryW(maker.c_str()));

    start();
    EXPECT_TRUE(fileExists(maker));
    EXPECT_TRUE(fileExists(logs));
    EXPECT_EQ(path, logs + L"\\KelvaneTest_Log.log");
    EXPECT_EQ(bodiesOf(path), std::vector<std::string>{CreatedLine});

    const std::string raw = readFileBytes(path);
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
    EXPECT_EQ(raw.find('\n'), raw.size() - 1) << "one line, ended by CR LF";

    endLog();
    EXPECT_EQ(Log::instance(), nullptr);
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{CreatedLine, DestroyedLine}));
}

TEST_F(LogTest, ProgramLogLivesInTheMakersFolder) {
    const std::wstring logs = resolveLogFolder(LogFolderKind::LocalAppData);
    wchar_t base[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, 0x1c, nullptr, 0, base), S_OK);
    EXPECT_EQ(logs, std::wstring(base) + L"\\Tavrello\\Logs");
    // Unknown kinds behave as LocalAppData.
    EXPECT_EQ(resolveLogFolder(static_cast<LogFolderKind>(17)), logs);
}

TEST_F(LogTest, FileOfExactlyTenMebibytesIsAppendedTo) {
    writeFileOfSize(path, 10485760);
    start();
    EXPECT_FALSE(fileExists(path + L".bak"));
    EXPECT_GT(fileSizeOf(path), 10485760u);
    const std::string raw = readFileBytes(path);
    EXPECT_EQ(raw.substr(0, 4), "xxxx");
    EXPECT_NE(raw.find(CreatedLine, 10485760), std::string::npos);
}

TEST_F(LogTest, OneByteMoreRotatesThroughFiveGenerations) {
    writeFileOfSize(path, 10485761);
    const char* older[] = {"bak", "ba2", "ba3", "ba4", "ba5"};
    for (const char* suffix : older) writeFileBytes(path + L"." + widen(suffix), suffix);

    start();
    EXPECT_EQ(fileSizeOf(path + L".bak"), 10485761u);
    EXPECT_EQ(readFileBytes(path + L".ba2"), "bak");
    EXPECT_EQ(readFileBytes(path + L".ba3"), "ba2");
    EXPECT_EQ(readFileBytes(path + L".ba4"), "ba3");
    EXPECT_EQ(readFileBytes(path + L".ba5"), "ba4");  // the old .ba5 is gone
    EXPECT_FALSE(fileExists(path + L".old"));
    EXPECT_EQ(bodiesOf(path), std::vector<std::string>{CreatedLine});
}

// A file that cannot move (held open without delete sharing) is written on;
// the older generations survive every try, at start and before each line.
TEST_F(LogTest, FileThatCannotMoveKeepsEveryOlderGeneration) {
    writeFileOfSize(path, 10485761);
    const char* older[] = {"bak", "ba2", "ba3", "ba4", "ba5"};
    for (const char* suffix : older) writeFileBytes(path + L"." + widen(suffix), suffix);
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    start();
    for (int32_t code = 2000; code < 2007; ++code) logErrorCode(static_cast<LogNumber>(code));
    endLog();
    CloseHandle(holder);
    for (const char* suffix : older) EXPECT_EQ(readFileBytes(path + L"." + widen(suffix)), suffix);
    EXPECT_FALSE(fileExists(path + L".old"));
    const std::string raw = readFileBytes(path);
    EXPECT_EQ(raw.substr(0, 4), "xxxx");
    EXPECT_NE(raw.find("E: GEC:2006", 10485761), std::string::npos);
}

TEST_F(LogTest, RotationSkipsMissingGenerations) {
    writeFileOfSize(path, 10485761);
    writeFileBytes(path + L".bak", "previous");
    start();
    EXPECT_EQ(fileSizeOf(path + L".bak"), 10485761u);
    EXPECT_EQ(readFileBytes(path + L".ba2"), "previous");
    EXPECT_FALSE(fileExists(path + L".ba3"));
    EXPECT_FALSE(fileExists(path + L".ba4"));
    EXPECT_FALSE(fileExists(path + L".ba5"));
    EXPECT_EQ(bodiesOf(path), std::vector<std::string>{CreatedLine});
}

TEST_F(LogTest, LevelZeroKeepsLifecycleLinesButNoErrorsAndNoRotation) {
    setLevel(0);
    writeFileOfSize(path, 10485761);
    start();
    EXPECT_FALSE(fileExists(path + L".bak"));
    Log::instance()->writeError("Build failed %d", 5);
    Log::instance()->writeErrorCode(2003, 2);
    endLog();
    const std::string raw = readFileBytes(path);
    ASSERT_GT(raw.size(), 10485761u);
    const std::vector<std::string> tail = splitCrLfLines(raw.substr(10485761));
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_NE(tail[0].find(CreatedLine), std::string::npos);
    EXPECT_NE(tail[1].find(DestroyedLine), std::string::npos);
}

TEST_F(LogTest, NegativeLevelSuppressesErrorLines) {
    setLevel(0xFFFFFFFFu);
    start();
    EXPECT_EQ(Log::instance()->file().level(), -1);
    Log::instance()->writeErrorCode(2004);
    endLog();
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{CreatedLine, DestroyedLine}));
}

TEST_F(LogTest, LevelZeroWithoutHeaderLinesNeverCreatesTheFile) {
    setLevel(0);
    DeleteFileW(path.c_str());
    start(LogHeaderMode::None);
    EXPECT_TRUE(fileExists(folder));
    EXPECT_FALSE(Log::instance()->file().isOpen());
    Log::instance()->writeError("dropped");
    endLog();
    EXPECT_FALSE(fileExists(path));
}

TEST_F(LogTest, HeaderModeNoneStillOpensForErrorsAtLevelOne) {
    start(LogHeaderMode::None);
    EXPECT_TRUE(Log::instance()->file().isOpen());
    Log::instance()->writeError("Build failed %d", 1400);
    endLog();
    EXPECT_EQ(bodiesOf(path), std::vector<std::string>{"E: Build failed 1400"});
}

TEST_F(LogTest, UnknownHeaderModeBehavesAsNone) {
    start(static_cast<LogHeaderMode>(9));
    endLog();
    EXPECT_EQ(readFileBytes(path), "");
}

TEST_F(LogTest, VersionLineWithoutVersionResourceIsZeros) {
    start(LogHeaderMode::CreatedWithVersion);
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{CreatedLine, "A: EXE Version: 0.0.0.0"}));
}

TEST_F(LogTest, ErrorCodeBodies) {
    struct Case {
        int32_t code;
        uint32_t extra;
        const char* body;
    };
    const Case cases[] = {
        {2004, 0, "E: GEC:2004"},
        {2003, 5, "E: GEC:2003, X:5"},
        {2006, 0xFFFFFFFFu, "E: GEC:2006, X:4294967295"},
        {-12, 0, "E: GEC:-12"},
        {-2147483647 - 1, 1, "E: GEC:-2147483648, X:1"},
    };
    start(LogHeaderMode::None);
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        Log::instance()->writeErrorCode(c.code, c.extra);
        expected.push_back(c.body);
        // Each line is on disk as soon as it is complete, with the log still open.
        EXPECT_EQ(bodiesOf(path), expected) << "after code " << c.code;
    }
}

TEST_F(LogTest, ErrorLinesExpandTheirFormatAndKeepBytesAsTheyAre) {
    start(LogHeaderMode::None);
    Log::instance()->writeError("Build failed %d", -5);
    Log::instance()->writeError("%s and %u", "text", 7u);
    Log::instance()->writeError("caf\xe9");
    Log::instance()->writeError("%s", std::string(5000, 'y').c_str());
    const std::vector<std::string> bodies = bodiesOf(path);
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], "E: Build failed -5");
    EXPECT_EQ(bodies[1], "E: text and 7");
    EXPECT_EQ(bodies[2], "E: caf\xe9");
    EXPECT_EQ(bodies[3], "E: " + std::string(5000, 'y'));
}

TEST_F(LogTest, SecondStartIsIgnored) {
    start();
    Log* first = Log::instance();
    const std::string otherName = "KelvaneTest_Other";
    const std::wstring otherPath = folder + L"\\" + widen(otherName) + L".log";
    deleteFileIfPresent(otherPath);
    startLog(otherName.c_str(), true, LogFolderKind::Documents, LogHeaderMode::None);
    EXPECT_EQ(Log::instance(), first);
    Log::instance()->writeErrorCode(2000);
    EXPECT_FALSE(fileExists(otherPath));
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{CreatedLine, "E: GEC:2000"}));
}

TEST_F(LogTest, LockedFileLosesCreatedLineAndFirstErrorAfterUnlockOpensIt) {
    writeFileBytes(path, "");
    HANDLE lock = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    start();
    EXPECT_FALSE(Log::instance()->file().isOpen());
    Log::instance()->writeErrorCode(2001);  // lost: still locked
    CloseHandle(lock);

    Log::instance()->writeErrorCode(2002, 3);
    EXPECT_TRUE(Log::instance()->file().isOpen());
    endLog();
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{"E: GEC:2002, X:3", DestroyedLine}));
}

TEST_F(LogTest, OtherProcessesMayReadAndWriteWhileOpen) {
    start();
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

TEST_F(LogTest, NameSuffixAppendsTheExecutableName) {
    const std::wstring suffixed = folder + L"\\" + widen(name) + L"_diagnostics_tests.exe.log";
    deleteFileIfPresent(suffixed);
    startLog(name.c_str(), true, LogFolderKind::LocalAppData, LogHeaderMode::Created);
    EXPECT_EQ(Log::instance()->file().path(), suffixed);
    endLog();
    EXPECT_EQ(bodiesOf(suffixed), (std::vector<std::string>{CreatedLine, DestroyedLine}));
    deleteFileIfPresent(suffixed);
}

// A line that finds the file at exactly the limit goes on at its end; the next
// one, past the limit, starts a new file.
TEST_F(LogTest, LogThatGrowsPastTheLimitWhileRunningIsRotatedBeforeTheNextLine) {
    writeFileOfSize(path, 10485760);
    writeFileBytes(path + L".bak", "previous");
    start(LogHeaderMode::None);
    Log::instance()->writeErrorCode(2003, 2);
    EXPECT_FALSE(fileExists(path + L".ba2")) << "not rotated at exactly the limit";
    Log::instance()->writeErrorCode(2004);
    endLog();
    const std::string rotated = readFileBytes(path + L".bak");
    ASSERT_GT(rotated.size(), 10485760u);
    const std::vector<std::string> tail = splitCrLfLines(rotated.substr(10485760));
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_NE(tail[0].find(" E: GEC:2003, X:2"), std::string::npos);
    EXPECT_EQ(readFileBytes(path + L".ba2"), "previous");
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{"E: GEC:2004"}));
}

// Writers on other threads racing the end of the log: whole lines only, none
// after the destroyed line, nothing touched once the log is gone.
TEST_F(LogTest, WritersOnOtherThreadsRacingTheEndKeepLinesWhole) {
    start();
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t, &written] {
            for (int i = 0; i < 400; ++i) {
                logError("writer %d line %d %s", t, i, std::string(static_cast<size_t>(i % 50), 'x').c_str());
                ++written;
            }
        });
    }
    while (written < 200) Sleep(1);
    endLog();
    for (std::thread& writer : writers) writer.join();
    const std::vector<std::string> bodies = bodiesOf(path);
    ASSERT_GE(bodies.size(), 3u);
    EXPECT_EQ(bodies.front(), CreatedLine);
    EXPECT_EQ(bodies.back(), DestroyedLine);
    const std::regex linePattern(R"(E: writer \d line \d+ x*)");
    for (size_t i = 1; i + 1 < bodies.size(); ++i) {
        ASSERT_TRUE(std::regex_match(bodies[i], linePattern)) << "line " << i << ": " << bodies[i];
    }
}

TEST_F(LogTest, EndLogWithoutLogDoesNothing) {
    endLog();
    endLog();
    EXPECT_EQ(Log::instance(), nullptr);
}

TEST_F(LogTest, TruncatingLogEmptiesTheFileAndNeverRotates) {
    writeFileOfSize(path, 10485761);
    { LogFile file(name.c_str(), 0, false, true, LogHeaderMode::Created, LogFolderKind::LocalAppData); }
    EXPECT_FALSE(fileExists(path + L".bak"));
    EXPECT_EQ(bodiesOf(path), std::vector<std::string>{CreatedLine});
}

TEST_F(LogTest, Utf16LogHoldsOnlyUtf16Text) {
    {
        LogFile file(name.c_str(), LogEncodingUtf16, false, true, LogHeaderMode::None, LogFolderKind::LocalAppData);
        ASSERT_TRUE(file.isOpen());
        file.writeErrorCode(2005, 109);
    }
    const std::string raw = readFileBytes(path);
    std::wstring text;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        text +=
            static_cast<wchar_t>(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
    }
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    EXPECT_EQ(raw.size() % 2, 0u);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    EXPECT_NE(text.find(L" E: GEC:2005, X:109\r\n"), std::wstring::npos);
}

}  // namespace

namespace {

// The clock of the rotation retry: moved on by the test's thread, read by the
// log's writes (on that thread too); atomic all the same.
std::atomic<uint64_t> g_testNow{1000000};
uint64_t testClock() { return g_testNow.load(); }

}  // namespace

// A viewer holds the log open without delete sharing while it grows past the
// limit: every line goes on at the end of the same file, the rotation is tried
// at most once a minute, and it happens once the viewer lets go.
TEST_F(LogTest, ReaderWithoutDeleteSharingDefersRotationWithoutLosingLines) {
    const LogClock previous = setLogClock(testClock);
    writeFileOfSize(path, LogRotationThreshold - 1000);
    writeFileBytes(path + L".bak", "previous");
    HANDLE viewer = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
    start(LogHeaderMode::None);
    const int lines = 300;  // about 12 KB: well past the limit, over five minutes
    for (int i = 0; i < lines; ++i) {
        logError("line %03d", i);
        g_testNow += 1000;
    }
    EXPECT_GE(Log::instance()->file().rotationAttempts(), 1);
    EXPECT_LE(Log::instance()->file().rotationAttempts(), 1 + lines / 60);
    EXPECT_EQ(readFileBytes(path + L".bak"), "previous");
    EXPECT_FALSE(fileExists(path + L".old"));
    // The first line follows the block of 'x' the file started with.
    const std::vector<std::string> held = bodiesOf(path);
    ASSERT_EQ(held.size(), static_cast<size_t>(lines));
    EXPECT_EQ(held[0].substr(held[0].size() - 11), "E: line 000");
    for (int i = 1; i < lines; ++i) {
        char expected[32];
        snprintf(expected, sizeof expected, "E: line %03d", i);
        EXPECT_EQ(held[i], expected);
    }

    CloseHandle(viewer);
    const int attempts = Log::instance()->file().rotationAttempts();
    logError("not yet");  // within the minute: no new try
    EXPECT_EQ(Log::instance()->file().rotationAttempts(), attempts);
    g_testNow += LogRotationRetryMs;
    logError("rotated");
    logError("after");
    endLog();
    setLogClock(previous);
    EXPECT_EQ(bodiesOf(path), (std::vector<std::string>{"E: rotated", "E: after"}));
    EXPECT_EQ(readFileBytes(path + L".ba2"), "previous");
    const std::string rotated = readFileBytes(path + L".bak");
    EXPECT_NE(rotated.find("E: not yet"), std::string::npos);
    EXPECT_FALSE(fileExists(path + L".old"));
}

// A reader holds an older generation without delete sharing: no try, at start
// or while running, moves anything; every line stays in the current file; and
// once the reader lets go, the next try shifts every generation by one.
TEST_F(LogTest, ReaderOnAnOlderGenerationCostsNoGeneration) {
    const char* older[] = {"bak", "ba2", "ba3", "ba4", "ba5"};
    for (const char* held : {"bak", "ba3"}) {
        SCOPED_TRACE(held);
        SetUp();
        const LogClock previous = setLogClock(testClock);
        writeFileOfSize(path, LogRotationThreshold + 1);
        for (const char* suffix : older) writeFileBytes(path + L"." + widen(suffix), suffix);
        HANDLE reader = CreateFileW((path + L"." + widen(held)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        start(LogHeaderMode::None);
        const int lines = 200;  // three more tries over the minutes they take
        for (int i = 0; i < lines; ++i) {
            logError("line %03d", i);
            g_testNow += 1000;
        }
        EXPECT_EQ(Log::instance()->file().rotationAttempts(), 4);
        for (const char* suffix : older) EXPECT_EQ(contentOf(path + L"." + widen(suffix)), suffix);
        const std::vector<std::string> kept = bodiesOf(path);
        ASSERT_EQ(kept.size(), static_cast<size_t>(lines));
        EXPECT_EQ(kept.back(), "E: line 199");
        EXPECT_FALSE(fileExists(path + L".old"));

        CloseHandle(reader);
        g_testNow += LogRotationRetryMs;
        logError("after");
        endLog();
        setLogClock(previous);
        EXPECT_EQ(bodiesOf(path), std::vector<std::string>{"E: after"});
        EXPECT_TRUE(bodiesOf(path + L".bak") == kept);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(contentOf(path + L"." + widen(older[i + 1])), older[i]);
        TearDown();
    }
}

// After a failed try the next comes exactly one retry interval later.
TEST_F(LogTest, NextTryAfterAFailedRotationComesAtExactlyTheRetryInterval) {
    const LogClock previous = setLogClock(testClock);
    writeFileOfSize(path, LogRotationThreshold + 1);
    HANDLE holder =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    start(LogHeaderMode::None);
    EXPECT_EQ(Log::instance()->file().rotationAttempts(), 1);
    const uint64_t failedAt = g_testNow;
    g_testNow = failedAt + LogRotationRetryMs - 1;
    logError("early");
    EXPECT_EQ(Log::instance()->file().rotationAttempts(), 1);
    g_testNow = failedAt + LogRotationRetryMs;
    logError("due");
    EXPECT_EQ(Log::instance()->file().rotationAttempts(), 2);
    endLog();
    CloseHandle(holder);
    setLogClock(previous);
}

namespace {

// A log's bodies with the time after " since " cut off (checked for its form):
// "E: GEC:1001, X:3, GEC:2003, X:2 since".
std::vector<std::string> bodiesWithoutSinceTime(const std::wstring& path) {
    const std::regex since(R"((.* since) \d{4}:\d{2}:\d{2}_\d{2}:\d{2}:\d{2}:\d{3})");
    std::vector<std::string> bodies = bodiesOf(path);
    for (std::string& body : bodies) {
        std::smatch m;
        if (std::regex_match(body, m, since)) body = m[1];
    }
    return bodies;
}

}  // namespace

// A numbered line that comes in check after check is written once, then
// counted, even among other lines; the count is told when it stops or changes.
TEST_F(LogTest, LineRepeatedOnConsecutiveChecksIsWrittenOnceThenCounted) {
    start(LogHeaderMode::None);
    for (int check = 0; check < 100; ++check) {
        logErrorCode(LogNumber::ServiceOpen, 2);
        logError("between");                        // other lines are written as they come
        logErrorCode(LogNumber::ServiceBusy, 121);  // and a second repeating line is counted on its own
        logCheckEnded();
    }
    logErrorCode(LogNumber::ServiceOpen, 231);  // same number, another X: a line of its own
    logCheckEnded();
    logErrorCode(LogNumber::ServiceOpen, 2);  // back after a check without it: written again
    logCheckEnded();
    endLog();
    std::vector<std::string> bodies = bodiesWithoutSinceTime(path);
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "E: between"), 100);
    bodies.erase(std::remove(bodies.begin(), bodies.end(), "E: between"), bodies.end());
    EXPECT_EQ(bodies, (std::vector<std::string>{"E: GEC:2003, X:2", "E: GEC:2004, X:121", "E: GEC:2003, X:231",
                                                "E: GEC:1001, X:99, GEC:2003, X:2 since",
                                                "E: GEC:1001, X:99, GEC:2004, X:121 since", "E: GEC:2003, X:2"}));
}

// A line that goes on for hours is told once an hour, each repeat line
// counting from its own first line, and what remains when the log ends.
TEST_F(LogTest, LongRepeatIsToldEveryHourAndAtTheEnd) {
    const LogClock previous = setLogClock(testClock);
    start(LogHeaderMode::Created);
    const int checks = 2 * 3600 + 100;  // one a second
    for (int check = 0; check < checks; ++check) {
        logErrorCode(LogNumber::ServiceOpen, 2);
        logCheckEnded();
        g_testNow += 1000;
    }
    endLog();
    setLogClock(previous);
    EXPECT_EQ(bodiesWithoutSinceTime(path),
              (std::vector<std::string>{CreatedLine, "E: GEC:2003, X:2", "E: GEC:1001, X:3601, GEC:2003, X:2 since",
                                        "E: GEC:1001, X:3601, GEC:2003, X:2 since",
                                        "E: GEC:1001, X:97, GEC:2003, X:2 since", DestroyedLine}));
}

// Support staff read the numbers in the users' README: it lists each number
// the programs write once, and no other.
TEST(LogNumbers, UsersReadmeListsExactlyTheNumbersWritten) {
    std::multiset<int> written;
    for (const LogNumberMeaning& row : LogNumberTable) {
        written.insert(static_cast<int>(row.number));
        EXPECT_GT(std::string(row.meaning).size(), 10u) << static_cast<int>(row.number);
    }
    std::multiset<int> listed;
    const std::regex entry(R"(^  (\d{4})  +\S.*)");
    std::istringstream readme(readFileBytes(windowsPathOf(KELVANE_USERS_README)));
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) listed.insert(std::stoi(m[1]));
    }
    EXPECT_EQ(listed, written);
    EXPECT_EQ(std::set<int>(written.begin(), written.end()).size(), written.size()) << "a number used twice";
}
