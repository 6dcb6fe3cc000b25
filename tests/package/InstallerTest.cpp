// The two MSI installers under Wine's msiexec: per user and per machine, each
// installing, running from where it put the program, and uninstalling; each
// refusing the other's context; upgrades in place (an older version, a rebuild
// of the same version, a fourth-part bump) and a refused downgrade. The
// packages come from the package_contents test (the same build): this build's
// installers and per-user ones holding marked copies of the programs.

#include "PackageTestSupport.h"
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

#include <string>
#include <vector>

using namespace testing_support;

namespace {

constexpr DWORD InstallTimeoutMs = 120000;
const wchar_t* const Version = KELVANE_VERSION;
const wchar_t* const ProductName = L"Tavrello Kelvane";
const wchar_t* const InstallKey = L"Software\\Tavrello\\Tavrello_Kelvane\\Install";

std::wstring userInstaller() { return windowsPathOf(KELVANE_PACKAGES "/" KELVANE_INSTALLER); }
std::wstring machineInstaller() { return windowsPathOf(KELVANE_PACKAGES "/" KELVANE_MACHINE_INSTALLER); }
// The per-user installers of marked copies of the programs: older, rebuild, fourth.
std::wstring markedInstaller(const char* name) {
    return windowsPathOf(std::string(KELVANE_PACKAGES "/") + name + "/installer.msi");
}
std::wstring markedProgram(const char* name) {
    return windowsPathOf(std::string(KELVANE_PACKAGES "/") + name + "/Tavrello_Kelvane.exe");
}
// This build's programs as packed (stripped), to compare installed files with.
std::wstring packedProgram(const wchar_t* name) { return windowsPathOf(KELVANE_PACKED_FOLDER) + L"\\" + name; }

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::wstring result;
    if (SHGetKnownFolderPath(id, 0, nullptr, &path) == S_OK) result = path;
    CoTaskMemFree(path);
    return result;
}
bool folderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
bool keyExists(HKEY root, const std::wstring& path) {
    platform::UniqueRegistryKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS;
}

// Where each context puts the programs and the shortcut.
struct Context {
    const wchar_t* name;
    std::wstring folder;
    std::wstring shortcut;
    HKEY root;  // of the install's own registry values
    MSIINSTALLCONTEXT msiContext;
};
Context userContext() {
    return {L"user", knownFolder(FOLDERID_LocalAppData) + L"\\Programs\\Tavrello Kelvane",
            knownFolder(FOLDERID_Programs) + L"\\Tavrello Kelvane.lnk", HKEY_CURRENT_USER,
            MSIINSTALLCONTEXT_USERUNMANAGED};
}
Context machineContext() {
    // Windows Installer puts a per-machine shortcut into the all-users Start
    // menu; Wine 8's msiexec puts it into the installing user's.
    const KNOWNFOLDERID& menu = underWine() ? FOLDERID_Programs : FOLDERID_CommonPrograms;
    return {L"machine", knownFolder(FOLDERID_ProgramFiles) + L"\\Tavrello Kelvane",
            knownFolder(menu) + L"\\Tavrello Kelvane.lnk", HKEY_LOCAL_MACHINE, MSIINSTALLCONTEXT_MACHINE};
}

// msiexec's exit code for a silent run with these options.
DWORD runMsiexec(const std::wstring& options) {
    ChildProcess msiexec(knownFolder(FOLDERID_System) + L"\\msiexec.exe", options + L" /qn");
    if (!msiexec.started()) return ERROR_FILE_NOT_FOUND;
    return msiexec.exitCode(InstallTimeoutMs);
}
DWORD install(const std::wstring& package, const std::wstring& properties = L"") {
    return runMsiexec(L"/i \"" + package + L"\" " + properties);
}

