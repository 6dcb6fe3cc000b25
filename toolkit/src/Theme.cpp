#include "toolkit/Theme.h"

namespace Nvx {

namespace {

// The GUI thread's override of the system setting (tests only); null: the system's.
HighContrastQuery g_highContrastQuery = nullptr;

}  // namespace

bool highContrast() {
    if (g_highContrastQuery != nullptr) return g_highContrastQuery();
    HIGHCONTRASTW setting{};
    setting.cbSize = sizeof(setting);
    if (!SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(setting), &setting, 0)) return false;
    return (setting.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

Gdiplus::ARGB systemColor(int index) {
    const COLORREF colour = GetSysColor(index);
    return Gdiplus::Color::MakeARGB(0xFF, GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

void setHighContrastQuery(HighContrastQuery query) { g_highContrastQuery = query; }

}  // namespace Nvx
