#pragma once
// The telegram's fixed bytes, function codes and service codes, named once for the packet
// builder and every channel that reads or forwards telegrams.
#include <cstdint>

namespace vx {

// Frame bytes.
enum : std::uint8_t {
    fdSD1 = 0x10,  // start of a fixed-length frame (Connect, Ident and the Connect answer)
    fdSD2 = 0x68,  // start of a variable-length frame; its length byte LE follows twice
    fdAck = 0xE5,  // the one-byte acknowledgement of a write
    fdEnd = 0x16,
};

// Function codes (the FC byte).
enum : std::uint8_t {
    fcConnect = 0x69,
    fcIdent = 0x6E,
    fcWrite = 0x63,  // SetTID, WriteN and WriteB
    fcRead = 0x6C,   // ReadN
};

// Service codes (the SC byte that follows FC in SD2 frames).
enum : std::uint8_t {
    scSetTID = 8,
    scReadN = 11,
    scWriteN = 12,
    scWriteB = 16,
};

// Bytes a variable-length (SD2) frame has beyond LE: SD2, LE, LE, SD2 before DA, and the
// checksum and end byte after the data (LE counts DA up to the last data byte).
inline constexpr std::int32_t kSD2Overhead = 6;
// A fixed-length (SD1) frame: SD1, DA, SA, FC, FCS, end byte.
inline constexpr std::int32_t kSD1Length = 6;

}  // namespace vx
