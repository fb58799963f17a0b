#pragma once
// The rule that says when a received telegram is complete, as every byte-stream channel
// applies it to the bytes that have come so far: a function of bytes only, no I/O.
#include <cstddef>
#include <cstdint>
#include <span>

namespace vx {

enum class TFrameStatus : std::uint8_t {
    NoFrame,     // the first byte starts no telegram: noise
    Incomplete,  // more bytes must come
    Complete,    // the first Expected bytes are the telegram
};

struct TFrameProgress {
    TFrameStatus Status = TFrameStatus::Incomplete;
    // Length of the whole telegram; 0 while it cannot be known yet (no byte, or an SD2 frame
    // whose length byte has not come).
    std::size_t Expected = 0;
};

// True for a byte a telegram can start with: SD1, SD2 or the acknowledgement.
bool IsFrameStart(std::uint8_t b);

// An SD1 frame is complete at 6 bytes, an SD2 frame at its length byte plus 6, an
// acknowledgement at its one byte. Bytes beyond Expected belong to no telegram.
TFrameProgress ReceivedFrameProgress(std::span<const std::uint8_t> bytes);

}  // namespace vx
