// The shipped programs load Windows DLLs from System32 only. A DLL left beside
// a program, or in the current folder, under the name of a system DLL the
// program uses (and that leaves a mark when it is loaded) is never loaded, and
// the program still works. Windows looks in the program's folder first for a
// DLL that is not a KnownDLL; Wine does so only when told to prefer a native
// DLL, so each run tells it that for every planted name. The programs are the
// ZIP's, as a user unpacks them.

#include "PackageTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

// The system DLLs the programs load themselves, then two that the system
// loads on its own later (user32 does, under Wine).
const wchar_t* const PlantedNames[] = {L"version", L"hid",    L"winusb",  L"setupapi",
                                       L"gdiplus", L"oleacc", L"uxtheme", L"imm32"};

std::wstring packedProgram(const wchar_t* name) { return windowsPathOf(KELVANE_PACKED_FOLDER) + L"\\" + name; }

std::wstring environmentValue(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? value : L"";
}

// Every file in a folder; the folder and everything in it go with removeFolder.
std::vector<std::wstring> filesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}
void removeFolder(const std::wstring& folder) {
    for (const std::wstring& name : filesIn(folder)) deleteFileIfPresent(folder + L"\\" + name);
    RemoveDirectoryW(folder.c_str());
}

// A program copied into a folder of its own with the planted DLLs beside it,
// started from another folder that holds them too, Wine preferring them.
class PlantedDlls : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"kelvane-planted";
        programFolder_ = root_ + L"\\program";
        currentFolder_ = root_ + L"\\current";
        removeFolders();  // what a run that was stopped left
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(programFolder_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(currentFolder_.c_str(), nullptr));
        std::wstring overrides;
        for (const wchar_t* name : PlantedNames) {
            for (const std::wstring& folder : {programFolder_, currentFolder_}) {
                ASSERT_TRUE(CopyFileW(windowsPathOf(KELVANE_PLANTED_DLL).c_str(),
                                      (folder + L"\\" + name + L".dll").c_str(), FALSE));
            }
            overrides += (overrides.empty() ? L"" : L",") + std::wstring(name);
        }
        savedOverrides_ = environmentValue(L"WINEDLLOVERRIDES");
        GetCurrentDirectoryW(MAX_PATH, savedFolder_);
        // The children inherit both.
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (overrides + L"=n,b;" + savedOverrides_).c_str());
        SetCurrentDirectoryW(currentFolder_.c_str());
    }
    void TearDown() override {
        SetCurrentDirectoryW(savedFolder_);
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", savedOverrides_.c_str());
        removeFolders();
    }
    void removeFolders() const {
        for (const std::wstring& folder : {programFolder_, currentFolder_, root_}) removeFolder(folder);
    }

    // The program, copied beside the planted DLLs.
    std::wstring placeProgram(const wchar_t* name) {
        const std::wstring path = programFolder_ + L"\\" + name;
        EXPECT_TRUE(CopyFileW(packedProgram(name).c_str(), path.c_str(), FALSE));
        return path;
    }
    // The marks the planted DLLs left, in either folder.
    std::vector<std::wstring> marks() const {
        std::vector<std::wstring> found;
        for (const std::wstring& folder : {programFolder_, currentFolder_}) {
            for (const std::wstring& name : filesIn(folder)) {
                if (name.size() > 7 && name.compare(name.size() - 7, 7, L".loaded") == 0) found.push_back(name);
            }
        }
        return found;
    }

    std::wstring root_, programFolder_, currentFolder_, savedOverrides_;
    wchar_t savedFolder_[MAX_PATH] = {};
};

TEST_F(PlantedDlls, TheWindowLoadsNoneAndShowsTheUnit) {
    const std::wstring program = placeProgram(L"Tavrello_Kelvane.exe");
    EXPECT_TRUE(windowShowsSimulatorUnit(program, packedProgram(L"service-simulator.exe")));
    EXPECT_EQ(marks(), std::vector<std::wstring>());
}

TEST_F(PlantedDlls, KelvaneUnitsLoadsNoneAndListsTheUnit) {
    const std::wstring program = placeProgram(L"kelvane-units.exe");
    ChildProcess simulator(packedProgram(L"service-simulator.exe"), std::wstring(L"--serial ") + SimulatorSerial);
    ASSERT_TRUE(simulator.waitForOutput("serving", ProgramStartTimeoutMs)) << simulator.output();
    ChildProcess units(program, L"--json", true);
    const DWORD exitCode = units.exitCode(ProgramStartTimeoutMs);
    EXPECT_EQ(marks(), std::vector<std::wstring>());
    ASSERT_EQ(exitCode, 0u) << units.errors();
    const nlohmann::json listing = nlohmann::json::parse(units.output(), nullptr, false);
    ASSERT_TRUE(listing.is_array() && listing.size() == 1) << units.output();
    EXPECT_EQ(listing[0].value("serialNumber", ""), "TVK7Q2M9X4LP8RZ3HN6WC5JD");
}

}  // namespace
