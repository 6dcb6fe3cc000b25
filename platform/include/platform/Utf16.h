#pragma once
// UTF-16 code units: the two halves of a surrogate pair.

#include <cstdint>

namespace platform {

constexpr bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace platform
