// The exact scan's two ways of running the walks of a chunk, side by side on
// the corpus: one walk after the other, or all walks together one byte per
// round. Prints the time of each (the least of five CPU-time runs, the two
// taking turns) and the ratio, on the whole corpus as one text and on the
// short texts one call each, so that the scan's choice (the rounds, always)
// can be checked on another machine.
//
// Build: cmake -S . -B build-bench-cpp -G Ninja -DCMAKE_BUILD_TYPE=Release
//          -DFERNQUILL_BUILD_MODULE=OFF -DFERNQUILL_BUILD_BENCH=ON
//        cmake --build build-bench-cpp --target bench_exact_walk
// Run:   build-bench-cpp/bench_exact_walk bench/data
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "keyword_processor/extract.hpp"
#include "exact/scan_index.hpp"
#include "text/lowercase.hpp"

namespace {

using fernquill::ExactWalk;
using fernquill::KeywordMatch;

std::vector<std::string> lines_of(const std::string& all) {
  std::vector<std::string> out;
  std::size_t p = 0;
  while (p < all.size()) {
    std::size_t e = all.find('\n', p);
    if (e == std::string::npos) e = all.size();
    out.push_back(all.substr(p, e - p));
    p = e + 1;
  }
  return out;
}

void load_keywords(fernquill::KeywordProcessor& kp, const std::string& path) {
  for (const std::string& line : lines_of(bench::read_file(path))) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) kp.add_keyword(line.substr(0, tab), line.substr(tab + 1));
  }
}

bool same(const std::vector<KeywordMatch>& a, const std::vector<KeywordMatch>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.keyword == y.keyword && x.start == y.start && x.end == y.end;
  });
}

constexpr int kRuns = 5;

// Least CPU time of kRuns runs of each walk over `texts`, taking turns.
// Returns false when the walks disagree.
bool time_walks(const fernquill::ScanIndex& index, const std::vector<std::string>& texts,
                double& each_s, double& rounds_s) {
  each_s = rounds_s = 1e30;
  std::vector<KeywordMatch> each, rounds;
  for (int r = 0; r < kRuns; ++r) {
    for (ExactWalk how : {ExactWalk::kEach, ExactWalk::kRounds}) {
      std::vector<KeywordMatch>& out = how == ExactWalk::kEach ? each : rounds;
      out.clear();
      const double t0 = bench::cpu_seconds();
      for (const std::string& t : texts) fernquill::scan_exact(index, t, false, out, how);
      const double s = bench::cpu_seconds() - t0;
      double& best = how == ExactWalk::kEach ? each_s : rounds_s;
      best = std::min(best, s);
    }
  }
  return same(each, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "bench/data";
  const std::vector<std::string> corpus{
      fernquill::lower_utf8(bench::read_file(dir + "/corpus.txt"))};
  std::vector<std::string> short_lines = lines_of(bench::read_file(dir + "/short_texts.txt"));
  for (std::string& t : short_lines) t = fernquill::lower_utf8(t);
  const std::vector<std::string>& shorts = short_lines;
  std::printf("exact scan, one walk at a time against all walks in rounds (least of %d CPU runs)\n",
              kRuns);
  std::printf("%9s %9s %-8s %10s %10s %8s\n", "keywords", "slots", "texts", "each ms", "rounds ms",
              "each/rd");
  bool ok = true;
  for (const char* count : {"1000", "10000", "100000"}) {
    fernquill::KeywordProcessor kp(false, false);
    load_keywords(kp, dir + "/keywords_" + count + ".tsv");
    const fernquill::ScanIndex& index = kp.scan_index();
    for (const std::vector<std::string>* texts : {&corpus, &shorts}) {
      double each_s = 0, rounds_s = 0;
      const bool agree = time_walks(index, *texts, each_s, rounds_s);
      ok = ok && agree;
      std::printf("%9s %9zu %-8s %10.1f %10.1f %8.2f%s\n", count, index.slot_count(),
                  texts == &corpus ? "corpus" : "short", each_s * 1e3, rounds_s * 1e3,
                  each_s / rounds_s, agree ? "" : "  RESULTS DIFFER");
    }
  }
  return ok ? 0 : 1;
}
