// Stopping a long engine call from outside: a token that the engine's long
// loops poll cheaply, and that whoever runs the engine fills.
//
// The engine never learns why it stops. A token stops the call once told to
// (request_stop, from any thread); the thread that made it may also give it a
// check that runs about every kPeriod of work, at the engine's cancellation
// points, and throws to stop the call (a binding looks for signals there).
// Cancellation points are where the engine holds no lock and no per-thread
// buffer, so a check may run anything, a scan of its own included.
//
// A call finds its token through the thread (InterruptScope), so that no
// scan's signature carries it; the worker pool hands a job's token to its
// workers as a view that shares the stop request but never runs the check.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>

namespace fernquill {

// Thrown at a cancellation point of a call whose token was told to stop.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class Interrupt {
 public:
  using Check = void (*)(void* context);
  static constexpr std::chrono::milliseconds kPeriod{50};

  // Stops only when told.
  Interrupt() = default;
  // Also runs `check(context)` about every kPeriod, on this thread only.
  Interrupt(Check check, void* context) : check_(check), context_(context) {}
  // A view for another thread: shares `owner`'s stop request, runs no check.
  static Interrupt view_of(Interrupt& owner) {
    Interrupt view;
    view.stop_ = owner.stop_;
    return view;
  }
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;
  Interrupt(Interrupt&& other) noexcept
      : own_stop_(other.own_stop_.load()),
        stop_(other.stop_ == &other.own_stop_ ? &own_stop_ : other.stop_),
        check_(other.check_),
        context_(other.context_) {}

  void request_stop() noexcept { stop_->store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_->load(std::memory_order_relaxed); }

  // The cancellation point: throws Interrupted once a stop was requested,
  // and runs the check when its period is up. A load and a countdown most
  // of the time; the clock is read every kClockEvery polls.
  void poll() {
    if (stop_requested()) throw Interrupted();
    if (check_ == nullptr || --countdown_ > 0) return;
    countdown_ = kClockEvery;
    const auto now = Clock::now();
    if (next_ == Clock::time_point{}) next_ = now + kPeriod;
    if (now >= next_) check_now();
  }
  // Runs the check now (for a caller that waits on workers); when it
  // throws, the other threads of the call are asked to stop first.
  void check_now() {
    if (check_ == nullptr) return;
    next_ = Clock::now() + kPeriod;
    try {
      check_(context_);
    } catch (...) {
      request_stop();
      throw;
    }
  }
  bool has_check() const noexcept { return check_ != nullptr; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kClockEvery = 8;
  std::atomic<bool> own_stop_{false};
  std::atomic<bool>* stop_ = &own_stop_;
  Check check_ = nullptr;
  void* context_ = nullptr;
  int countdown_ = kClockEvery;
  Clock::time_point next_{};
};

// The token of the engine calls this thread makes, if any.
Interrupt* current_interrupt() noexcept;

// Makes `token` the current token of this thread for the scope's life.
class InterruptScope {
 public:
  explicit InterruptScope(Interrupt& token) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  Interrupt* previous_;
};

// The engine's cancellation point: polls this thread's token, if any.
inline void interruption_point() {
  if (Interrupt* token = current_interrupt()) token->poll();
}

}  // namespace fernquill
