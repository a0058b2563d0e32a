// Reading a processor state back, engine only: the state of the 100,000
// keyword set is decoded again and again, and the CPU time (median of the
// runs), the page faults per load and the store's size are printed. Under
// callgrind, `--toggle-collect='fernquill::decode_processor_state*'` counts
// the instructions of the reader alone (the runs argument set to 1).
//
// Build: cmake -S . -B build-bench-cpp -G Ninja -DCMAKE_BUILD_TYPE=Release
//          -DFERNQUILL_BUILD_MODULE=OFF -DFERNQUILL_BUILD_BENCH=ON
//        cmake --build build-bench-cpp --target bench_state_load
// Run:   build-bench-cpp/bench_state_load bench/data [runs]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "state/processor_state.hpp"

namespace {

constexpr int kDefaultRuns = 31;

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "bench/data";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultRuns;
  fernquill::KeywordProcessor kp(false, false);
  bench::load_keywords(kp, dir + "/keywords_100000.tsv");
  const std::string state = fernquill::encode_processor_state(kp);

  std::vector<double> times;
  long faults = 0;
  std::unique_ptr<fernquill::ProcessorState> loaded;
  for (int r = 0; r < runs; ++r) {
    const long f0 = minor_faults();
    const double t0 = bench::cpu_seconds();
    loaded.reset();  // the previous store is freed before the clock starts
    loaded = fernquill::decode_processor_state(state);
    times.push_back(bench::cpu_seconds() - t0);
    faults += minor_faults() - f0;
    if (loaded->trie.keyword_count() != kp.count_keywords()) {
      std::fprintf(stderr, "loaded %zu keywords, built %zu\n", loaded->trie.keyword_count(),
                   kp.count_keywords());
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("state %zu bytes, %zu keywords, %zu nodes\n", state.size(), kp.count_keywords(),
              loaded->trie.node_count());
  std::printf("decode: median %.3f ms, least %.3f ms of %d; %.1f page faults per load\n",
              times[times.size() / 2] * 1e3, times.front() * 1e3, runs,
              static_cast<double>(faults) / runs);
  std::printf("store: built %zu bytes, loaded %zu bytes\n", kp.trie().memory_bytes(),
              loaded->trie.memory_bytes());
  return 0;
}
