// Throughput of lower_utf8 against memcpy of the same buffer.
//
// Built with -DFERNQUILL_BUILD_BENCH=ON; run as: bench_lowercase [megabytes]
// (default 20). Sizes well above the last-level cache measure memory speed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace {

std::string make_text(std::size_t bytes, const std::vector<std::string>& words, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(bytes + 64);
  bool sentence_start = true;
  while (s.size() < bytes) {
    std::string w = words[rng() % words.size()];
    const unsigned r = rng() % 100;
    if ((sentence_start || r < 8) && w[0] >= 'a' && w[0] <= 'z')
      w[0] = static_cast<char>(w[0] - 32);
    if (r == 99) {
      for (char& c : w) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    s += w;
    sentence_start = r < 6;
    s += sentence_start ? ". " : (r < 12 ? ", " : " ");
  }
  s.resize(bytes);
  // Do not cut a character in two.
  while (!s.empty() && fernquill::utf8::is_continuation(s.back())) s.pop_back();
  if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}

template <typename F>
double best_seconds(int rounds, F&& f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void run(const char* name, const std::string& text) {
  std::size_t non_ascii = 0;
  for (unsigned char c : text) non_ascii += c >= 0x80;
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::vector<char> copy(text.size());
  const double t_copy = best_seconds(15, [&] {
    std::memcpy(copy.data(), text.data(), text.size());
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
  std::string out;
  const double t_lower = best_seconds(15, [&] {
    out.clear();
    fernquill::lower_utf8(text, out);
    asm volatile("" : : "r"(out.data()) : "memory");
  });
  const double t_fresh = best_seconds(15, [&] {
    std::string fresh;
    fernquill::lower_utf8(text, fresh);
    asm volatile("" : : "r"(fresh.data()) : "memory");
  });
  std::printf(
      "%-10s %6.1f MB, %4.1f%% non-ASCII bytes: memcpy %7.0f MB/s | lower_utf8 %7.0f MB/s "
      "(%.2fx memcpy time) | into fresh string %7.0f MB/s\n",
      name, mb, 100.0 * non_ascii / text.size(), mb / t_copy, mb / t_lower, t_lower / t_copy,
      mb / t_fresh);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
  const std::size_t bytes = megabytes * 1000 * 1000;
  const std::vector<std::string> english = {
      "the",   "of",      "and",     "to",        "in",      "is",         "that",    "for",
      "it",    "as",      "was",     "with",      "be",      "by",         "on",      "not",
      "he",    "this",    "are",     "or",        "his",     "from",       "at",      "which",
      "but",   "have",    "an",      "they",      "you",     "were",       "their",   "one",
      "all",   "we",      "can",     "her",       "has",     "there",      "been",    "if",
      "more",  "when",    "will",    "would",     "who",     "so",         "no",      "keyword",
      "York",  "London",  "Python",  "engine",    "process", "matching",   "several", "between",
      "under", "through", "because", "different", "people",  "government", "system",  "2024"};
  std::vector<std::string> mixed = english;
  mixed.insert(mixed.end(), english.begin(), english.end());
  const std::vector<std::string> foreign = {
      "école",   "été",   "français", "Über", "Straße",   "Größe", "Ärger", "déjà",
      "ΟΔΟΣ",    "λόγος", "Ελλάδα",   "über", "naïve",    "Noël",  "œuvre", "Ça",
      "Mädchen", "schön", "ΣΟΦΟΣ",    "καί",  "übrigens", "à",     "où",    "fête"};
  // About one word in six is French, German or Greek: roughly 10% non-ASCII bytes.
  mixed.insert(mixed.end(), foreign.begin(), foreign.end());
  run("ascii", make_text(bytes, english, 1));
  run("mixed", make_text(bytes, mixed, 2));
  return 0;
}
