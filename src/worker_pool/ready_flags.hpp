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

#include "support/interrupt.hpp"

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
  // microseconds, sooner than a sleep and a wake-up. With a token that has
  // a check, the check runs about every Interrupt::kPeriod of sleep; when
  // it throws, the wait ends with that exception.
  bool wait_for(std::size_t i, Interrupt* token = nullptr) {
    for (int spin = 0; spin < kSpins; ++spin) {
      if (ready_[i].load(std::memory_order_acquire) != 0) return true;
      if (failed_.load(std::memory_order_acquire)) return false;
    }
    const bool checks = token != nullptr && token->has_check();
    while (!sleep_until_settled(i, checks)) token->check_now();
    return ready_[i].load(std::memory_order_acquire) != 0;
  }

 private:
  static constexpr int kSpins = 2048;

  // Sleeps until i is settled, or for one period at most when `timed`;
  // returns whether it is settled.
  bool sleep_until_settled(std::size_t i, bool timed) {
    // The caller raises its flag before its last look, and a worker looks
    // at the flag after its store: either the caller sees the store or the
    // worker sees the flag. The worker then wakes it under the mutex, which
    // the caller holds from its last look until it sleeps, so the wake-up
    // cannot fall between the two. (libstdc++'s atomic wait on systems
    // without a futex, Windows among them, loses exactly such a wake-up.)
    std::unique_lock<std::mutex> lock(mutex_);
    sleeping_.store(true, std::memory_order_seq_cst);
    bool done = true;
    if (timed) {
      done = woken_.wait_for(lock, Interrupt::kPeriod, [&] { return settled(i); });
    } else {
      woken_.wait(lock, [&] { return settled(i); });
    }
    sleeping_.store(false, std::memory_order_relaxed);
    return done;
  }

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
