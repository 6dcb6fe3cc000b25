#include "diagnostics/Registry.h"

#include <string>

const char* const SettingsKeyPrefix = "Software\\Tavrello\\";
const char* const LogLevelValueName = "LogLevel";

namespace {

HKEY rootForSelector(int32_t selector) {
    switch (selector) {
    case RegistryRootLocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRootCurrentUser: return HKEY_CURRENT_USER;
    case RegistryRootClassesRoot: return HKEY_CLASSES_ROOT;
    case RegistryRootUsers: return HKEY_USERS;
    default: return HKEY_CURRENT_USER;
    }
}

}  // namespace

REGSAM registryAccessMask(int32_t viewFlag) { return KEY_READ | (viewFlag != 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY); }

RegistryKey::RegistryKey(const char* path, int32_t rootSelector, int32_t viewFlag) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(rootForSelector(rootSelector), path, 0, registryAccessMask(viewFlag), &opened) == ERROR_SUCCESS) {
        key_.reset(opened);
    }
}

bool RegistryKey::queryValue(const char* valueName, int32_t* destination) const {
    if (!key_) return false;
    DWORD type = 0;
    DWORD size = sizeof(int32_t);
    return RegQueryValueExA(key_.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(destination), &size) ==
           ERROR_SUCCESS;
}

int32_t readLogLevel(const char* logName) {
    const std::string path = std::string(SettingsKeyPrefix) + (logName ? logName : "");
    int32_t level = 2;  // a value shorter than 4 bytes only replaces its low-order bytes
    RegistryKey userKey(path.c_str(), RegistryRootCurrentUser, 1);
    if (userKey.queryValue(LogLevelValueName, &level)) return level;
    RegistryKey machineKey(path.c_str(), RegistryRootLocalMachine, 1);
    if (machineKey.queryValue(LogLevelValueName, &level)) return level;
    return 1;
}
