// Approximate search internals on the typo corpus: for each keyword set and
// threshold, whether the piece filter is on, the memory of its structures
// beside the exact index, the share of start positions searched and of those
// given a remembered search's result, the states
// per searched start, and the engine's MB/s (CPU time, the threshold's
// structures already built).
//
// Run: build-dir/bench_approx_engine bench/data [text MB, default 1]
//        [keyword counts, default 1000,10000,100000] [thresholds, default 0.95,0.9,0.8,0.7,0.5]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "approx/approx_plan.hpp"
#include "approx/approx_search.hpp"
#include "bench_util.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"

namespace {

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "bench/data";
  const double mb = argc > 2 ? std::atof(argv[2]) : 1.0;
  const auto counts = split(argc > 3 ? argv[3] : "1000,10000,100000");
  const auto thresholds = split(argc > 4 ? argv[4] : "0.95,0.9,0.8,0.7,0.5");
  std::string text = bench::read_file(dir + "/typos.txt");
  text.resize(std::min(text.size(), static_cast<std::size_t>(mb * 1e6)));
  const std::string lowered = fernquill::lower_utf8(text);
  // "resumed": of the searches, those begun at a remembered frontier.
  std::printf("%8s %5s %6s %11s %11s %9s %9s %9s %9s %12s %9s\n", "keywords", "t", "filter",
              "plan KiB", "exact KiB", "starts", "searched", "recalled", "resumed", "states/srch",
              "MB/s");
  for (const std::string& count : counts) {
    fernquill::KeywordProcessor kp(false, false);
    bench::load_keywords(kp, dir + "/keywords_" + count + ".tsv");
    const fernquill::ApproxIndex& index = kp.approx_index();
    std::printf("%8s keywords: exact index %.1f KiB, approximate index (flat trie) %.1f KiB\n",
                count.c_str(), index.exact_memory_bytes() / 1024.0, index.memory_bytes() / 1024.0);
    for (const std::string& threshold : thresholds) {
      const float t = std::strtof(threshold.c_str(), nullptr);
      // Low thresholds search for long: a shorter text keeps the run short.
      const std::size_t size = t >= 0.8f ? lowered.size() : lowered.size() / (t >= 0.7f ? 4 : 40);
      const std::string_view part = std::string_view(lowered).substr(0, size);
      const auto plan = fernquill::plan_for(index, t, ~std::size_t{0} / 2, part);
      fernquill::ApproxStats stats;
      std::vector<fernquill::KeywordMatch> out;
      const double t0 = bench::cpu_seconds();
      fernquill::scan_approximate_counted(index, part, t, out, stats);
      const double s = bench::cpu_seconds() - t0;
      const auto searched = static_cast<double>(std::max<std::uint64_t>(stats.searched, 1));
      std::printf(
          "%8s %5.2f %6s %11.1f %11.1f %9llu %8.3f%% %8.3f%% %8.1f%% %12.1f %9.2f\n", count.c_str(),
          t, plan->filtering() ? "on" : "off", plan->memory_bytes() / 1024.0,
          index.exact_memory_bytes() / 1024.0, static_cast<unsigned long long>(stats.starts),
          100.0 * static_cast<double>(stats.searched) / static_cast<double>(stats.starts),
          100.0 * static_cast<double>(stats.recalled) / static_cast<double>(stats.starts),
          100.0 * static_cast<double>(stats.resumed) / searched,
          static_cast<double>(stats.states) / searched, static_cast<double>(size) / 1e6 / s);
    }
  }
  return 0;
}
