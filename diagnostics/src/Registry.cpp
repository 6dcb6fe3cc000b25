#include "diagnostics/Registry.h"

#include <string>

namespace diagnostics {

const char* const SettingsKeyPrefix = "Software\\Tavrello\\";
const char* const LogLevelValueName = "LogLevel";

namespace {

HKEY rootKey(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
    case RegistryRoot::Users: return HKEY_USERS;
    default: return HKEY_CURRENT_USER;
    }
}

}  // namespace

REGSAM registryAccessMask(int32_t viewFlag) { return KEY_READ | (viewFlag != 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY); }

RegistryKey::RegistryKey(const char* path, RegistryRoot root, int32_t viewFlag) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(rootKey(root), path, 0, registryAccessMask(viewFlag), &opened) == ERROR_SUCCESS) {
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
    RegistryKey userKey(path.c_str(), RegistryRoot::CurrentUser, 1);
    if (userKey.queryValue(LogLevelValueName, &level)) return level;
    RegistryKey machineKey(path.c_str(), RegistryRoot::LocalMachine, 1);
    if (machineKey.queryValue(LogLevelValueName, &level)) return level;
    return 1;
}

}  // namespace diagnostics
