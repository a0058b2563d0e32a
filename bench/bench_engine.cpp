// Engine-only extraction throughput: the compiled scanner against the
// literal per-position walk over the Trie (reference/literal_search.hpp), measured in the
// same run on the same keywords and text.
//
// The text is generated: words of /usr/share/dict/words drawn with Zipf
// frequencies (common function words first), in capitalised sentences with
// punctuation. Keywords are dictionary words (and two-word phrases once the
// words run out), added to a default case-insensitive processor.
//
// Build (after building the engine in build-dir):
//   g++ -std=c++20 -O3 -DNDEBUG -I src -I reference bench/bench_engine.cpp
//       build-dir/libfernquill_engine.a -lpthread -o build-dir/bench_engine
// Run: build-dir/bench_engine [text MB, default 24] [approximate text MB, default 1]
//  or: build-dir/bench_engine --data bench/data
// The second form measures exact matching on the real corpus with the keyword
// sets of bench/prepare_data.py (the whole corpus as one text, then one call
// per line of short_texts.txt, then the per-call cost of a 40-byte text).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "approx/approx_search.hpp"
#include "bench_util.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"
#include "text/utf8.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<std::string> load_words() {
  std::ifstream in("/usr/share/dict/words");
  if (!in) {
    std::fprintf(stderr, "needs /usr/share/dict/words (apt-get install wamerican)\n");
    std::exit(1);
  }
  std::vector<std::string> words;
  std::string w;
  while (std::getline(in, w)) {
    bool ascii = !w.empty();
    for (unsigned char ch : w) ascii = ascii && ch < 0x80;
    if (ascii) words.push_back(w);
  }
  return words;
}

std::string make_text(const std::vector<std::string>& words, std::size_t bytes,
                      std::uint64_t seed) {
  static const char* kCommon[] = {
      "the",  "of",   "and",   "to",   "a",     "in",    "is",   "that", "for",  "it",
      "as",   "was",  "with",  "be",   "by",    "on",    "not",  "he",   "this", "are",
      "or",   "his",  "from",  "at",   "which", "but",   "have", "an",   "had",  "they",
      "you",  "were", "their", "one",  "all",   "we",    "can",  "her",  "has",  "there",
      "been", "if",   "more",  "when", "will",  "would", "who",  "so",   "no",   "she"};
  std::mt19937_64 rng(seed);
  std::vector<std::string> ranked(std::begin(kCommon), std::end(kCommon));
  std::vector<std::string> rest = words;
  std::shuffle(rest.begin(), rest.end(), rng);
  ranked.insert(ranked.end(), rest.begin(), rest.end());
  // Zipf(1) by inverse transform over the cumulative weights.
  std::vector<double> cumulative(ranked.size());
  double total = 0;
  for (std::size_t r = 0; r < ranked.size(); ++r) cumulative[r] = total += 1.0 / (r + 1.0);
  std::uniform_real_distribution<double> unit(0.0, total);
  std::string text;
  text.reserve(bytes + 256);
  while (text.size() < bytes) {
    int len = 6 + static_cast<int>(rng() % 16);
    for (int k = 0; k < len; ++k) {
      std::size_t r =
          std::lower_bound(cumulative.begin(), cumulative.end(), unit(rng)) - cumulative.begin();
      std::string w = ranked[std::min(r, ranked.size() - 1)];
      if (k == 0 && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 32);
      text += w;
      if (k + 1 < len) text += rng() % 12 == 0 ? ", " : " ";
    }
    text += rng() % 8 == 0 ? ".\n" : ". ";
  }
  return text;
}

// Typos in about one word in ten: a dropped, doubled, replaced or swapped letter.
std::string add_typos(const std::string& text, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j]))) ++j;
    std::string w = text.substr(i, j - i);
    if (w.size() >= 3 && rng() % 10 == 0) {
      std::size_t p = 1 + rng() % (w.size() - 2);
      switch (rng() % 4) {
        case 0:
          w.erase(p, 1);
          break;
        case 1:
          w.insert(p, 1, w[p]);
          break;
        case 2:
          w[p] = static_cast<char>('a' + rng() % 26);
          break;
        default:
          std::swap(w[p], w[p + 1]);
          break;
      }
    }
    out += w;
    if (j < text.size()) out += text[j];
    i = j + 1;
  }
  return out;
}

