// The per-instance borrow flag: 0 is free, n counts shared borrows, all bits
// set is one exclusive borrow. Only atomic operations touch it, so a call that
// re-enters an object it is already using is refused instead of racing.
#pragma once

#include <atomic>
#include <cstdint>

namespace veltar::py {

enum class Borrow { kShared, kExclusive };

class BorrowFlag {
 public:
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

  bool acquire(Borrow kind) noexcept {
    if (kind == Borrow::kExclusive) {
      std::uintptr_t expected = 0;
      return flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
    }
    std::uintptr_t current = flag_.load(std::memory_order_relaxed);
    // The last count below all-ones is never taken, so a shared count can
    // never be mistaken for the exclusive marker.
    while (current < kExclusive - 1) {
      if (flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }

  void release(Borrow kind) noexcept {
    if (kind == Borrow::kExclusive) {
      flag_.store(0, std::memory_order_release);
    } else {
      flag_.fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  std::atomic<std::uintptr_t> flag_{0};
};

}  // namespace veltar::py
