#pragma once
// Read-only access to the program's registry settings (8-bit registry functions).

#include <windows.h>

#include <cstdint>

#include "platform/Unique.h"

namespace diagnostics {

// Root selectors of RegistryKey; any other value opens under the current user.
enum class RegistryRoot : int32_t {
    LocalMachine = 0,
    CurrentUser = 1,
    ClassesRoot = 2,
    Users = 3,
};

extern const char* const SettingsKeyPrefix;  // "Software\\Tavrello\\"
extern const char* const LogLevelValueName;  // "LogLevel"

// Owns one open registry key. A failed open leaves it without a handle, and every
// query then fails.
class RegistryKey {
public:
    // viewFlag non-zero asks for the 32-bit registry view, zero for the 64-bit view.
    RegistryKey(const char* path, RegistryRoot root, int32_t viewFlag);

    bool isOpen() const { return key_.valid(); }

    // Reads at most 4 bytes of the value into *destination (the stored type is
    // ignored); true when the query succeeded.
    bool queryValue(const char* valueName, int32_t* destination) const;

private:
    platform::UniqueRegistryKey key_;
};

// Access mask for a view flag: KEY_READ with KEY_WOW64_32KEY or KEY_WOW64_64KEY.
REGSAM registryAccessMask(int32_t viewFlag);

// LogLevel for a log name: current user first, then local machine, both in the
// 32-bit view; 1 when neither has it. Never writes anything.
int32_t readLogLevel(const char* logName);

}  // namespace diagnostics
