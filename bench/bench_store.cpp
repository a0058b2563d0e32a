// Memory and build time of the keyword store, and of the structures compiled
// from it: the exact scan index and the approximate search's structures.
// Usage: bench_store [WORDS_FILE]   (default /usr/share/dict/american-english)
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "keyword_processor/keyword_processor.hpp"

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/usr/share/dict/american-english";
  std::ifstream in(path);
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line) && words.size() < 100000;) {
    if (!line.empty()) words.push_back(line);
  }
  if (words.empty()) {
    std::cerr << "no words in " << path << "\n";
    return 1;
  }
  auto t0 = std::chrono::steady_clock::now();
  fernquill::KeywordProcessor p(false, false);
  std::size_t bytes = 0;
  for (const auto& w : words) {
    p.add_keyword(w, std::nullopt);
    bytes += w.size();
  }
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const fernquill::Trie& trie = p.trie();
  std::cout << "keywords: " << p.count_keywords() << " (" << bytes << " bytes of text)\n"
            << "nodes: " << trie.node_count() << "\n"
            << "store bytes: " << trie.memory_bytes() << " = "
            << static_cast<double>(trie.memory_bytes()) / static_cast<double>(p.count_keywords())
            << " per keyword\n"
            << "build: " << ms << " ms\n";

  auto per_keyword = [&](std::size_t b) {
    return static_cast<double>(b) / static_cast<double>(p.count_keywords());
  };
  t0 = std::chrono::steady_clock::now();
  const std::size_t exact = p.scan_index().memory_bytes();
  const double exact_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  t0 = std::chrono::steady_clock::now();
  const std::size_t approx = p.approx_index().memory_bytes();
  const double approx_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::cout << "exact scan index bytes: " << exact << " = " << per_keyword(exact)
            << " per keyword, compiled in " << exact_ms << " ms\n"
            << "approximate structures bytes: " << approx << " = " << per_keyword(approx)
            << " per keyword, built in " << approx_ms << " ms\n";
}
