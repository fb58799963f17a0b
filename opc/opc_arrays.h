#pragma once
// The per-item arrays OPC methods hand to clients: zero-filled, from the COM task allocator,
// freed with what they hold unless they were handed out.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/com/alloc.h"
#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace opc {

template <class T>
class TaskArray {
public:
    // Room for one entry at least, so that a count of 0 is no failure.
    explicit TaskArray(std::size_t n) : n_(n)
    {
        const std::size_t bytes = sizeof(T) * std::max<std::size_t>(n, 1);
        p_ = static_cast<T*>(CoTaskMemAlloc(bytes));
        if (p_)
            std::memset(static_cast<void*>(p_), 0, bytes);
    }
    ~TaskArray()
    {
        if (!p_)
            return;
        for (std::size_t i = 0; i < n_; ++i) {
            if constexpr (std::is_same_v<T, VARIANT>)
                VariantClear(&p_[i]);
            else if constexpr (std::is_same_v<T, OPCITEMSTATE>)
                VariantClear(&p_[i].vDataValue);
        }
        CoTaskMemFree(p_);
    }
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;

    explicit operator bool() const { return p_ != nullptr; }
    T& operator[](std::size_t i) { return p_[i]; }
    T* get() { return p_; }
    // Hands the array to the client.
    T* release() { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
    std::size_t n_;
};

}  // namespace opc
