// One extraction call on the benchmark data, for instruction counts that
// repeat from run to run (the machine's load does not change them):
//
//   valgrind --tool=callgrind --toggle-collect='*measured_scan*'
//       build-dir/bench_scan_once bench/data KEYWORDS THRESHOLD [text KB, default 200]
//
// Exact scans (threshold 1) read the corpus, approximate ones the typo
// text. A first call on the same text compiles the index and, for a
// threshold below 1, its plan, so the counted call is a scan alone.
//
// With a fifth argument R, the call is made R times and the least CPU time
// of one is printed: run two builds' binaries in turns for a comparison.
// With FERNQUILL_BENCH_CHECKS set, the scans run under an interrupt token
// with a check, as the binding's calls do (its cancellation points' cost).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "keyword_processor/extract.hpp"
#include "support/interrupt.hpp"

namespace {

[[gnu::noinline]] std::size_t measured_scan(const fernquill::KeywordProcessor& kp,
                                            const std::string& text, float t) {
  return fernquill::extract_keywords(kp, text, t).size();
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR KEYWORDS THRESHOLD [TEXT_KB [REPEATS]]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const float t = std::strtof(argv[3], nullptr);
  const std::size_t kb = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 200;
  std::string text = bench::read_file(dir + (t < 1.0f ? "/typos.txt" : "/corpus.txt"));
  text.resize(std::min(text.size(), kb * 1000));
  fernquill::Interrupt token([](void*) {}, nullptr);
  std::optional<fernquill::InterruptScope> checks;
  if (std::getenv("FERNQUILL_BENCH_CHECKS") != nullptr) checks.emplace(token);
  fernquill::KeywordProcessor kp(false, false);
  bench::load_keywords(kp, dir + "/keywords_" + std::string(argv[2]) + ".tsv");
  fernquill::extract_keywords(kp, text, t);  // compiles what the scan needs
  const int repeats = argc > 5 ? std::atoi(argv[5]) : 0;
  if (repeats <= 0) {
    std::printf("%zu matches\n", measured_scan(kp, text, t));
    return 0;
  }
  double least = 0.0;
  std::size_t matches = 0;
  for (int r = 0; r < repeats; ++r) {
    const double begin = cpu_seconds();
    matches = measured_scan(kp, text, t);
    const double spent = cpu_seconds() - begin;
    least = r == 0 ? spent : std::min(least, spent);
  }
  std::printf("%zu matches, least CPU time %.2f ms\n", matches, least * 1e3);
  return 0;
}
