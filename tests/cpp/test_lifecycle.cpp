// The compiled index's lifecycle: which changes drop it, the store walk that
// scans until a compile pays, and the first scans after a change made from
// many threads at once (run this file's cases under ThreadSanitizer too).
#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "every_engine.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"
#include "random_text.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

// A processor of `count` keywords over few letters, so that texts over the
// same letters hold many matches.
void fill(KeywordProcessor& kp, std::mt19937_64& rng, std::size_t count) {
  while (kp.count_keywords() < count) {
    kp.add_keyword(random_text(rng, "abcd", 2 + rng() % 8), std::nullopt);
  }
}

bool compiled(const KeywordProcessor& kp) { return kp.exact_index_ready(); }

}  // namespace

TEST(lifecycle_changes_that_change_nothing_keep_the_index) {
  struct Case {
    const char* what;
    std::function<void(KeywordProcessor&)> change;
    bool keeps;
  };
  const std::vector<Case> cases = {
      {"re-add with its own clean name", [](auto& kp) { kp.add_keyword("Abc", "name"); }, true},
      {"re-add, default name", [](auto& kp) { kp.add_keyword("dd", std::nullopt); }, true},
      {"word char already one", [](auto& kp) { kp.add_word_char('a'); }, true},
      {"word char above the bytes", [](auto& kp) { kp.add_word_char(0x263A); }, true},
      {"same bytes, other wide chars",
       [](auto& kp) {
         std::vector<std::uint32_t> chars{0x1F600};
         for (std::uint32_t c = 0; c < 256; ++c) {
           if (kp.word_set().contains(c)) chars.push_back(c);
         }
         kp.set_word_chars(chars);
       },
       true},
      {"remove an absent keyword", [](auto& kp) { kp.remove_keyword("abd"); }, true},
      {"remove a prefix that is no keyword", [](auto& kp) { kp.remove_keyword("ab"); }, true},
      {"re-add with another clean name", [](auto& kp) { kp.add_keyword("abc", "other"); }, false},
      {"add a new keyword", [](auto& kp) { kp.add_keyword("abd", std::nullopt); }, false},
      {"remove a keyword", [](auto& kp) { kp.remove_keyword("dd"); }, false},
      {"new word byte", [](auto& kp) { kp.add_word_char('_'); }, false},
      {"other word bytes", [](auto& kp) { kp.set_word_chars(std::vector<std::uint32_t>{'a'}); },
       false},
  };
  for (const Case& c : cases) {
    KeywordProcessor kp(false, false);
    kp.add_keyword("abc", "name");
    kp.add_keyword("dd", std::nullopt);
    kp.scan_index();
    c.change(kp);
    if (compiled(kp) != c.keeps) check::fail(__FILE__, __LINE__, c.what);
    // Whichever index serves the scan, it sees the store as it is now.
    for (const char* text : {"abc dd abd_x ab", "ABC, dd.", "abd dd_ abc"}) {
      if (!every_engine::check(kp, text, 1.0f, every_engine::Index::kAsIs)) {
        check::fail(__FILE__, __LINE__, std::string(c.what) + ": " + text);
      }
    }
  }
}

TEST(lifecycle_store_walk_until_a_compile_pays) {
  std::mt19937_64 rng(21);
  for (bool case_sensitive : {false, true}) {
    KeywordProcessor kp(case_sensitive, false);
    fill(kp, rng, 300);
    kp.scan_index();
    kp.add_keyword("ABCD", "changed");
    CHECK(!compiled(kp));
    // Short scans run on the store walk, each with the compiled scan's
    // results, until their work adds up to a compile; then one compiles.
    int walked = 0;
    for (int q = 0; q < 100000 && !compiled(kp); ++q) {
      const std::string text = random_text(rng, "abcdABCD ,", 1 + rng() % 60);
      if (!every_engine::check(kp, text, 1.0f, every_engine::Index::kAsIs)) {
        check::fail(__FILE__, __LINE__, "store walk: " + text);
        break;
      }
      ++walked;
    }
    CHECK(compiled(kp));
    CHECK(walked > 10);
    // A single text as long as a compile's worth of walking compiles at once.
    CHECK(kp.remove_keyword("ABCD"));
    CHECK(!compiled(kp));
    const std::string long_text = random_text(rng, "abcdABCD ,", 64 * kp.trie().node_count());
    CHECK(every_engine::check(kp, long_text, 1.0f, every_engine::Index::kAsIs));
    CHECK(compiled(kp));
  }
}

TEST(lifecycle_approximate_structures_only_when_asked) {
  // Exact scans never need them; the first approximate scan builds them,
  // and compiles the exact index they share.
  KeywordProcessor kp(false, false);
  kp.add_keyword("hello", std::nullopt);
  CHECK(fernquill::extract_keywords(kp, "helo world", 1.0f).empty());
  CHECK(!compiled(kp));
  CHECK(every_engine::check(kp, "helo world", 0.8f, every_engine::Index::kAsIs));
  CHECK(compiled(kp));
}

TEST(lifecycle_concurrent_first_scans_after_a_change) {
  // Eight threads make the first scans of a freshly changed processor at
  // once: short exact texts (store walk), long ones (which compile the
  // index) and approximate ones (which build the search's structures too).
  constexpr int kThreads = 8;
  std::mt19937_64 rng(8);
  KeywordProcessor kp(false, false);
  fill(kp, rng, 2000);
  struct Scan {
    std::string text;
    float t;
    std::vector<KeywordMatch> want;
  };
  std::vector<std::vector<Scan>> work(kThreads);
  for (int w = 0; w < kThreads; ++w) {
    for (int q = 0; q < 6; ++q) {
      const bool long_text = (w + q) % 3 == 0;
      const float t = (w + q) % 4 == 1 ? 0.8f : 1.0f;
      std::string text =
          random_text(rng, "abcdABCD ,", long_text ? 16 * kp.trie().node_count() : 40);
      if (t < 1.0f) text.resize(200);
      work[w].push_back({text, t, {}});
    }
  }
  for (int round = 0; round < 3; ++round) {
    kp.add_keyword("round " + std::to_string(round), std::nullopt);  // a real change
    for (auto& scans : work) {
      for (Scan& s : scans) s.want = oracle::extract(kp, s.text, s.t);
    }
    std::atomic<int> ready{0};
    std::vector<int> bad(kThreads, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < kThreads; ++w) {
      threads.emplace_back([&, w] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (const Scan& s : work[w]) {
          bad[w] += !oracle::same(fernquill::extract_keywords(kp, s.text, s.t), s.want);
        }
      });
    }
    for (auto& th : threads) th.join();
    for (int w = 0; w < kThreads; ++w) CHECK_EQ(bad[w], 0);
    // The literal search's results, which the threads had, are every
    // engine's once the index is built.
    for (const auto& scans : work) {
      for (const Scan& s : scans) CHECK(every_engine::check(kp, s.text, s.t));
    }
  }
}
