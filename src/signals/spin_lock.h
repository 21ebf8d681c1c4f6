// Small locks for the signal layer's bookkeeping (subscriber lists, compound
// disposables), held for a few instructions and never around user code, and
// the recursive lock a subscriber holds while its block runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace qur {

class SpinLock {
 public:
  void lock() noexcept {
    for (;;) {
      if (!_flag.exchange(true, std::memory_order_acquire)) return;
      while (_flag.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  bool try_lock() noexcept { return !_flag.exchange(true, std::memory_order_acquire); }
  void unlock() noexcept { _flag.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> _flag{false};
};

// Recursive so that a block may send into the signal it is subscribed to.
// The uncontended path is one compare-exchange and one store, which keeps
// per-subscriber delivery cheap; waiters yield because the holder may run
// arbitrary user code.
class RecursiveSpinLock {
 public:
  void lock() noexcept {
    const auto self = currentThreadTag();
    std::uintptr_t expected = 0;
    if (_owner.compare_exchange_strong(expected, self, std::memory_order_acquire,
                                       std::memory_order_relaxed)) [[likely]]
      return;
    if (expected == self) {
      ++_reentries;
      return;
    }
    for (unsigned attempt = 0;; ++attempt) {
      // A long-running block must not keep waiters burning a core.
      if (attempt < 64)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      expected = 0;
      if (_owner.compare_exchange_weak(expected, self, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
    }
  }
  void unlock() noexcept {
    if (_reentries > 0) {
      --_reentries;
      return;
    }
    _owner.store(0, std::memory_order_release);
  }

 private:
  static std::uintptr_t currentThreadTag() noexcept {
    static thread_local char tag;
    return reinterpret_cast<std::uintptr_t>(&tag);
  }

  std::atomic<std::uintptr_t> _owner{0};
  int _reentries = 0;  // touched only by the owner
};

}  // namespace qur
