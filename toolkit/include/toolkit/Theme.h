#pragma once
// The user's high-contrast setting and the system colours the widgets paint
// with while it is on (window and window text, button face and button text,
// highlight). Each paint asks again, so a theme changed at run time shows at
// the next repaint.

#include "toolkit/GdiPlus.h"

namespace Nvx {

// Whether a high-contrast theme is on (SPI_GETHIGHCONTRAST, HCF_HIGHCONTRASTON).
bool highContrast();

// A system colour (COLOR_WINDOW, COLOR_BTNTEXT, ...) as an opaque ARGB value.
Gdiplus::ARGB systemColor(int index);

// Where the system's setting cannot be switched (Wine cannot), a test reports it
// through its own query instead; null goes back to the system's. Set and read
// on the GUI thread only.
using HighContrastQuery = bool (*)();
void setHighContrastQuery(HighContrastQuery query);

}  // namespace Nvx
