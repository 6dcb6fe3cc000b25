#include "app/AppSupport.h"

#include "platform/Unique.h"

#include <objidl.h>
#include <ole2.h>

#include <sddl.h>

#include <cstring>
#include <vector>

namespace app {

namespace {

// A movable global block holding a copy of `size` bytes; empty on failure.
platform::UniqueGlobal globalCopy(const void* bytes, size_t size) {
    platform::UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return block;
    void* data = GlobalLock(block.get());
    if (data == nullptr) return platform::UniqueGlobal();
    platform::UniqueGlobalLock lock(block.get());
    std::memcpy(data, bytes, size);
    return block;
}

using GetScaleFactorForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int*);

// Found once and kept for the process; a failed lookup is tried again next time.
// Used on the GUI thread only (the window's layout asks for the scale).
HMODULE g_shcore = nullptr;
GetScaleFactorForMonitorFn g_getScaleFactor = nullptr;

// GetDpiForWindow (Windows 10 1607 and later), looked up once; GUI thread only.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
GetDpiForWindowFn g_getDpiForWindow = nullptr;

}  // namespace

float scaleForDeviceFactor(int percentage) {
    switch (percentage) {
    case 120:
    case 125:
    case 140:
    case 150:
    case 160:
    case 175:
    case 180:
    case 200:
    case 225:
    case 250:
    case 300:
    case 350:
    case 400:
    case 450:
    case 500: return static_cast<float>(percentage) / 100.0f;
    default: return 1.0f;
    }
}

float scaleForDpi(unsigned dpi) {
    if (dpi < 48 || dpi > 480) return 0.0f;
    return static_cast<float>(dpi) / 96.0f;
}

float windowScaleFactor(HWND window) {
    if (g_getDpiForWindow == nullptr) {
        g_getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    }
    const float scale = g_getDpiForWindow != nullptr ? scaleForDpi(g_getDpiForWindow(window)) : 0.0f;
    return scale > 0.0f ? scale : monitorScaleFactor();
}

float monitorScaleFactor() {
    if (g_shcore == nullptr) g_shcore = LoadLibraryA("Shcore.dll");
    if (g_shcore != nullptr && g_getScaleFactor == nullptr) {
        g_getScaleFactor = reinterpret_cast<GetScaleFactorForMonitorFn>(
            reinterpret_cast<void*>(GetProcAddress(g_shcore, "GetScaleFactorForMonitor")));
    }
    if (g_shcore == nullptr || g_getScaleFactor == nullptr) return 1.0f;

    HMONITOR monitor = MonitorFromWindow(GetDesktopWindow(), MONITOR_DEFAULTTOPRIMARY);
    int value = 0;
    if (g_getScaleFactor(monitor, &value) != S_OK) return 1.0f;
    return scaleForDeviceFactor(value);
}

std::unique_ptr<Gdiplus::Bitmap> loadPngResource(HMODULE module, const wchar_t* name, const wchar_t* type) {
    if (name == nullptr || type == nullptr) return nullptr;
    HRSRC resource = FindResourceW(module, name, type);
    if (resource == nullptr) return nullptr;
    const DWORD size = SizeofResource(module, resource);
    if (size == 0) return nullptr;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return nullptr;

    const platform::UniqueGlobal block = globalCopy(bytes, size);
    if (!block) return nullptr;

    platform::UniqueCom<IStream> stream;
    if (CreateStreamOnHGlobal(block.get(), FALSE, stream.put()) != S_OK) return nullptr;

    // A bitmap made from a stream may read the stream again later; copy its
    // pixels into a bitmap of its own so that the block can go now.
    Gdiplus::Bitmap decoded(stream.get());
    if (decoded.GetLastStatus() != Gdiplus::Ok) return nullptr;
    const UINT width = decoded.GetWidth();
    const UINT height = decoded.GetHeight();
    if (width == 0 || height == 0) return nullptr;
    std::unique_ptr<Gdiplus::Bitmap> owned(
        new Gdiplus::Bitmap(static_cast<INT>(width), static_cast<INT>(height), PixelFormat32bppARGB));
    if (owned->GetLastStatus() != Gdiplus::Ok) return nullptr;
    {
        Gdiplus::Graphics graphics(owned.get());
        graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
        if (graphics.DrawImage(&decoded, 0, 0, static_cast<INT>(width), static_cast<INT>(height)) != Gdiplus::Ok) {
            return nullptr;
        }
    }
    return owned;
}

