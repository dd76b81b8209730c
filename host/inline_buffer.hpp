// SPDX-License-Identifier: GPL-3.0-or-later
// A buffer of n values that lives on the stack when n is at most N, on the heap beyond: for
// what a host copies or converts once per message, so the usual message allocates nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace tovo::host {

template <class T, std::size_t N> class InlineBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);

public:
    // n values, uninitialised: the caller writes each before reading it.
    explicit InlineBuffer(std::size_t n) : size_(n) {
        if (n > N) {
            spilled_.reset(new T[n]);
            data_ = spilled_.get();
        }
    }
    InlineBuffer(const InlineBuffer&) = delete;
    InlineBuffer& operator=(const InlineBuffer&) = delete;

    T* data() { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }

private:
    T fixed_[N];
    std::unique_ptr<T[]> spilled_;
    T* data_ = fixed_;
    std::size_t size_;
};

} // namespace tovo::host
