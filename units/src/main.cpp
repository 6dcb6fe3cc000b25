// kelvane-units: the console companion of the serial-number window.

#include "diagnostics/Log.h"
#include "platform/SystemDlls.h"
#include "units/UnitsCommand.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // Before anything loads a DLL by name: System32 only.
    platform::useSystemDllsOnly();
    // Its own log beside the window's (Tavrello_Kelvane_<exe name>.log), at the
    // window's level, so that the two never share a file.
    diagnostics::startLog("Tavrello_Kelvane", true, diagnostics::LogFolderKind::LocalAppData,
                          diagnostics::LogHeaderMode::Created);
    const units::UnitsResult result = units::runUnitsCommand(std::vector<std::wstring>(argv + 1, argv + argc));
    // A watch writes its lines as it goes, with the log open.
    const units::UnitsExitCode code =
        result.watch ? units::watchUnits(*result.watch, GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE))
                     : result.exitCode;
    diagnostics::endLog();

    const bool written = units::writeStandardText(GetStdHandle(STD_OUTPUT_HANDLE), result.output);
    units::writeStandardText(GetStdHandle(STD_ERROR_HANDLE), result.errors);
    const int exitCode = static_cast<int>(written ? code : units::UnitsExitCode::OutputFailed);
    // A lookup given up is still inside a device call and uses the discovery
    // library's process-wide state: end without running static destructors.
    if (units::lookupsRunning() > 0) ExitProcess(static_cast<UINT>(exitCode));
    return exitCode;
}