struct Product {
    std::wstring code;
    MSIINSTALLCONTEXT context;
};
std::wstring productInfo(const Product& product, const wchar_t* property) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (MsiGetProductInfoExW(product.code.c_str(), nullptr, product.context, property, value, &size) != ERROR_SUCCESS) {
        return L"<none>";
    }
    return value;
}
// The installed products of this name, in any context.
std::vector<Product> installedProducts() {
    std::vector<Product> products;
    wchar_t code[39];
    MSIINSTALLCONTEXT context = MSIINSTALLCONTEXT_NONE;
    for (DWORD i = 0; MsiEnumProductsExW(nullptr, nullptr, MSIINSTALLCONTEXT_ALL, i, code, &context, nullptr,
                                         nullptr) == ERROR_SUCCESS;
         ++i) {
        const Product product{code, context};
        if (productInfo(product, INSTALLPROPERTY_PRODUCTNAME) == ProductName) products.push_back(product);
    }
    return products;
}
// The one installed product's version, in the given context.
std::wstring installedVersion(MSIINSTALLCONTEXT context = MSIINSTALLCONTEXT_USERUNMANAGED) {
    const std::vector<Product> products = installedProducts();
    if (products.size() != 1) return L"<" + std::to_wstring(products.size()) + L" products>";
    if (products[0].context != context) return L"<another context>";
    return productInfo(products[0], INSTALLPROPERTY_VERSIONSTRING);
}
bool installedProgramIs(const Context& where, const std::wstring& program) {
    return readFileBytes(where.folder + L"\\Tavrello_Kelvane.exe") == readFileBytes(program);
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
        for (const Product& product : installedProducts()) runMsiexec(L"/x " + product.code);
    }

    // Installs the context's package, checks what it put where, runs the
    // installed program, uninstalls and checks that only the user's log and
    // setting are left.
    void installRunAndUninstall(const std::wstring& package, const Context& where) {
        SCOPED_TRACE(where.name);
        // What belongs to the user and must outlive the program.
        ScopedSettingsKey settings(HKEY_CURRENT_USER, "Tavrello_Kelvane");
        settings.setDword(diagnostics::LogLevelValueName, 2);

        ASSERT_EQ(install(package), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(installedVersion(where.msiContext), Version);
        const Product product = installedProducts()[0];
        EXPECT_EQ(productInfo(product, INSTALLPROPERTY_PUBLISHER), L"Tavrello");
        const std::wstring icon = productInfo(product, INSTALLPROPERTY_PRODUCTICON);  // Installed apps shows it
        EXPECT_TRUE(fileExists(icon)) << testing::PrintToString(icon);
        EXPECT_TRUE(installedProgramIs(where, packedProgram(L"Tavrello_Kelvane.exe")));
        EXPECT_EQ(readFileBytes(where.folder + L"\\kelvane-units.exe"),
                  readFileBytes(packedProgram(L"kelvane-units.exe")));
        EXPECT_FALSE(fileExists(where.folder + L"\\service-simulator.exe")) << "the simulator ships in the ZIP only";
        const Shortcut shortcut = readShortcut(where.shortcut);
        const std::wstring program = where.folder + L"\\Tavrello_Kelvane.exe";
        EXPECT_EQ(CompareStringOrdinal(shortcut.target.c_str(), -1, program.c_str(), -1, TRUE), CSTR_EQUAL)
            << "the shortcut points to " << testing::PrintToString(shortcut.target);
        EXPECT_TRUE(fileExists(shortcut.icon)) << "the shortcut's icon: " << testing::PrintToString(shortcut.icon);
        EXPECT_TRUE(keyExists(where.root, InstallKey));

        EXPECT_TRUE(windowShowsSimulatorUnit(program, packedProgram(L"service-simulator.exe")));
        const std::wstring logFolder = diagnostics::resolveLogFolder(diagnostics::LogFolderKind::LocalAppData);
        ASSERT_TRUE(folderExists(logFolder));

        ASSERT_EQ(runMsiexec(L"/x \"" + package + L"\""), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(installedProducts().empty());
        EXPECT_FALSE(folderExists(where.folder));
        EXPECT_FALSE(fileExists(where.shortcut));
        EXPECT_FALSE(keyExists(where.root, InstallKey)) << "the install's own values are gone";
        EXPECT_TRUE(folderExists(logFolder));
        EXPECT_EQ(diagnostics::readLogLevel("Tavrello_Kelvane"), 2);
    }
};

TEST_F(Installer, InstallsPerUserRunsAndUninstallsKeepingTheUsersLogAndSetting) {
    installRunAndUninstall(userInstaller(), userContext());
}

TEST_F(Installer, InstallsPerMachineIntoProgramFilesRunsAndUninstallsKeepingTheUsersLogAndSetting) {
    installRunAndUninstall(machineInstaller(), machineContext());
}

// A package run in the other context installs nothing: the per-user one asked
// for a machine install, the machine one forced into a per-user install.
TEST_F(Installer, EachPackageRefusesTheOtherContext) {
    const struct {
        std::wstring package;
        const wchar_t* properties;
    } runs[] = {
        {userInstaller(), L"ALLUSERS=1"}, {userInstaller(), L"ALLUSERS=2"}, {machineInstaller(), L"ALLUSERS=\"\""}};
    for (const auto& run : runs) {
        EXPECT_EQ(install(run.package, run.properties), static_cast<DWORD>(ERROR_INSTALL_FAILURE)) << run.properties;
        EXPECT_TRUE(installedProducts().empty()) << run.properties;
        for (const Context& where : {userContext(), machineContext()}) {
            EXPECT_FALSE(folderExists(where.folder)) << run.properties << " " << where.name;
        }
    }
}

TEST_F(Installer, UpgradesAnOlderInstallInPlaceAndRefusesADowngrade) {
    ASSERT_EQ(install(markedInstaller("older")), static_cast<DWORD>(ERROR_SUCCESS));
    const std::wstring olderVersion = installedVersion();
    ASSERT_NE(olderVersion, Version);
    ASSERT_TRUE(installedProgramIs(userContext(), markedProgram("older")));

    ASSERT_EQ(install(userInstaller()), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(installedVersion(), Version) << "one product, the newer one";
    EXPECT_TRUE(installedProgramIs(userContext(), packedProgram(L"Tavrello_Kelvane.exe")));

    // Wine's msiexec does not log the refusal's text; the package check reads it
    // from the installer's launch conditions instead.
    EXPECT_EQ(install(markedInstaller("older")), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(installedVersion(), Version) << "the newer install stays";
    EXPECT_TRUE(installedProgramIs(userContext(), packedProgram(L"Tavrello_Kelvane.exe")));
}

// Windows Installer compares three parts of a version: a rebuild of the same
// version (a new product code) and one that differs in the fourth part only
// replace the installed product instead of installing beside it.
TEST_F(Installer, ARebuildOfTheSameVersionOrOfANewFourthPartReplacesTheInstalledOne) {
    ASSERT_EQ(install(userInstaller()), static_cast<DWORD>(ERROR_SUCCESS));
    for (const char* package : {"rebuild", "fourth"}) {
        ASSERT_EQ(install(markedInstaller(package)), static_cast<DWORD>(ERROR_SUCCESS)) << package;
        EXPECT_EQ(installedProducts().size(), 1u) << package;
        EXPECT_TRUE(installedProgramIs(userContext(), markedProgram(package))) << package;
    }
}

}  // namespace
