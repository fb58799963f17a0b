// The rule for when a received telegram is complete, on any bytes: it never reads beyond
// them, and its verdict on a prefix agrees with its verdict on the whole.
#include <cstddef>
#include <cstdint>
#include <span>

#include "comm/vx_frame.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    const vx::TFrameProgress whole = vx::ReceivedFrameProgress(bytes);
    if (whole.Status == vx::TFrameStatus::Complete) {
        FUZZ_CHECK(whole.Expected > 0 && whole.Expected <= size);
        // The telegram alone is complete too, and one byte less is not.
        FUZZ_CHECK(vx::ReceivedFrameProgress(bytes.first(whole.Expected)).Status == vx::TFrameStatus::Complete);
        FUZZ_CHECK(vx::ReceivedFrameProgress(bytes.first(whole.Expected - 1)).Status != vx::TFrameStatus::Complete);
    }
    if (whole.Status == vx::TFrameStatus::Incomplete && whole.Expected > 0)
        FUZZ_CHECK(whole.Expected > size);
    if (size > 0)
        FUZZ_CHECK((whole.Status == vx::TFrameStatus::NoFrame) == !vx::IsFrameStart(data[0]));
    return 0;
}
