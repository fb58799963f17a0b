#pragma once
// Fixture base for tests of values that live in the task allocator: a test fails when it leaves
// a block behind (a string, an array or what a variant holds), and no injected allocation
// failure outlives it.
#include <gtest/gtest.h>

#include "platform/com/alloc.h"

namespace comtest {

class TaskAllocBalance : public ::testing::Test {
protected:
    void SetUp() override { start_ = com::taskAllocStats(); }
    void TearDown() override
    {
        com::clearTaskAllocFailure();
        EXPECT_EQ(com::taskAllocStats().liveBlocks, start_.liveBlocks) << "a task-allocated block leaked";
    }

private:
    com::TaskAllocStats start_;
};

}  // namespace comtest
