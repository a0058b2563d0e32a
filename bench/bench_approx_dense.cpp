// The approximate search's worst case: dense tries of long keywords over
// {a, b}, no word characters, 40 bytes of text, t = 0.3, where one search
// meets millions of (node, consumed) pairs. Two layouts of the seen pairs
// take turns on the same processor and text: the table that turns to dense
// rows when full (as built), and the table alone, which then forgets a pair
// for each new one. Prints each one's CPU seconds, states and the ratio.
//
// Run: build-dir/bench_approx_dense [keyword counts, default 5000,10000,20000] [rounds, default 2]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "approx/approx_search.hpp"
#include "bench_util.hpp"
#include "keyword_processor/keyword_processor.hpp"

namespace {

constexpr std::size_t kKeywordBytes = 60;
constexpr std::size_t kTextBytes = 40;
constexpr float kThreshold = 0.3f;

std::string binary_word(std::mt19937_64& rng, std::size_t size) {
  std::string s;
  for (std::size_t k = 0; k < size; ++k) s += static_cast<char>('a' + rng() % 2);
  return s;
}

struct Run {
  double seconds = 0;
  std::uint64_t states = 0;
  std::size_t matches = 0;
};

Run scan(const fernquill::KeywordProcessor& kp, const std::string& text,
         const fernquill::ApproxSwitches& switches) {
  std::vector<fernquill::KeywordMatch> out;
  fernquill::ApproxStats stats;
  const double begin = bench::cpu_seconds();
  fernquill::scan_approximate_switched(kp.approx_index(), text, kThreshold, out, stats, switches);
  return {bench::cpu_seconds() - begin, stats.states, out.size()};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> counts;
  std::istringstream list(argc > 1 ? argv[1] : "5000,10000,20000");
  for (std::string item; std::getline(list, item, ',');) counts.push_back(std::stoul(item));
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  const fernquill::ApproxSwitches rows{};
  fernquill::ApproxSwitches table_alone{};
  table_alone.seen.dense_bytes = 0;
  std::printf("%9s %9s | %10s %12s | %10s %12s | %s\n", "keywords", "nodes", "rows s", "states",
              "table s", "states", "table / rows");
  for (const std::size_t count : counts) {
    std::mt19937_64 rng(2021);
    fernquill::KeywordProcessor kp(true, false);
    kp.set_word_chars({});
    for (std::size_t k = 0; k < count; ++k)
      kp.add_keyword(binary_word(rng, kKeywordBytes), std::nullopt);
    const std::string text = binary_word(rng, kTextBytes);
    kp.approx_index();  // built before the clock starts
    Run a, b;
    for (int r = 0; r < rounds; ++r) {  // the contenders take turns
      const Run x = scan(kp, text, rows), y = scan(kp, text, table_alone);
      if (x.matches != y.matches) {
        std::fprintf(stderr, "the layouts disagree\n");
        return 1;
      }
      a.seconds += x.seconds, a.states = x.states;
      b.seconds += y.seconds, b.states = y.states;
    }
    std::printf("%9zu %9zu | %10.2f %12llu | %10.2f %12llu | %.2fx\n", count,
                static_cast<std::size_t>(kp.trie().node_count()), a.seconds / rounds,
                static_cast<unsigned long long>(a.states), b.seconds / rounds,
                static_cast<unsigned long long>(b.states), b.seconds / a.seconds);
  }
}
