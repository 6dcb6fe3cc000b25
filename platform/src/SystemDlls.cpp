#include "platform/SystemDlls.h"

#include <windows.h>

#include <delayimp.h>

namespace {

// Asked by the delay-load helper before it loads a DLL on the first call into
// it: loads the DLL and its dependencies from System32, whatever the process's
// search path is at that moment (also before an entry point has set it). When
// System32 has no such DLL, the null answer lets the helper search for it by
// name, which after useSystemDllsOnly is System32 again and fails too.
FARPROC WINAPI loadFromSystem32(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
    HMODULE module = LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(module));
}

}  // namespace

// The helper's hook, by the name it looks for; set before any code runs and
// never changed, so any thread may read it.
// (Visual C++ declares it const, MinGW-w64 does not.)
extern "C" {
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = loadFromSystem32;
#else
PfnDliHook __pfnDliNotifyHook2 = loadFromSystem32;
#endif
}

namespace platform {

void useSystemDllsOnly() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Loads that ask for the older search order (LOAD_WITH_ALTERED_SEARCH_PATH)
    // do not use the path above; an empty DLL directory drops the current
    // folder from that order.
    SetDllDirectoryW(L"");
}

}  // namespace platform
