#pragma once
// The COM task allocator. Every block is counted, so that a test can show that a call left
// nothing behind, and allocation can be made to fail on request.
//
// BSTRs and SAFEARRAYs take their memory from here too (as they do from the task allocator's
// heap on Windows): a leaked string inside a leaked VARIANT shows in the balance, and an
// injected failure reaches every copy of a value.
#include <cstddef>

#include "types.h"

void* CoTaskMemAlloc(std::size_t cb);
// nullptr gives a new block; size 0 frees pv and gives nullptr. On failure pv stays valid.
void* CoTaskMemRealloc(void* pv, std::size_t cb);
void CoTaskMemFree(void* pv);

namespace com {

struct TaskAllocStats {
    std::size_t liveBlocks = 0;    // allocated and not yet freed
    std::size_t liveBytes = 0;     // bytes requested by the live blocks
    std::size_t allocations = 0;   // successful allocations since the start, reallocations included
    std::size_t failures = 0;      // allocations refused by failTaskAllocAfter
};

TaskAllocStats taskAllocStats();

// From the n+1-th allocation from now on, every allocation (and every reallocation that needs
// memory) fails until clearTaskAllocFailure(). n = 0 makes the very next one fail.
void failTaskAllocAfter(std::size_t n);
void clearTaskAllocFailure();

}  // namespace com
