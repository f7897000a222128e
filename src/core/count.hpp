// A count of the owners of a shared value. Where the interpreter runs with
// its global lock, every copy and release of an owner happens under that
// lock, which orders them, and the count is a plain integer; where it runs
// without (KORVANTA_FREE_THREADED), owners are copied and released by threads
// at once and the count is atomic: adding needs no ordering, and the release
// that drops it to zero sees every use made before the other releases.
#pragma once

#include <cstddef>
#ifdef KORVANTA_FREE_THREADED
#include <atomic>
#endif

namespace korvanta {

class OwnerCount {
   public:
    explicit OwnerCount(std::size_t owners) noexcept : count_(owners) {}
    OwnerCount(const OwnerCount&) = delete;
    OwnerCount& operator=(const OwnerCount&) = delete;

#ifdef KORVANTA_FREE_THREADED
    void add() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    // Whether the owner dropped was the last.
    bool drop() noexcept { return count_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

   private:
    std::atomic<std::size_t> count_;
#else
    void add() noexcept { ++count_; }
    // Whether the owner dropped was the last.
    bool drop() noexcept { return --count_ == 0; }

   private:
    std::size_t count_;
#endif
};

}  // namespace korvanta
