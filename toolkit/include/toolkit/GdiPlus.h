#pragma once
// GDI+ for the toolkit and its users. The SDK's GDI+ headers use min and max,
// which NOMINMAX takes away from windows.h; give them the standard ones.

#include <windows.h>

#include <algorithm>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus

#include <objidl.h>
#include <gdiplus.h>
