#pragma once
// What the package tests share: a shipped program, wherever it was put, run
// against the service simulator.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

constexpr DWORD ProgramStartTimeoutMs = 30000;  // a process start under Wine can take seconds
// The unit the simulator serves for these tests, and how the programs show it.
extern const wchar_t* const SimulatorSerial;
extern const wchar_t* const SimulatorGroupedSerial;

// The texts of a window's children: the serial number is one of them.
std::vector<std::wstring> childTexts(HWND window);

// Runs the serial-number window at `program` with the simulator at `simulator`
// serving SimulatorSerial: success when the window showed the unit, and
// ended with exit code 0 when asked to close.
::testing::AssertionResult windowShowsSimulatorUnit(const std::wstring& program, const std::wstring& simulator);

}  // namespace testing_support
