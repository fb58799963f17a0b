#include "vx_frame.h"

#include "vx_telegram_codes.h"

namespace vx {

bool IsFrameStart(std::uint8_t b) { return b == fdSD1 || b == fdSD2 || b == fdAck; }

TFrameProgress ReceivedFrameProgress(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return {TFrameStatus::Incomplete, 0};
    std::size_t expected = 0;
    switch (bytes[0]) {
    case fdSD1:
        expected = kSD1Length;
        break;
    case fdAck:
        expected = 1;
        break;
    case fdSD2:
        if (bytes.size() < 2)
            return {TFrameStatus::Incomplete, 0};
        expected = static_cast<std::size_t>(bytes[1]) + kSD2Overhead;
        break;
    default:
        return {TFrameStatus::NoFrame, 0};
    }
    return {bytes.size() >= expected ? TFrameStatus::Complete : TFrameStatus::Incomplete, expected};
}

}  // namespace vx
