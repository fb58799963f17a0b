#include "alloc.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Each block starts with its size; 16 bytes keep the caller's part aligned for any type.
struct alignas(16) BlockHeader {
    std::size_t size;
    std::size_t magic;
};
static_assert(sizeof(BlockHeader) == 16);

constexpr std::size_t kMagic = 0x7A5C0A11A7EDB10CULL;
// New memory is not zeroed by the task allocator; a fixed pattern makes code that forgets
// to initialise its arrays fail the same way every time.
constexpr unsigned char kFreshPattern = 0xCD;

std::mutex lock;
com::TaskAllocStats stats;
bool failArmed = false;
std::size_t failCountdown = 0;

// Called with the lock held.
bool refuse()
{
    if (!failArmed)
        return false;
    if (failCountdown > 0) {
        --failCountdown;
        return false;
    }
    ++stats.failures;
    return true;
}

BlockHeader* headerOf(void* pv)
{
    auto* h = reinterpret_cast<BlockHeader*>(static_cast<char*>(pv) - sizeof(BlockHeader));
    if (h->magic != kMagic)
        std::abort();  // not ours, or freed twice: continuing would corrupt the heap
    return h;
}

}  // namespace

void* CoTaskMemAlloc(std::size_t cb)
{
    std::lock_guard<std::mutex> g(lock);
    if (refuse() || cb > SIZE_MAX - sizeof(BlockHeader))
        return nullptr;
    auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + cb));
    if (!h)
        return nullptr;
    h->size = cb;
    h->magic = kMagic;
    ++stats.liveBlocks;
    stats.liveBytes += cb;
    ++stats.allocations;
    void* p = h + 1;
    std::memset(p, kFreshPattern, cb);
    return p;
}

void* CoTaskMemRealloc(void* pv, std::size_t cb)
{
    if (!pv)
        return CoTaskMemAlloc(cb);
    if (cb == 0) {
        CoTaskMemFree(pv);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(lock);
    BlockHeader* old = headerOf(pv);
    if (refuse() || cb > SIZE_MAX - sizeof(BlockHeader))
        return nullptr;
    // A fresh block rather than realloc, so that a stale pointer to the old block is caught.
    auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + cb));
    if (!h)
        return nullptr;
    const std::size_t oldSize = old->size;
    h->size = cb;
    h->magic = kMagic;
    void* p = h + 1;
    std::memcpy(p, pv, oldSize < cb ? oldSize : cb);
    if (cb > oldSize)
        std::memset(static_cast<char*>(p) + oldSize, kFreshPattern, cb - oldSize);
    old->magic = 0;
    std::free(old);
    stats.liveBytes = stats.liveBytes - oldSize + cb;
    ++stats.allocations;
    return p;
}

void CoTaskMemFree(void* pv)
{
    if (!pv)
        return;
    std::lock_guard<std::mutex> g(lock);
    BlockHeader* h = headerOf(pv);
    --stats.liveBlocks;
    stats.liveBytes -= h->size;
    h->magic = 0;
    std::free(h);
}

namespace com {

TaskAllocStats taskAllocStats()
{
    std::lock_guard<std::mutex> g(lock);
    return stats;
}

void failTaskAllocAfter(std::size_t n)
{
    std::lock_guard<std::mutex> g(lock);
    failArmed = true;
    failCountdown = n;
}

void clearTaskAllocFailure()
{
    std::lock_guard<std::mutex> g(lock);
    failArmed = false;
    failCountdown = 0;
}

}  // namespace com
