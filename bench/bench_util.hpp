// Small helpers shared by the C++ benchmarks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "keyword_processor/keyword_processor.hpp"

namespace bench {

// Time on this thread's CPU: steadier than wall time on a shared machine.
inline double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A whole file, or exit with a hint about the benchmark data.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s (run bench/prepare_data.py)\n", path.c_str());
    std::exit(1);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Adds the keywords of a bench/data keyword file (keyword TAB clean name).
inline void load_keywords(fernquill::KeywordProcessor& kp, const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      kp.add_keyword(line, std::nullopt);
    } else {
      kp.add_keyword(line.substr(0, tab), std::string_view(line).substr(tab + 1));
    }
  }
}

}  // namespace bench
