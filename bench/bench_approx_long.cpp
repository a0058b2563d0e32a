// The approximate search on keywords about as long as the text or longer:
// 1,000 keywords of L random bytes over {a, b}, 100 random bytes of text,
// t = 0.3, every position a start. Prints, per L, the CPU seconds, states taken and the
// searches that went on in dense rows.
//
// Run: build-dir/bench_approx_long [lengths, default 100,150,175,200] [keywords, default 1000]
//      [text bytes, default 100] [threshold, default 0.3]
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "approx/approx_search.hpp"
#include "bench_util.hpp"
#include "keyword_processor/keyword_processor.hpp"

namespace {

std::string binary_word(std::mt19937_64& rng, std::size_t size) {
  std::string s;
  for (std::size_t k = 0; k < size; ++k) s += static_cast<char>('a' + rng() % 2);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> lengths;
  std::istringstream list(argc > 1 ? argv[1] : "100,150,175,200");
  for (std::string item; std::getline(list, item, ',');) lengths.push_back(std::stoul(item));
  const std::size_t count = argc > 2 ? std::stoul(argv[2]) : 1000;
  const std::size_t text_bytes = argc > 3 ? std::stoul(argv[3]) : 100;
  const float threshold = argc > 4 ? std::stof(argv[4]) : 0.3f;
  std::printf("%5s %9s | %9s %14s %8s %8s\n", "L", "nodes", "seconds", "states", "dense",
              "matches");
  for (const std::size_t length : lengths) {
    std::mt19937_64 rng(2021);
    fernquill::KeywordProcessor kp(true, false);
    kp.set_word_chars({});
    for (std::size_t k = 0; k < count; ++k) kp.add_keyword(binary_word(rng, length), std::nullopt);
    const std::string text = binary_word(rng, text_bytes);
    kp.approx_index();  // built before the clock starts
    std::vector<fernquill::KeywordMatch> out;
    fernquill::ApproxStats stats;
    const double begin = bench::cpu_seconds();
    fernquill::scan_approximate_counted(kp.approx_index(), text, threshold, out, stats);
    const double seconds = bench::cpu_seconds() - begin;
    std::printf("%5zu %9zu | %9.2f %14llu %8llu %8zu\n", length,
                static_cast<std::size_t>(kp.trie().node_count()), seconds,
                static_cast<unsigned long long>(stats.states),
                static_cast<unsigned long long>(stats.dense), out.size());
    std::fflush(stdout);
  }
}
