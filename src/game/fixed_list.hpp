// A list with its capacity fixed at compile time, kept inline (on the stack in the
// search): a side never has more than a few dozen moves, so no node needs the heap.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "game/fault.hpp"

namespace varno {

template <class T, std::size_t Capacity>
class FixedList {
  public:
    using value_type = T;

    void push_back(const T& value) {
        VARNO_CHECK(size_ < Capacity, "fixed list capacity exceeded");
        items_[size_++] = value;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    static constexpr std::size_t capacity() { return Capacity; }

    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }

    T* begin() { return items_.data(); }
    T* end() { return items_.data() + size_; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }

  private:
    std::array<T, Capacity> items_{};
    std::size_t size_ = 0;
};

}  // namespace varno
