#include "failing_new.h"

#include <cstdlib>
#include <new>

// The replaceable global allocation functions, all of them on malloc and free so that every
// pair matches (the sanitizer build checks that).
namespace {

thread_local bool armed = false;
thread_local std::size_t countdown = 0;

void* allocate(std::size_t n)
{
    if (armed) {
        if (countdown == 0)
            throw std::bad_alloc();
        --countdown;
    }
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* allocateOrNull(std::size_t n) noexcept
{
    try {
        return allocate(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocateOrNull(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocateOrNull(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace comtest {

FailingNew::FailingNew(std::size_t n)
{
    armed = true;
    countdown = n;
}

FailingNew::~FailingNew()
{
    armed = false;
    countdown = 0;
}

}  // namespace comtest
