// The scan options against the module's own exact scan, on the English and
// the German corpus with 10,000 keywords each, paragraph by paragraph. The
// contenders take turns within each round; the best round of each counts,
// and the ratios to the module's scan are printed.
//
// Usage: bench_whole_words DATA_DIR [ROUNDS [CONTENDER]]
//   (DATA_DIR from bench/prepare_data.py and bench/prepare_german.py).
//   CONTENDER (0 to 3) runs that one alone, for instruction counts:
//   valgrind --tool=callgrind bench_whole_words DATA_DIR 1 CONTENDER
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "keyword_processor/extract.hpp"

namespace {

using fernquill::KeywordProcessor;
using fernquill::ScanOptions;

struct Contender {
  const char* name;
  ScanOptions options;
};
const Contender kContenders[] = {
    {"module scan", {}},
    {"unicode words", {true, false}},
    {"fallback", {false, true}},
    {"unicode + fallback", {true, true}},
};
constexpr std::size_t kCount = std::size(kContenders);

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void load_keywords(KeywordProcessor& kp, const std::string& tsv) {
  for (const std::string& line : lines_of(tsv)) {
    const std::size_t tab = line.find('\t');
    kp.add_keyword(line.substr(0, tab), line.substr(tab + 1));
  }
}

void run(const char* label, const std::string& corpus_path, const std::string& keywords_path,
         int rounds, int only) {
  KeywordProcessor kp(false, false);
  load_keywords(kp, bench::read_file(keywords_path));
  const std::vector<std::string> paragraphs = lines_of(bench::read_file(corpus_path));
  kp.scan_index();  // compiled before timing
  double best[kCount];
  std::fill(best, best + kCount, std::numeric_limits<double>::infinity());
  std::size_t matches[kCount] = {};
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t c = 0; c < kCount; ++c) {
      if (only >= 0 && c != static_cast<std::size_t>(only)) continue;
      std::size_t found = 0;
      const double t0 = bench::cpu_seconds();
      for (const std::string& p : paragraphs) {
        found += fernquill::extract_keywords(kp, p, std::nullopt, kContenders[c].options).size();
      }
      best[c] = std::min(best[c], bench::cpu_seconds() - t0);
      matches[c] = found;
    }
  }
  std::printf("%s (%zu paragraphs, best of %d rounds)\n", label, paragraphs.size(), rounds);
  for (std::size_t c = 0; c < kCount; ++c) {
    std::printf("  %-20s %8.1f ms  %8zu matches  %.3fx\n", kContenders[c].name, best[c] * 1e3,
                matches[c], best[c] / best[0]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATA_DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int only = argc > 3 ? std::atoi(argv[3]) : -1;
  run("English", dir + "/corpus.txt", dir + "/keywords_10000.tsv", rounds, only);
  run("German", dir + "/german_corpus.txt", dir + "/german_keywords_10000.tsv", rounds, only);
  return 0;
}
