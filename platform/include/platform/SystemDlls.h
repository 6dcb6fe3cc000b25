#pragma once
// Windows DLLs come from System32 only (cmake/SystemDlls.cmake has the whole
// arrangement). Defined in platform/src/SystemDlls.cpp, which every shipped
// program compiles in through the `system_dlls` library, together with the
// hook that loads each delay-loaded DLL from System32.

namespace platform {

// Sets the process's DLL search path to System32 alone, for every later load
// by name (LoadLibrary, the delay-load helper, GDI+ and COM loading DLLs of
// their own, and the dependencies of each), and takes the current folder out
// of the older search order that some loads still use. Called first thing in
// each entry point. (SetDefaultDllDirectories fails only for flags it does
// not know, and every Windows 10 and 11 knows this one.)
void useSystemDllsOnly();

}  // namespace platform
