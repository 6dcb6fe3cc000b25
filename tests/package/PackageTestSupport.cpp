#include "PackageTestSupport.h"

#include "TestSupport.h"

#include <algorithm>

namespace testing_support {

const wchar_t* const SimulatorSerial = L"TVK7Q2M9X4LP8RZ3HN6WC5JD";
const wchar_t* const SimulatorGroupedSerial = L"TVK7Q2-M9X4LP-8RZ3HN-6WC5JD";

namespace {

BOOL CALLBACK collectText(HWND hwnd, LPARAM param) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(text);
    return TRUE;
}

}  // namespace

std::vector<std::wstring> childTexts(HWND window) {
    std::vector<std::wstring> texts;
    EnumChildWindows(window, collectText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

::testing::AssertionResult windowShowsSimulatorUnit(const std::wstring& program, const std::wstring& simulator) {
    ChildProcess server(simulator, std::wstring(L"--serial ") + SimulatorSerial);
    if (!server.waitForOutput("serving", ProgramStartTimeoutMs)) {
        return ::testing::AssertionFailure() << "the simulator did not start: " << server.output();
    }
    ChildProcess window(program, L"");
    HWND hwnd = nullptr;
    if (!waitUntil([&] { return (hwnd = FindWindowW(L"Tavrello_Kelvane_MainWindow", nullptr)) != nullptr; },
                   ProgramStartTimeoutMs)) {
        return ::testing::AssertionFailure() << "no window; exit code " << window.exitCode(0);
    }
    std::vector<std::wstring> texts;
    const bool shown = waitUntil(
        [&] {
            texts = childTexts(hwnd);
            return std::find(texts.begin(), texts.end(), SimulatorGroupedSerial) != texts.end();
        },
        ProgramStartTimeoutMs);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    const DWORD exitCode = window.exitCode(ProgramStartTimeoutMs);
    if (!shown) return ::testing::AssertionFailure() << "the window shows " << ::testing::PrintToString(texts);
    if (exitCode != 0) return ::testing::AssertionFailure() << "the window ended with " << exitCode;
    return ::testing::AssertionSuccess();
}

}  // namespace testing_support