std::vector<std::string> make_keywords(const std::vector<std::string>& words, std::size_t count,
                                       std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> pool;
  std::unordered_set<std::string> seen;
  for (const auto& w : words) {
    if (w.find('\'') != std::string::npos) continue;
    std::string lower = w;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (seen.insert(lower).second) pool.push_back(lower);
  }
  std::shuffle(pool.begin(), pool.end(), rng);
  std::vector<std::string> out(pool.begin(), pool.begin() + std::min(count, pool.size()));
  while (out.size() < count) {
    std::string phrase = pool[rng() % pool.size()] + " " + pool[rng() % pool.size()];
    if (seen.insert(phrase).second) out.push_back(phrase);
  }
  return out;
}

template <class F>
double best_seconds(int runs, F&& f) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double t0 = bench::cpu_seconds();
    f();
    best = std::min(best, bench::cpu_seconds() - t0);
  }
  return best;
}

int run_data(const std::string& dir) {
  const std::string corpus = bench::read_file(dir + "/corpus.txt");
  std::vector<std::string> shorts;
  {
    const std::string all = bench::read_file(dir + "/short_texts.txt");
    std::size_t p = 0;
    while (p < all.size()) {
      std::size_t e = all.find('\n', p);
      if (e == std::string::npos) e = all.size();
      shorts.push_back(all.substr(p, e - p));
      p = e + 1;
    }
  }
  std::size_t short_bytes = 0;
  for (const auto& t : shorts) short_bytes += t.size();
  const std::string sentence = "The kernel maintains a list of all devices.";
  const std::string lowered = fernquill::lower_utf8(corpus);
  std::printf("exact matching on %s/corpus.txt (%.1f MB), case-insensitive processor\n",
              dir.c_str(), corpus.size() / 1e6);
  std::printf("%9s %8s %12s %12s %12s %12s %9s\n", "keywords", "matches", "extract MB/s",
              "scan MB/s", "short MB/s", "40B ns/call", "check");
  for (std::size_t count : {1000u, 10000u, 100000u}) {
    fernquill::KeywordProcessor kp(false, false);
    {
      const std::string tsv = bench::read_file(dir + "/keywords_" + std::to_string(count) + ".tsv");
      std::size_t p = 0;
      while (p < tsv.size()) {
        std::size_t e = tsv.find('\n', p);
        if (e == std::string::npos) e = tsv.size();
        const std::string_view line(tsv.data() + p, e - p);
        const std::size_t tab = line.find('\t');
        if (tab != std::string_view::npos)
          kp.add_keyword(line.substr(0, tab), line.substr(tab + 1));
        p = e + 1;
      }
    }
    const fernquill::ScanIndex& index = kp.scan_index();
    std::vector<fernquill::KeywordMatch> got, want, scanned;
    const double extract_s =
        best_seconds(3, [&] { got = fernquill::extract_keywords(kp, corpus, 1.0f); });
    const double scan_s = best_seconds(3, [&] {
      scanned.clear();
      fernquill::scan_exact(index, lowered, false, scanned);
    });
    std::size_t sink = 0;
    const double short_s = best_seconds(3, [&] {
      for (const auto& t : shorts) sink += fernquill::extract_keywords(kp, t, 1.0f).size();
    });
    const int reps = 1000000;
    const double sentence_s = best_seconds(3, [&] {
      for (int r = 0; r < reps; ++r) sink += fernquill::extract_keywords(kp, sentence, 1.0f).size();
    });
    want = oracle::extract(kp, corpus, 1.0f);
    std::printf("%9zu %8zu %12.0f %12.0f %12.0f %12.1f %9s\n", count, got.size(),
                corpus.size() / 1e6 / extract_s, lowered.size() / 1e6 / scan_s,
                short_bytes / 1e6 / short_s, sentence_s / reps * 1e9,
                oracle::same(got, want) && oracle::same(scanned, want) ? "same" : "DIFFER");
    if (sink == 1) std::printf(" ");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--data") return run_data(argv[2]);
  const double text_mb = argc > 1 ? std::atof(argv[1]) : 24.0;
  const double approx_mb = argc > 2 ? std::atof(argv[2]) : 1.0;
  const auto words = load_words();
  const std::string text = make_text(words, static_cast<std::size_t>(text_mb * 1e6), 42);
  const double mb = text.size() / 1e6;
  std::printf("exact matching, %.1f MB generated English text, case-insensitive processor\n", mb);
  std::printf("%9s %8s %12s %12s %8s %10s %9s\n", "keywords", "matches", "engine MB/s",
              "literal MB/s", "speedup", "compile ms", "check");
  for (std::size_t count : {1000u, 10000u, 100000u}) {
    fernquill::KeywordProcessor kp(false, false);
    for (const auto& k : make_keywords(words, count, count)) kp.add_keyword(k, std::nullopt);
    auto t0 = Clock::now();
    kp.scan_index();
    const double compile_ms = seconds_since(t0) * 1e3;
    std::vector<fernquill::KeywordMatch> got, want;
    double engine = best_seconds(3, [&] { got = fernquill::extract_keywords(kp, text, 1.0f); });
    double literal = best_seconds(1, [&] { want = oracle::extract(kp, text, 1.0f); });
    std::printf("%9zu %8zu %12.0f %12.0f %7.2fx %10.1f %9s\n", count, got.size(), mb / engine,
                mb / literal, literal / engine, compile_ms,
                oracle::same(got, want) ? "same" : "DIFFER");
  }

  const std::string typo_text =
      add_typos(make_text(words, static_cast<std::size_t>(approx_mb * 1e6), 7), 8);
  std::printf("\napproximate matching, %.1f MB text with typos in ~10%% of words\n",
              typo_text.size() / 1e6);
  std::printf("%9s %9s %8s %14s %12s %12s %8s %7s\n", "keywords", "threshold", "matches",
              "literal st/pos", "engine MB/s", "literal MB/s", "speedup", "check");
  for (std::size_t count : {1000u, 10000u}) {
    fernquill::KeywordProcessor kp(false, false);
    for (const auto& k : make_keywords(words, count, count)) kp.add_keyword(k, std::nullopt);
    const fernquill::ApproxIndex& index = kp.approx_index();
    const std::string lowered = fernquill::lower_utf8(typo_text);
    for (float t : {0.9f, 0.8f, 0.7f, 0.5f}) {
      // The literal search gets a prefix sized to about ten seconds.
      std::size_t prefix = std::min<std::size_t>(lowered.size(), 20000);
      oracle::Stats probe;
      double probe_s = best_seconds(1, [&] {
        oracle::extract(kp, std::string_view(typo_text).substr(0, prefix), t, &probe);
      });
      prefix = std::min<std::size_t>(
          lowered.size(), static_cast<std::size_t>(prefix * (10.0 / std::max(probe_s, 1e-6))));
      while (prefix < lowered.size() && fernquill::utf8::is_continuation(lowered[prefix])) ++prefix;
      const std::string_view part = std::string_view(lowered).substr(0, prefix);
      oracle::Stats literal_stats;
      std::vector<fernquill::KeywordMatch> got, want, got_part;
      double engine = best_seconds(1, [&] {
        got.clear();
        fernquill::scan_approximate(index, lowered, t, got);
      });
      fernquill::scan_approximate(index, part, t, got_part);
      double literal =
          best_seconds(1, [&] { want = oracle::extract(kp, part, t, &literal_stats); });
      std::size_t positions = 0;
      for (std::size_t k = 0; k < part.size(); ++k) {
        positions += k == 0 || !kp.word_set().contains(static_cast<unsigned char>(part[k - 1]));
      }
      const double engine_rate = lowered.size() / 1e6 / engine;
      const double literal_rate = part.size() / 1e6 / literal;
      std::printf("%9zu %9.2f %8zu %14.1f %12.2f %12.3f %7.1fx %7s\n", count, t, got.size(),
                  static_cast<double>(literal_stats.states) / positions, engine_rate, literal_rate,
                  engine_rate / literal_rate, oracle::same(got_part, want) ? "same" : "DIFFER");
    }
  }
  return 0;
}
