// Borrowing: every Board carries a counter that allows many readers or one writer, and
// every call holds its receiver's borrow for as long as it runs. (Player and CardType
// members never change, so they need none.)
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace varno::binding {

// The counter: 0 free, n > 0 shared borrows, -1 one exclusive borrow. Borrows are taken
// and given back only by a thread that holds the interpreter lock (the module does not
// declare itself safe without the lock, so free-threaded builds run it with the lock
// too), and the lock orders every change of a counter: taking a borrow is a load and a
// store, with no locked instruction. The accesses go through atomic_ref all the same, so
// none is ever torn.

using BorrowCounter = std::int64_t;

inline bool try_borrow(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter> flag(counter);
    const BorrowCounter current = flag.load(std::memory_order_relaxed);
    if (current == -1) {
        return false;
    }
    flag.store(current + 1, std::memory_order_relaxed);
    return true;
}

inline void release_borrow(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter> flag(counter);
    flag.store(flag.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

inline bool try_borrow_mut(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter> flag(counter);
    if (flag.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    flag.store(-1, std::memory_order_relaxed);
    return true;
}

inline void release_borrow_mut(BorrowCounter& counter) {
    std::atomic_ref<BorrowCounter>(counter).store(0, std::memory_order_relaxed);
}

// A borrow held for one scope, shared or exclusive. Check `ok()` before use: a failed
// borrow has already set its RuntimeError ("Already mutably borrowed" for a shared one,
// "Already borrowed" for an exclusive one; fixed texts).
template <bool Exclusive>
class BorrowGuard {
  public:
    explicit BorrowGuard(BorrowCounter& counter)
        : counter_((Exclusive ? try_borrow_mut(counter) : try_borrow(counter)) ? &counter
                                                                               : nullptr) {
        if (counter_ == nullptr) {
            PyErr_SetString(PyExc_RuntimeError,
                            Exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    ~BorrowGuard() {
        if (counter_ != nullptr) {
            Exclusive ? release_borrow_mut(*counter_) : release_borrow(*counter_);
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    bool ok() const { return counter_ != nullptr; }

  private:
    BorrowCounter* counter_;
};

using SharedBorrow = BorrowGuard<false>;
using ExclusiveBorrow = BorrowGuard<true>;

}  // namespace varno::binding
