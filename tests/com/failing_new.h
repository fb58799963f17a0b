#pragma once
// Makes operator new fail on demand on the calling thread, to show what a COM method does when
// the C++ heap runs out (the task allocator has its own switch, com::failTaskAllocAfter).
#include <cstddef>
#include <new>

#include "platform/com/types.h"

namespace comtest {

// While it lives, the n+1-th operator new from now on, and every later one, on this thread
// throws std::bad_alloc; n = 0 makes the very next one fail.
class FailingNew {
public:
    explicit FailingNew(std::size_t n);
    ~FailingNew();
    FailingNew(const FailingNew&) = delete;
    FailingNew& operator=(const FailingNew&) = delete;
};

// What call() gives while operator new fails from its n+1-th use; E_OUTOFMEMORY with threw set
// when std::bad_alloc came out of it, which no COM method may let happen.
template <class Call>
HRESULT resultWhileNewFails(std::size_t n, Call&& call, bool& threw)
{
    FailingNew failing(n);
    try {
        return call();
    } catch (const std::bad_alloc&) {
        threw = true;
        return E_OUTOFMEMORY;
    }
}

}  // namespace comtest
