#pragma once
// Platform glue of the main window: scale factor, logo resource, clipboard.

#include "platform/Unique.h"
#include "toolkit/GdiPlus.h"

#include <windows.h>

#include <memory>
#include <string>

namespace app {

// The primary monitor's scale factor; 1.0 when it cannot be read.
float monitorScaleFactor();

// The scale of a DPI (dpi / 96); 0 for a DPI outside 48 to 480, which no
// display gives.
float scaleForDpi(unsigned dpi);

// The window's own DPI as a scale (GetDpiForWindow). Where the system has no
// per-window DPI (before Windows 10 1607), the primary monitor's scale factor.
float windowScaleFactor(HWND window);

// Maps a DEVICE_SCALE_FACTOR percentage to a scale: the known factors from 120 to
// 500 give value / 100, anything else (100 included) 1.0.
float scaleForDeviceFactor(int percentage);

// Decodes a PNG resource into a bitmap that owns its pixels; null when the
// resource is missing or cannot be decoded.
std::unique_ptr<Gdiplus::Bitmap> loadPngResource(HMODULE module, const wchar_t* name, const wchar_t* type);

// How long setClipboardText keeps asking for a clipboard that another program
// holds (clipboard history, remote desktop and clipboard managers hold it briefly).
constexpr DWORD ClipboardRetryMs = 100;

// Puts the text (up to its first NUL) on the clipboard as CF_UNICODETEXT. The
// owner window becomes the clipboard's owner. Returns whether the clipboard
// took it; when not, GetLastError() tells why.
bool setClipboardText(const std::wstring& text, HWND owner = nullptr);

// The registered message by which a second start asks the first one's window
// to come to the front; 0 when it cannot be registered. The window answers
// BringToFrontAnswer.
UINT bringToFrontMessage();
constexpr LRESULT BringToFrontAnswer = 1;

// Lets bringToFrontMessage through the window's message filter: User Interface
// Privilege Isolation drops registered messages sent from a lower integrity
// level, so without it a start without elevation never reaches the window of
// an elevated first one. Returns whether the filter took it; when not,
// GetLastError() tells why.
bool allowBringToFrontRequests(HWND window);

// How a window's message filter is changed: ChangeWindowMessageFilterEx,
// unless a test stands in its own (null: the real one again). GUI thread only.
using MessageFilterChanger = BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
void installMessageFilterChanger(MessageFilterChanger changer);

// Marks the program as running for the current user (a named mutex in the
// session's namespace whose name carries the user's SID). Of several processes
// that start at once exactly one is first; the mark goes with that process.
// The first process's thread that made it holds the mutex for the process's
// whole life, so a later start can tell when that process has ended.
class SingleInstance {
public:
    explicit SingleInstance(const std::wstring& programName);
    bool first() const { return first_; }
    // For a start that is not first: waits up to timeoutMs for the first
    // process's window (asked to come to the front: false, this start ends) or
    // for that process to end (true: this one now holds the mark and runs).
    // False when neither happens in time.
    bool waitForTurn(const wchar_t* windowClass, DWORD timeoutMs);
    // The object's name: "Local\<programName>_<user SID>".
    static std::wstring objectName(const std::wstring& programName);

private:
    platform::UniqueHandle mark_;
    bool first_ = true;
};

}  // namespace app
