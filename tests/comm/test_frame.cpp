#include "comm/vx_frame.h"

#include <gtest/gtest.h>

#include "frame_check.h"

namespace {

using framecheck::Bytes;
using vx::TFrameStatus;

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

TEST(FrameRule, SaysWhenATelegramIsComplete)
{
    const Bytes connect = framecheck::sd1(126, 2, 0x69);
    const Bytes read = framecheck::sd2({126, 2, 0x6C, 0x11, 0x22, 0x33});  // LE 6: 12 bytes
    const Bytes empty = framecheck::sd2({});                                 // LE 0: 6 bytes
    const Bytes longest = framecheck::sd2(Bytes(255, 0xAA));                 // LE 255: 261 bytes
    struct Case {
        const char* what;
        Bytes bytes;
        TFrameStatus status;
        std::size_t expected;
    } cases[] = {
        {"nothing yet", {}, TFrameStatus::Incomplete, 0},
        {"acknowledgement", {0xE5}, TFrameStatus::Complete, 1},
        {"acknowledgement and more", {0xE5, 0x10}, TFrameStatus::Complete, 1},
        {"SD1 start only", {0x10}, TFrameStatus::Incomplete, 6},
        {"SD1 one short", prefix(connect, 5), TFrameStatus::Incomplete, 6},
        {"SD1 whole", connect, TFrameStatus::Complete, 6},
        {"SD2 start only: length unknown", {0x68}, TFrameStatus::Incomplete, 0},
        {"SD2 length known", prefix(read, 2), TFrameStatus::Incomplete, 12},
        {"SD2 one short", prefix(read, 11), TFrameStatus::Incomplete, 12},
        {"SD2 whole", read, TFrameStatus::Complete, 12},
        {"SD2 with LE 0", empty, TFrameStatus::Complete, 6},
        {"SD2 with LE 255 one short", prefix(longest, 260), TFrameStatus::Incomplete, 261},
        {"SD2 with LE 255 whole", longest, TFrameStatus::Complete, 261},
        // The rule reads the first length byte only; the checks judge the second.
        {"SD2 with unequal length bytes", {0x68, 0x01, 0x09, 0x68, 0, 0, 0}, TFrameStatus::Complete, 7},
        {"noise", {0x00, 0xE5}, TFrameStatus::NoFrame, 0},
        {"end byte first", {0x16}, TFrameStatus::NoFrame, 0},
    };
    for (const Case& c : cases) {
        const vx::TFrameProgress p = vx::ReceivedFrameProgress(c.bytes);
        EXPECT_EQ(p.Status, c.status) << c.what;
        EXPECT_EQ(p.Expected, c.expected) << c.what;
    }
}

TEST(FrameRule, OnlyTheThreeStartBytesStartATelegram)
{
    for (int b = 0; b < 256; ++b) {
        const bool start = b == 0x10 || b == 0x68 || b == 0xE5;
        EXPECT_EQ(vx::IsFrameStart(static_cast<std::uint8_t>(b)), start) << b;
        const Bytes one{static_cast<std::uint8_t>(b)};
        EXPECT_EQ(vx::ReceivedFrameProgress(one).Status == TFrameStatus::NoFrame, !start) << b;
    }
}

}  // namespace
