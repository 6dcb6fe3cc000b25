// The per-user MSI installer under Wine's msiexec: install, the installed
// program showing the simulator's unit, the shortcut, upgrade, downgrade and
// uninstall. The packages come from the package_contents test (the same build):
// this build's installer and an older one holding marked copies of the programs.

#include "TestSupport.h"
#include "diagnostics/Log.h"
#include "diagnostics/Registry.h"
#include "platform/Unique.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

constexpr DWORD InstallTimeoutMs = 120000;
constexpr DWORD StartTimeoutMs = 30000;
const wchar_t* const UpgradeCode = KELVANE_UPGRADE_CODE;
const wchar_t* const Version = KELVANE_VERSION;
const wchar_t* const ClassName = L"Tavrello_Kelvane_MainWindow";
const wchar_t* const Serial24 = L"TVK7Q2M9X4LP8RZ3HN6WC5JD";
const wchar_t* const Grouped24 = L"TVK7Q2-M9X4LP-8RZ3HN-6WC5JD";

std::wstring installerPath() { return windowsPathOf(KELVANE_INSTALLER); }
std::wstring olderInstallerPath() { return windowsPathOf(KELVANE_OLDER_INSTALLER); }
// This build's programs as packed (stripped), to compare installed files with.
std::wstring packedProgramPath() { return windowsPathOf(KELVANE_PACKED_PROGRAM); }

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::wstring result;
    if (SHGetKnownFolderPath(id, 0, nullptr, &path) == S_OK) result = path;
    CoTaskMemFree(path);
    return result;
}
std::wstring installFolder() { return knownFolder(FOLDERID_LocalAppData) + L"\\Programs\\Tavrello Kelvane"; }
std::wstring installedProgram() { return installFolder() + L"\\Tavrello_Kelvane.exe"; }
std::wstring shortcutPath() { return knownFolder(FOLDERID_Programs) + L"\\Tavrello Kelvane.lnk"; }
// Whether the installed program is this build's (not the older package's).
bool installedProgramIsThisBuilds() { return readFileBytes(installedProgram()) == readFileBytes(packedProgramPath()); }
bool folderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// msiexec's exit code for a silent run with these options.
DWORD runMsiexec(const std::wstring& options) {
    ChildProcess msiexec(knownFolder(FOLDERID_System) + L"\\msiexec.exe", options + L" /qn");
    if (!msiexec.started()) return ERROR_FILE_NOT_FOUND;
    return msiexec.exitCode(InstallTimeoutMs);
}
DWORD install(const std::wstring& package) { return runMsiexec(L"/i \"" + package + L"\""); }

// The products installed from our installer, by product code.
std::vector<std::wstring> installedProducts() {
    std::vector<std::wstring> products;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(UpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i) products.push_back(code);
    return products;
}
std::wstring productInfo(const std::wstring& product, const wchar_t* property) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (MsiGetProductInfoW(product.c_str(), property, value, &size) != ERROR_SUCCESS) return L"<none>";
    return value;
}
std::wstring installedVersion() {
    const std::vector<std::wstring> products = installedProducts();
    return products.size() == 1 ? productInfo(products[0], INSTALLPROPERTY_VERSIONSTRING) : L"<not one product>";
}

struct Shortcut {
    std::wstring target;
    std::wstring icon;
};
// Where a shortcut points and the icon it shows, read through the shell's own
// link object.
Shortcut readShortcut(const std::wstring& link) {
    platform::UniqueCom<IShellLinkW> shellLink;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shellLink.put())))) {
        return {L"<no shell link>", L""};
    }
    platform::UniqueCom<IPersistFile> file;
    if (FAILED(shellLink.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) ||
        FAILED(file.get()->Load(link.c_str(), STGM_READ))) {
        return {L"<unreadable>", L""};
    }
    wchar_t target[MAX_PATH] = {};
    wchar_t icon[MAX_PATH] = {};
    int iconIndex = 0;
    shellLink.get()->GetPath(target, MAX_PATH, nullptr, 0);
    shellLink.get()->GetIconLocation(icon, MAX_PATH, &iconIndex);
    return {target, icon};
}

BOOL CALLBACK collectText(HWND hwnd, LPARAM param) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(text);
    return TRUE;
}
// The texts of a window's children: the serial number is one of them.
std::vector<std::wstring> childTexts(HWND window) {
    std::vector<std::wstring> texts;
    EnumChildWindows(window, collectText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        removeEveryInstall();
    }
    void TearDown() override {
        removeEveryInstall();
        CoUninitialize();
    }
    // A run that failed half-way leaves nothing installed for the next.
    static void removeEveryInstall() {
        for (const std::wstring& product : installedProducts()) runMsiexec(L"/x " + product);
    }
};

