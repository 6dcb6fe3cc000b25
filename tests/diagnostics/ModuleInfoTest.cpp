#include "diagnostics/ModuleInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace diagnostics;

namespace {

TEST(ModuleInfo, FileNameIsTheTextAfterTheLastBackslash) {
    struct Case {
        const wchar_t* path;
        const wchar_t* name;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\Tavrello\\tool.exe", L"tool.exe"},
        {L"tool.exe", L"tool.exe"},
        {L"C:\\folder\\", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        ModuleInfo info;
        fillModuleInfo(info, c.path);
        EXPECT_TRUE(info.filled);
        EXPECT_STREQ(info.fullPath, c.path);
        EXPECT_STREQ(info.fileName, c.name);
    }
}

TEST(ModuleInfo, LongPathsAreCutToTheBuffer) {
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'a');
    ModuleInfo info;
    fillModuleInfo(info, longPath.c_str());
    EXPECT_EQ(std::wstring(info.fullPath), longPath.substr(0, 259));
    EXPECT_EQ(std::wstring(info.fileName), std::wstring(259, L'a'));
}

TEST(ModuleInfo, DescribesTheRunningExecutable) {
    const ModuleInfo& info = moduleInfo();
    EXPECT_STREQ(info.fileName, L"diagnostics_tests.exe");
    EXPECT_EQ(&info, &moduleInfo());
}

TEST(FileVersion, MissingFileOrResourceIsZeros) {
    const FileVersion none = readFileVersion(L"C:\\no\\such\\file.exe");
    EXPECT_EQ(none.major + none.minor + none.build + none.revision, 0);
    const FileVersion own = readFileVersion(moduleInfo().fullPath);
    EXPECT_EQ(own.major + own.minor + own.build + own.revision, 0);
}

TEST(FileVersion, ReadsASystemDllsVersion) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const FileVersion v = readFileVersion((std::wstring(system) + L"\\kernel32.dll").c_str());
    EXPECT_GT(v.major, 0);
}

}  // namespace
