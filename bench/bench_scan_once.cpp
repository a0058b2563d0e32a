// One extraction call on the benchmark data, for instruction counts that
// repeat from run to run (the machine's load does not change them):
//
//   valgrind --tool=callgrind --toggle-collect='*measured_scan*'
//       build-dir/bench_scan_once bench/data KEYWORDS THRESHOLD [text KB, default 200]
//
// Exact scans (threshold 1) read the corpus, approximate ones the typo
// text. A first call on the same text compiles the index and, for a
// threshold below 1, its plan, so the counted call is a scan alone.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "keyword_processor/extract.hpp"

namespace {

[[gnu::noinline]] std::size_t measured_scan(const fernquill::KeywordProcessor& kp,
                                            const std::string& text, float t) {
  return fernquill::extract_keywords(kp, text, t).size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR KEYWORDS THRESHOLD [TEXT_KB]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const float t = std::strtof(argv[3], nullptr);
  const std::size_t kb = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 200;
  std::string text = bench::read_file(dir + (t < 1.0f ? "/typos.txt" : "/corpus.txt"));
  text.resize(std::min(text.size(), kb * 1000));
  fernquill::KeywordProcessor kp(false, false);
  bench::load_keywords(kp, dir + "/keywords_" + std::string(argv[2]) + ".tsv");
  fernquill::extract_keywords(kp, text, t);  // compiles what the scan needs
  std::printf("%zu matches\n", measured_scan(kp, text, t));
  return 0;
}
