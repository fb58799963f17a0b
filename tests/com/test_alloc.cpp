#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/alloc.h"

namespace {

class Alloc : public ::testing::Test {
protected:
    void TearDown() override { com::clearTaskAllocFailure(); }
};

TEST_F(Alloc, BalanceReturnsToStartAfterFree)
{
    const auto before = com::taskAllocStats();
    void* a = CoTaskMemAlloc(10);
    void* b = CoTaskMemAlloc(0);  // a valid, empty block
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    auto during = com::taskAllocStats();
    EXPECT_EQ(during.liveBlocks, before.liveBlocks + 2);
    EXPECT_EQ(during.liveBytes, before.liveBytes + 10);
    EXPECT_EQ(during.allocations, before.allocations + 2);
    CoTaskMemFree(a);
    CoTaskMemFree(b);
    CoTaskMemFree(nullptr);
    const auto after = com::taskAllocStats();
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_EQ(after.liveBytes, before.liveBytes);
}

TEST_F(Alloc, ReallocKeepsContentsAndCountsBytes)
{
    const auto before = com::taskAllocStats();
    auto* p = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));  // null: a new block
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcd", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    EXPECT_EQ(com::taskAllocStats().liveBytes, before.liveBytes + 100);
    p = static_cast<char*>(CoTaskMemRealloc(p, 2));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "ab", 2), 0);
    EXPECT_EQ(com::taskAllocStats().liveBlocks, before.liveBlocks + 1);
    // Size 0 frees.
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);
    EXPECT_EQ(com::taskAllocStats().liveBlocks, before.liveBlocks);
    EXPECT_EQ(com::taskAllocStats().liveBytes, before.liveBytes);
}

TEST_F(Alloc, InjectedFailureHitsTheRequestedAllocationAndStaysUntilCleared)
{
    const auto before = com::taskAllocStats();
    com::failTaskAllocAfter(2);
    void* a = CoTaskMemAlloc(8);
    void* b = CoTaskMemAlloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(CoTaskMemAlloc(8), nullptr);
    EXPECT_EQ(CoTaskMemAlloc(1), nullptr);
    EXPECT_EQ(com::taskAllocStats().failures, before.failures + 2);
    com::clearTaskAllocFailure();
    void* c = CoTaskMemAlloc(8);
    EXPECT_NE(c, nullptr);
    CoTaskMemFree(a);
    CoTaskMemFree(b);
    CoTaskMemFree(c);
    EXPECT_EQ(com::taskAllocStats().liveBlocks, before.liveBlocks);
}

TEST_F(Alloc, FailedReallocLeavesTheOldBlockIntact)
{
    auto* p = static_cast<char*>(CoTaskMemAlloc(3));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "xyz", 3);
    const auto before = com::taskAllocStats();
    com::failTaskAllocAfter(0);
    EXPECT_EQ(CoTaskMemRealloc(p, 1000), nullptr);
    com::clearTaskAllocFailure();
    EXPECT_EQ(std::memcmp(p, "xyz", 3), 0);
    EXPECT_EQ(com::taskAllocStats().liveBytes, before.liveBytes);
    CoTaskMemFree(p);
}

}  // namespace
