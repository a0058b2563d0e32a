// Results of a parallel_for handed to the submitting thread in index order,
// each as soon as it is stored: the submitter consumes result i (in its
// meanwhile part) while the workers work on the items after it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fernquill {

class ReadyFlags {
 public:
  explicit ReadyFlags(std::size_t n) : ready_(n) {}

  // Worker side, after result i is stored (or after a body failed). Touches
  // nothing shared with the other workers unless the caller sleeps.
  void mark_ready(std::size_t i) {
    ready_[i].store(1, std::memory_order_seq_cst);
    wake();
  }
  void mark_failed() {
    failed_.store(true, std::memory_order_seq_cst);
    wake();
  }

  // Caller side: waits until result i is ready (true) or a body failed
  // (false). Spins a little first: a short item is done within
  // microseconds, sooner than a sleep and a wake-up.
  bool wait_for(std::size_t i) {
    for (int spin = 0; spin < kSpins; ++spin) {
      if (ready_[i].load(std::memory_order_acquire) != 0) return true;
      if (failed_.load(std::memory_order_acquire)) return false;
    }
    for (;;) {
      // The flag is raised before the last look, and a worker looks at it
      // after its store: either the caller sees the store or the worker
      // sees the flag and bumps the signal, which ends the wait.
      const std::uint32_t seen = signal_.load(std::memory_order_seq_cst);
      sleeping_.store(true, std::memory_order_seq_cst);
      if (ready_[i].load(std::memory_order_seq_cst) != 0 ||
          failed_.load(std::memory_order_seq_cst)) {
        break;
      }
      signal_.wait(seen, std::memory_order_seq_cst);
    }
    sleeping_.store(false, std::memory_order_relaxed);
    return ready_[i].load(std::memory_order_acquire) != 0;
  }

 private:
  static constexpr int kSpins = 2048;
  void wake() {
    if (!sleeping_.load(std::memory_order_seq_cst)) return;
    signal_.fetch_add(1, std::memory_order_seq_cst);
    signal_.notify_one();
  }
  std::vector<std::atomic<std::uint8_t>> ready_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> sleeping_{false};
  std::atomic<std::uint32_t> signal_{0};
};

}  // namespace fernquill