TEST_F(Installer, InstallsPerUserRunsAndUninstallsKeepingTheUsersLogAndSetting) {
    // What belongs to the user and must outlive the program.
    ScopedSettingsKey settings(HKEY_CURRENT_USER, "Tavrello_Kelvane");
    settings.setDword(diagnostics::LogLevelValueName, 2);

    ASSERT_EQ(install(installerPath()), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(installedProducts().size(), 1u);
    const std::wstring product = installedProducts()[0];
    EXPECT_EQ(productInfo(product, INSTALLPROPERTY_VERSIONSTRING), Version);
    EXPECT_EQ(productInfo(product, INSTALLPROPERTY_PUBLISHER), L"Tavrello");
    EXPECT_EQ(productInfo(product, INSTALLPROPERTY_PRODUCTNAME), L"Tavrello Kelvane");
    const std::wstring icon = productInfo(product, INSTALLPROPERTY_PRODUCTICON);  // Installed apps shows it
    EXPECT_TRUE(fileExists(icon)) << testing::PrintToString(icon);
    EXPECT_TRUE(installedProgramIsThisBuilds());
    EXPECT_TRUE(fileExists(installFolder() + L"\\kelvane-units.exe"));
    EXPECT_FALSE(fileExists(installFolder() + L"\\service-simulator.exe")) << "the simulator ships in the ZIP only";
    const Shortcut shortcut = readShortcut(shortcutPath());
    EXPECT_EQ(CompareStringOrdinal(shortcut.target.c_str(), -1, installedProgram().c_str(), -1, TRUE), CSTR_EQUAL)
        << "the shortcut points to " << testing::PrintToString(shortcut.target);
    EXPECT_TRUE(fileExists(shortcut.icon)) << "the shortcut's icon: " << testing::PrintToString(shortcut.icon);

    {
        ChildProcess simulator(windowsPathOf(KELVANE_SERVICE_SIMULATOR), std::wstring(L"--serial ") + Serial24);
        ASSERT_TRUE(simulator.waitForOutput("serving", StartTimeoutMs)) << simulator.output();
        ChildProcess program(installedProgram(), L"");
        HWND window = nullptr;
        ASSERT_TRUE(waitUntil([&] { return (window = FindWindowW(ClassName, nullptr)) != nullptr; }, StartTimeoutMs));
        std::vector<std::wstring> texts;
        EXPECT_TRUE(waitUntil(
            [&] {
                texts = childTexts(window);
                return std::find(texts.begin(), texts.end(), Grouped24) != texts.end();
            },
            StartTimeoutMs))
            << "the window shows " << testing::PrintToString(texts);
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.exitCode(StartTimeoutMs), 0u);
    }
    const std::wstring logFolder = diagnostics::resolveLogFolder(diagnostics::LogFolderKind::LocalAppData);
    ASSERT_TRUE(folderExists(logFolder));

    ASSERT_EQ(runMsiexec(L"/x \"" + installerPath() + L"\""), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(installedProducts().empty());
    EXPECT_FALSE(folderExists(installFolder()));
    EXPECT_FALSE(fileExists(shortcutPath()));
    platform::UniqueRegistryKey installKey;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tavrello\\Tavrello_Kelvane\\Install", 0, KEY_READ,
                            installKey.put()),
              ERROR_SUCCESS)
        << "the install's own values are gone";
    EXPECT_TRUE(folderExists(logFolder));
    EXPECT_EQ(diagnostics::readLogLevel("Tavrello_Kelvane"), 2);
}

TEST_F(Installer, UpgradesAnOlderInstallInPlaceAndRefusesADowngrade) {
    ASSERT_EQ(install(olderInstallerPath()), static_cast<DWORD>(ERROR_SUCCESS));
    const std::wstring olderVersion = installedVersion();
    ASSERT_NE(olderVersion, Version);
    ASSERT_TRUE(fileExists(installedProgram()));
    ASSERT_FALSE(installedProgramIsThisBuilds());

    ASSERT_EQ(install(installerPath()), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(installedVersion(), Version) << "one product, the newer one";
    EXPECT_TRUE(installedProgramIsThisBuilds());

    // Wine's msiexec does not log the refusal's text; the package check reads it
    // from the installer's launch conditions instead.
    EXPECT_EQ(install(olderInstallerPath()), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(installedVersion(), Version) << "the newer install stays";
    EXPECT_TRUE(installedProgramIsThisBuilds());
}

}  // namespace
