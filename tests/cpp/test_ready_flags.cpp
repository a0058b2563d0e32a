// Ready flags: a caller that goes to sleep on a result is woken by the worker
// that stores it, however close the two come. A wake-up lost between the
// caller's last look and its sleep would leave it asleep for good; here a
// watchdog counts such a loss as a failure and wakes the caller again.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "check.hpp"
#include "worker_pool/ready_flags.hpp"

using fernquill::ReadyFlags;

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a woken caller is surely scheduled within it, even on a
// loaded machine or under an emulator.
constexpr auto kWakeDeadline = std::chrono::seconds(10);

// The worker stores each result after a delay that sweeps from nothing to
// past the caller's spinning, so that some stores land as it goes to sleep.
constexpr int kRounds = 4000;
constexpr int kDelaySteps = 400;

void busy_delay(int steps) {
  std::atomic<int> sink{0};
  for (int k = 0; k < steps * 8; ++k) sink.fetch_add(1, std::memory_order_relaxed);
}

enum class Outcome { kReady, kFailed };

// One caller waits on each round's flags while one worker settles them
// (marks the result ready, or marks the job failed). Returns how many
// wake-ups the watchdog had to repeat.
int rounds_lost(Outcome outcome, int rounds) {
  std::vector<std::unique_ptr<ReadyFlags>> flags;
  for (int r = 0; r < rounds; ++r) flags.push_back(std::make_unique<ReadyFlags>(1));
  std::atomic<int> started{0};   // rounds the caller has begun waiting on
  std::atomic<int> finished{0};  // rounds whose wait has returned
  std::atomic<int> wrong{0};     // waits that returned the other answer
  int lost = 0;
  auto settle = [&](int r) {
    if (outcome == Outcome::kReady) {
      flags[r]->mark_ready(0);
    } else {
      flags[r]->mark_failed();
    }
  };
  std::thread worker([&] {
    for (int r = 0; r < rounds; ++r) {
      while (started.load() <= r) std::this_thread::yield();
      busy_delay(r % kDelaySteps);
      settle(r);
      // The watchdog: a caller still asleep at the deadline missed its wake-up.
      auto deadline = Clock::now() + kWakeDeadline;
      while (finished.load() <= r) {
        if (Clock::now() > deadline) {
          ++lost;
          settle(r);
          deadline = Clock::now() + kWakeDeadline;
        }
        std::this_thread::yield();
      }
    }
  });
  for (int r = 0; r < rounds; ++r) {
    started.store(r + 1);
    const bool ready = flags[r]->wait_for(0);
    if (ready != (outcome == Outcome::kReady)) wrong.fetch_add(1);
    finished.store(r + 1);
  }
  worker.join();
  CHECK_EQ(wrong.load(), 0);
  return lost;
}

}  // namespace

TEST(ready_flags_wake_a_caller_going_to_sleep) {
  CHECK_EQ(rounds_lost(Outcome::kReady, kRounds), 0);
  CHECK_EQ(rounds_lost(Outcome::kFailed, kRounds), 0);
}

// Results stored before the caller looks are seen without sleeping, in any
// order, and a failure ends the wait on a result that never comes while the
// results already stored still read as ready.
TEST(ready_flags_settled_before_the_wait) {
  constexpr std::size_t kN = 64;
  ReadyFlags flags(kN);
  for (std::size_t i = kN; i-- > 0;) {
    if (i % 3 != 1) flags.mark_ready(i);
  }
  for (std::size_t i = 0; i < kN; i += 3) CHECK(flags.wait_for(i));
  flags.mark_failed();
  for (std::size_t i = 0; i < kN; ++i) CHECK_EQ(flags.wait_for(i), i % 3 != 1);
}
