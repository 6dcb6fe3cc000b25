#pragma once
// The message layout of the background service's named pipe, shared by the
// client, the service simulator and the tests: fixed 264-byte messages,
// little-endian integers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Utf16.h"

namespace platform {

// The service's fixed name; the pipe is \\.\pipe\<name>.
constexpr const wchar_t* ServiceName = L"Tavrello_MotionService";
constexpr const wchar_t* ServicePipePrefix = L"\\\\.\\pipe\\";

constexpr uint32_t ServiceMessageSize = 264;
using ServiceMessage = std::array<uint8_t, ServiceMessageSize>;

// A request's command code. A received code may be any 32-bit value.
enum class ServiceCommand : uint32_t {
    DeviceCount = 170,
    DeviceIdentity = 171,
    Manufacturer = 172,
    Product = 173,
    Serial = 174,
    Path = 175,
};

// Request layout.
constexpr size_t ServiceRequestCommandOffset = 0;
constexpr size_t ServiceRequestSequenceOffset = 4;
constexpr size_t ServiceRequestIndexOffset = 8;

// Reply layout.
constexpr size_t ServiceReplySequenceOffset = 0;
constexpr size_t ServiceReplyPayloadOffset = 8;
constexpr size_t ServiceReplyCountOffset = 8;
constexpr size_t ServiceReplyVendorIdOffset = 8;
constexpr size_t ServiceReplyProductIdOffset = 12;
constexpr size_t ServiceReplyKindOffset = 16;
// A string reply is cut here: at most 127 code units are taken.
constexpr size_t ServiceReplyStringEnd = 262;
constexpr size_t ServiceReplyStringMaxUnits = (ServiceReplyStringEnd - ServiceReplyPayloadOffset) / 2;

inline std::wstring servicePipePath(const std::wstring& serviceName) { return ServicePipePrefix + serviceName; }

inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void writeLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline ServiceMessage makeServiceRequest(ServiceCommand command, uint32_t sequence, uint32_t deviceIndex) {
    ServiceMessage m{};
    writeLe32(&m[ServiceRequestCommandOffset], static_cast<uint32_t>(command));
    writeLe32(&m[ServiceRequestSequenceOffset], sequence);
    writeLe32(&m[ServiceRequestIndexOffset], deviceIndex);
    return m;
}

// The text of a string reply: the 16-bit zero at the cut is written first, so
// the text ends at the first NUL and never runs past the message. A text cut
// there loses a high surrogate left at its end: its other half was cut away.
inline std::wstring readServiceString(ServiceMessage& reply) {
    const bool moreAfterCut = reply[ServiceReplyStringEnd] != 0 || reply[ServiceReplyStringEnd + 1] != 0;
    reply[ServiceReplyStringEnd] = 0;
    reply[ServiceReplyStringEnd + 1] = 0;
    std::wstring text;
    for (size_t offset = ServiceReplyPayloadOffset;; offset += 2) {
        const wchar_t unit = static_cast<wchar_t>(reply[offset] | reply[offset + 1] << 8);
        if (unit == L'\0') break;
        text += unit;
    }
    if (moreAfterCut && text.size() == ServiceReplyStringMaxUnits && isHighSurrogate(text.back())) {
        text.pop_back();
    }
    return text;
}

// The service's side: at most what the client takes (ServiceReplyStringMaxUnits
// code units, cut as the client cuts), always NUL-terminated.
inline void writeServiceString(ServiceMessage& reply, const std::wstring& text) {
    size_t units = text.size() < ServiceReplyStringMaxUnits ? text.size() : ServiceReplyStringMaxUnits;
    if (units < text.size() && isHighSurrogate(static_cast<uint16_t>(text[units - 1]))) --units;
    size_t offset = ServiceReplyPayloadOffset;
    for (size_t i = 0; i < units; ++i, offset += 2) {
        const auto unit = static_cast<uint16_t>(text[i]);
        reply[offset] = static_cast<uint8_t>(unit);
        reply[offset + 1] = static_cast<uint8_t>(unit >> 8);
    }
    reply[offset] = 0;
    reply[offset + 1] = 0;
}

}  // namespace platform
