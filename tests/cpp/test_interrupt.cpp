// Stopping long calls: the scans' cancellation points and the pool's waits
// run the caller's check and honour a stop request, and a stopped call
// leaves through an exception however deep in its work it is.
#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "approx/approx_search.hpp"
#include "check.hpp"
#include "keyword_processor/extract.hpp"
#include "support/interrupt.hpp"
#include "worker_pool/ready_flags.hpp"
#include "worker_pool/worker_pool.hpp"

namespace {

using fernquill::Interrupt;
using fernquill::InterruptScope;
using Clock = std::chrono::steady_clock;

struct Stop {};

// A check that stops the call the first time it runs, and counts.
void stop_at_once(void* calls) {
  ++*static_cast<int*>(calls);
  throw Stop{};
}

std::string binary_word(std::mt19937_64& rng, std::size_t size) {
  std::string s;
  for (std::size_t k = 0; k < size; ++k) s += static_cast<char>('a' + rng() % 2);
  return s;
}

// What each kind of long call runs on the calling thread; each takes far
// longer than a check period when left alone.
enum class Kind { kApproximate, kExact, kPool, kReadyFlags };

void run(Kind kind, const fernquill::KeywordProcessor& dense, const std::string& short_text,
         const fernquill::KeywordProcessor& plain, const std::string& long_text) {
  switch (kind) {
    case Kind::kApproximate:
      fernquill::extract_keywords(dense, short_text, 0.3f);
      return;
    case Kind::kExact:
      for (;;) fernquill::extract_keywords(plain, long_text, std::nullopt);
    case Kind::kPool:
      for (;;) {
        fernquill::WorkerPool::global().parallel_for(
            8, [&](std::size_t) { fernquill::extract_keywords(plain, long_text, std::nullopt); });
      }
    case Kind::kReadyFlags: {
      fernquill::ReadyFlags flags(1);  // never settled
      flags.wait_for(0, fernquill::current_interrupt());
      return;
    }
  }
}

TEST(interrupt_check_ends_every_kind_of_long_call_within_a_period) {
  std::mt19937_64 rng(29);
  fernquill::KeywordProcessor dense(true, false), plain(true, false);
  dense.set_word_chars({});
  for (int k = 0; k < 5000; ++k) dense.add_keyword(binary_word(rng, 60), std::nullopt);
  const std::string short_text = binary_word(rng, 50);
  plain.add_keyword("never", std::nullopt);
  const std::string long_text(std::size_t{64} << 20, 'x');
  for (const Kind kind : {Kind::kApproximate, Kind::kExact, Kind::kPool, Kind::kReadyFlags}) {
    int calls = 0;
    Interrupt token(&stop_at_once, &calls);
    const InterruptScope scope(token);
    const auto begin = Clock::now();
    bool stopped = false;
    try {
      run(kind, dense, short_text, plain, long_text);
    } catch (const Stop&) {
      stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(calls, 1);
    CHECK(token.stop_requested());  // for the workers of the call
    // A period and the way out, with room for a loaded machine.
    CHECK(Clock::now() - begin < std::chrono::seconds(5));
  }
}

TEST(interrupt_stop_request_ends_scans_with_interrupted) {
  fernquill::KeywordProcessor plain(true, false);
  plain.add_keyword("never", std::nullopt);
  std::string text;
  for (int k = 0; k < (1 << 15); ++k) text += "x ";  // every other byte a start
  Interrupt token;
  const InterruptScope scope(token);
  CHECK_EQ(fernquill::extract_keywords(plain, text, std::nullopt).size(), 0u);
  token.request_stop();
  for (const std::optional<float> t : {std::optional<float>(), std::optional<float>(0.5f)}) {
    bool interrupted = false;
    try {
      fernquill::extract_keywords(plain, text, t);
    } catch (const fernquill::Interrupted&) {
      interrupted = true;
    }
    CHECK(interrupted);
  }
}

}  // namespace
