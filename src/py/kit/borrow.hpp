// Per-object borrow state of the module's classes. Methods that only read take
// a shared borrow for the call; a method that rewrites state takes an
// exclusive one. A conflict fails at once with RuntimeError instead of
// waiting. Borrows are taken and given back with the interpreter lock held,
// but are atomic so that a release racing a check is never lost.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/error.hpp"

namespace brandor::py {

class BorrowState {
public:
    void acquire_shared() {
        int64_t n = count_.load();
        do {
            if (n < 0) throw Error(ErrorKind::Runtime, "Already mutably borrowed");
        } while (!count_.compare_exchange_weak(n, n + 1));
    }
    void release_shared() noexcept { count_.fetch_sub(1); }
    void acquire_exclusive() {
        int64_t expected = 0;
        if (!count_.compare_exchange_strong(expected, -1)) {
            throw Error(ErrorKind::Runtime,
                        expected > 0 ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    void release_exclusive() noexcept { count_.store(0); }

private:
    std::atomic<int64_t> count_{0};  // > 0: shared borrows, -1: exclusive
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState& s) : s_(s) { s_.acquire_shared(); }
    ~SharedBorrow() { s_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowState& s_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState& s) : s_(s) { s_.acquire_exclusive(); }
    ~ExclusiveBorrow() { s_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowState& s_;
};

}  // namespace brandor::py
