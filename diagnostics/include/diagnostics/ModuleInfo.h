#pragma once
// The running executable's path and file name, and its file version.

#include <cstdint>

namespace diagnostics {

struct ModuleInfo {
    static constexpr int BufferUnits = 260;  // MAX_PATH; at most 259 units are used
    wchar_t fullPath[BufferUnits] = {};
    wchar_t fileName[BufferUnits] = {};  // the part after the last backslash
    bool filled = false;
};

// Filled on first use from the process's own module.
const ModuleInfo& moduleInfo();

// Fills a record from a module path as GetModuleFileNameW returned it (empty on failure).
void fillModuleInfo(ModuleInfo& info, const wchar_t* path);

struct FileVersion {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;
};

// The file version from the version resource of the file at path; 0.0.0.0 when it
// cannot be read.
FileVersion readFileVersion(const wchar_t* path);

}  // namespace diagnostics