bool setClipboardText(const std::wstring& text, HWND owner) {
    // Up to the first NUL, which c_str() always has at `length`, and with it.
    const size_t length = wcsnlen(text.c_str(), text.size());
    platform::UniqueGlobal block = globalCopy(text.c_str(), (length + 1) * sizeof(wchar_t));
    if (!block) return false;

    // Another program may hold the clipboard for a moment: ask again for a while.
    const ULONGLONG end = GetTickCount64() + ClipboardRetryMs;
    platform::UniqueClipboard clipboard(OpenClipboard(owner) != FALSE);
    while (!clipboard && GetTickCount64() < end) {
        Sleep(10);
        clipboard.reset(OpenClipboard(owner) != FALSE);
    }
    if (!clipboard) return false;
    EmptyClipboard();
    if (SetClipboardData(CF_UNICODETEXT, block.get()) == nullptr) return false;
    block.release();  // the clipboard owns it now
    return true;
}

namespace {

// The current user's SID as text; empty when it cannot be read.
std::wstring currentUserSid() {
    platform::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0 || size > 4096) return std::wstring();
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return std::wstring();
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::wstring();
    const platform::UniqueLocal textBlock(text);
    return std::wstring(text);
}

// How long a second start waits for the first window to take its request.
constexpr UINT BringToFrontWaitMs = 2000;

// Asks the visible top-level window of windowClass to come to the front;
// whether there was one. The system lets only some processes set the
// foreground window: this one, just started by the user, may, and passes the
// right on to the window's process, which restores and activates its window
// itself. The wait for its answer is bounded; a hung window is left as it is.
bool bringWindowToFront(const wchar_t* windowClass) {
    HWND window = FindWindowW(windowClass, nullptr);
    if (window == nullptr || !IsWindowVisible(window)) return false;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != 0) AllowSetForegroundWindow(process);
    const UINT request = bringToFrontMessage();
    DWORD_PTR answer = 0;
    if (request != 0) {
        SendMessageTimeoutW(window, request, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, BringToFrontWaitMs, &answer);
    }
    return true;
}

}  // namespace

UINT bringToFrontMessage() { return RegisterWindowMessageW(L"Tavrello_Kelvane_BringToFront"); }

namespace {

// The filter's changer; GUI thread only.
MessageFilterChanger g_messageFilterChanger = ChangeWindowMessageFilterEx;

}  // namespace

void installMessageFilterChanger(MessageFilterChanger changer) {
    g_messageFilterChanger = changer != nullptr ? changer : ChangeWindowMessageFilterEx;
}

bool allowBringToFrontRequests(HWND window) {
    const UINT request = bringToFrontMessage();
    return request != 0 && g_messageFilterChanger(window, request, MSGFLT_ALLOW, nullptr) != FALSE;
}

std::wstring SingleInstance::objectName(const std::wstring& programName) {
    std::wstring user = currentUserSid();
    if (user.empty()) {
        // Without the SID the user name still keeps users apart.
        wchar_t name[257] = {};
        DWORD length = 257;
        if (GetUserNameW(name, &length)) user = name;
    }
    return L"Local\\" + programName + L"_" + user;
}

SingleInstance::SingleInstance(const std::wstring& programName) {
    const std::wstring name = objectName(programName);
    mark_.reset(CreateMutexW(nullptr, TRUE, name.c_str()));  // reset keeps the last error
    const DWORD error = GetLastError();
    // An object that exists (or that this process may not open) belongs to a
    // running instance. Without any object nothing can be told: run.
    first_ = !(error == ERROR_ALREADY_EXISTS || (!mark_ && error == ERROR_ACCESS_DENIED));
}

bool SingleInstance::waitForTurn(const wchar_t* windowClass, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (bringWindowToFront(windowClass)) return false;
        // Ours once the process that holds it has ended (abandoned) or let it go.
        if (mark_) {
            const DWORD wait = WaitForSingleObject(mark_.get(), 50);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
                first_ = true;
                return true;
            }
        } else {
            Sleep(50);
        }
        if (GetTickCount64() >= end) return false;
    }
}

}  // namespace app
