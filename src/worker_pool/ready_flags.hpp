// Results of a parallel_for handed to the submitting thread in index order,
// each as soon as it is stored: the submitter consumes result i (in its
// meanwhile part) while the workers work on the items after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
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
    {
      // The caller raises its flag before its last look, and a worker looks
      // at the flag after its store: either the caller sees the store or the
      // worker sees the flag. The worker then wakes it under the mutex, which
      // the caller holds from its last look until it sleeps, so the wake-up
      // cannot fall between the two. (libstdc++'s atomic wait on systems
      // without a futex, Windows among them, loses exactly such a wake-up.)
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_.store(true, std::memory_order_seq_cst);
      woken_.wait(lock, [&] { return settled(i); });
      sleeping_.store(false, std::memory_order_relaxed);
    }
    return ready_[i].load(std::memory_order_acquire) != 0;
  }

 private:
  static constexpr int kSpins = 2048;

  bool settled(std::size_t i) const {
    return ready_[i].load(std::memory_order_seq_cst) != 0 ||
           failed_.load(std::memory_order_seq_cst);
  }
  void wake() {
    if (!sleeping_.load(std::memory_order_seq_cst)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    woken_.notify_one();
  }

  std::vector<std::atomic<std::uint8_t>> ready_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> sleeping_{false};
  std::mutex mutex_;
  std::condition_variable woken_;
};

}  // namespace fernquill
