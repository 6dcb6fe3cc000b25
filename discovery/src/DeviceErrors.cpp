#include "discovery/DeviceErrors.h"

#include "diagnostics/Log.h"

#include <mutex>

namespace discovery {

namespace {

// The paths that failed in the last finished run of each pass (by DevicePass),
// guarded by g_failuresLock. Bounded by the devices present at once.
std::mutex g_failuresLock;
std::set<std::wstring> g_lastFailures[2];

// Device paths come from the system but are not trusted: printable ASCII is
// kept, anything else becomes '?', and the text is cut at a sane length.
std::string printablePath(const std::wstring& path) {
    constexpr size_t LongestLoggedPath = 512;
    std::string text;
    for (size_t i = 0; i < path.size() && i < LongestLoggedPath; ++i) {
        const wchar_t unit = path[i];
        text += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    }
    return text;
}

std::set<std::wstring>& lastFailures(DevicePass pass) { return g_lastFailures[pass == DevicePass::Hid ? 0 : 1]; }

}  // namespace

DeviceFailureReport::~DeviceFailureReport() {
    std::lock_guard<std::mutex> lock(g_failuresLock);
    lastFailures(pass_).swap(failed_);
}

void DeviceFailureReport::failed(const std::wstring& path, DeviceError step, DWORD error) {
    if (!failed_.insert(path).second) return;
    {
        std::lock_guard<std::mutex> lock(g_failuresLock);
        if (lastFailures(pass_).count(path) != 0) return;
    }
    diagnostics::logError("GEC:%d, X:%lu, %s", static_cast<int>(step), static_cast<unsigned long>(error),
                          printablePath(path).c_str());
}

}  // namespace discovery
