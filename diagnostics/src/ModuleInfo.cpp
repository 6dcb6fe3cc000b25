#include "diagnostics/ModuleInfo.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace diagnostics {

void fillModuleInfo(ModuleInfo& info, const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\') name = p + 1;
    }
    wcsncpy(info.fullPath, path, ModuleInfo::BufferUnits - 1);
    info.fullPath[ModuleInfo::BufferUnits - 1] = L'\0';
    wcsncpy(info.fileName, name, ModuleInfo::BufferUnits - 1);
    info.fileName[ModuleInfo::BufferUnits - 1] = L'\0';
    info.filled = true;
}

const ModuleInfo& moduleInfo() {
    static ModuleInfo info;
    if (!info.filled) {
        wchar_t buffer[ModuleInfo::BufferUnits] = {};
        if (GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, ModuleInfo::BufferUnits) == 0) {
            buffer[0] = L'\0';
        }
        buffer[ModuleInfo::BufferUnits - 1] = L'\0';
        fillModuleInfo(info, buffer);
    }
    return info;
}

FileVersion readFileVersion(const wchar_t* path) {
    FileVersion version;
    const DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    if (size < 1 || size > 0x100000) return version;

    std::vector<BYTE> block(size, 0);
    if (!GetFileVersionInfoW(path, 0, size, block.data())) return version;

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", &value, &length) && value != nullptr &&
        length == sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        version.major = HIWORD(fixed->dwFileVersionMS);
        version.minor = LOWORD(fixed->dwFileVersionMS);
        version.build = HIWORD(fixed->dwFileVersionLS);
        version.revision = LOWORD(fixed->dwFileVersionLS);
    }
    return version;
}

}  // namespace diagnostics
