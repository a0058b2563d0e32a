// Every change of a processor is all or nothing under allocation failure.
//
// This binary's operator new counts allocations and can be armed to throw
// std::bad_alloc at the k-th one. For each mutating operation the sweep runs
// the operation on a fresh loaded processor with k = 0, 1, 2, ... until it
// completes without reaching the k-th allocation; after every failure the
// store's bookkeeping must be sound, its encoded state byte-identical to the
// one before, and its scans unchanged (the scan index was compiled before,
// so a stale index over a moved name buffer shows up here, under ASan as a
// use-after-free).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "state/processor_state.hpp"

namespace {

// Allocations left before the injected failure; negative: never fail.
std::atomic<std::int64_t> g_allocations_left{-1};

void* counted_allocation(std::size_t size) {
  if (g_allocations_left.load(std::memory_order_relaxed) >= 0 &&
      g_allocations_left.fetch_sub(1, std::memory_order_relaxed) == 0) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace {

void* counted_allocation_or_null(std::size_t size) noexcept {
  try {
    return counted_allocation(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

// Every form that pairs with the plain delete is replaced, so that memory
// from one is never released by another's (AddressSanitizer checks that).
void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation_or_null(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace fernquill;

namespace {

constexpr int kFixtureKeywords = 100;
constexpr int kFixtureRemoved = 55;
constexpr std::size_t kFixtureName = 100;
constexpr std::size_t kBigName = 1000;

std::string keyword_name(int i) {
  std::string name = "kw" + std::to_string(1000 + i).substr(1);
  return name;
}

// A store whose dead name bytes sit just below the compaction threshold:
// removing one more 100-byte name, or replacing the 1000-byte name by a
// longer one, compacts the name buffer.
void load_fixture(KeywordProcessor& kp) {
  for (int i = 0; i < kFixtureKeywords; ++i) {
    kp.add_keyword(keyword_name(i), std::string(kFixtureName, static_cast<char>('A' + i % 26)));
  }
  kp.add_keyword("big", std::string(kBigName, 'B'));
  kp.add_keyword("İstanbul", std::nullopt);
  kp.add_keyword("new", "N");
  kp.add_keyword("new york", "NY");
  kp.add_keyword("", "empty");
  for (int i = 0; i < kFixtureRemoved; ++i) kp.remove_keyword(keyword_name(i));
}

const char* const kText = "big kw060 kw099 new york İstanbul istanbul new kw054 bigg";

std::vector<std::vector<KeywordMatch>> scans(const KeywordProcessor& kp) {
  return {extract_keywords(kp, kText, std::nullopt), extract_keywords(kp, kText, 0.8f)};
}

bool same_scans(const std::vector<std::vector<KeywordMatch>>& a,
                const std::vector<std::vector<KeywordMatch>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size()) return false;
    for (std::size_t j = 0; j < a[i].size(); ++j) {
      if (a[i][j].keyword != b[i][j].keyword || a[i][j].start != b[i][j].start ||
          a[i][j].end != b[i][j].end || a[i][j].similarity != b[i][j].similarity) {
        return false;
      }
    }
  }
  return true;
}

struct Operation {
  const char* name;
  std::function<void(KeywordProcessor&)> run;
  bool compacts = false;  // the completed run must shrink the name buffer
};

std::vector<Operation> operations() {
  static const std::string loaded_state = [] {
    KeywordProcessor other(true, false);
    other.add_keyword("Other", "O");
    other.add_keyword(std::string(300, 'x'), std::string(200, 'y'));
    other.add_keyword("é", std::nullopt);
    return encode_processor_state(other);
  }();
  // A state written elsewhere: a root whose children come out of key order,
  // one key twice (the reader sorts them and drops the first subtree).
  static const std::string unordered_state = [] {
    auto le64 = [](std::uint64_t v) {
      std::string b;
      for (int i = 0; i < 8; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
      return b;
    };
    auto leaf = [&](std::string_view name) {
      return le64(0) + '\x01' + le64(name.size()) + std::string(name);
    };
    const std::string words =
        encode_processor_state(KeywordProcessor(false, false)).substr(0, 139272);
    return words + le64(3) + "b" + leaf("first b") + "a" + leaf("A") + "b" + leaf("second b") +
           std::string(3, '\0');
  }();
  static const std::uint32_t word_chars[] = {'_', 0xE9, 'x'};
  // Arguments are made here, so that the sweep counts the operations' own
  // allocations only.
  static const std::string long_keyword(5000, 'q');
  // Longer than any slack the name buffer has, so that it must grow.
  static const std::string longer_name(20000, 'L');
  static const std::string big_name(kBigName + 500, 'C');
  static const std::string removed = keyword_name(kFixtureRemoved);
  return {
      {"add a new keyword", [](auto& kp) { kp.add_keyword("brand new", "Fresh"); }},
      {"add a new keyword with a long name",
       [](auto& kp) { kp.add_keyword("brand new", longer_name); }},
      {"add a long keyword", [](auto& kp) { kp.add_keyword(long_keyword, std::nullopt); }},
      {"add a folded non-ASCII keyword",
       [](auto& kp) { kp.add_keyword("STRASSE İZMİR ΟΔΟΣ", std::nullopt); }},
      {"replace a clean name by a shorter one", [](auto& kp) { kp.add_keyword("kw060", "s"); }},
      {"replace a clean name by a longer one",
       [](auto& kp) { kp.add_keyword("new", longer_name); }},
      {"replace the big clean name, compacting", [](auto& kp) { kp.add_keyword("big", big_name); },
       true},
      {"add a keyword already stored", [](auto& kp) { kp.add_keyword("new york", "NY"); }},
      {"remove a keyword, pruning its path", [](auto& kp) { kp.remove_keyword("kw099"); }},
      {"remove a keyword, compacting", [](auto& kp) { kp.remove_keyword(removed); }, true},
      {"remove a keyword on another's path", [](auto& kp) { kp.remove_keyword("new"); }},
      {"remove a folded keyword", [](auto& kp) { kp.remove_keyword("İSTANBUL"); }},
      {"remove the empty keyword", [](auto& kp) { kp.remove_keyword(""); }},
      {"remove an absent keyword", [](auto& kp) { kp.remove_keyword("absent"); }},
      {"add a word character", [](auto& kp) { kp.add_word_char('_'); }},
      {"replace the word characters", [](auto& kp) { kp.set_word_chars(word_chars); }},
      {"load a state",
       [](auto& kp) {
         auto state = decode_processor_state(loaded_state);
         kp.replace_state(state->words, std::move(state->trie), state->case_sensitive,
                          state->allow_overlaps);
       }},
      {"load a state with a repeated key, unordered",
       [](auto& kp) {
         auto state = decode_processor_state(unordered_state);
         kp.replace_state(state->words, std::move(state->trie), state->case_sensitive,
                          state->allow_overlaps);
       }},
  };
}

// Runs `op` with the k-th allocation failing; returns false when the
// operation completed without reaching it.
// The fixture as built by its changes, or as read back from its state (no
// dead name bytes, other spare capacity).
enum class Fixture { kBuilt, kLoaded };

void make_fixture(KeywordProcessor& kp, Fixture how) {
  if (how == Fixture::kBuilt) {
    load_fixture(kp);
    return;
  }
  KeywordProcessor built(false, false);
  load_fixture(built);
  auto state = decode_processor_state(encode_processor_state(built));
  kp.replace_state(state->words, std::move(state->trie), state->case_sensitive,
                   state->allow_overlaps);
}

bool fails_at(const Operation& op, Fixture how, std::int64_t k, int line_failures_before) {
  KeywordProcessor kp(false, false);
  make_fixture(kp, how);
  const auto scans_before = scans(kp);  // compiles the scan index
  const std::string state_before = encode_processor_state(kp);
  const std::size_t memory_before = kp.trie().memory_bytes();
  bool failed = false;
  g_allocations_left = k;
  try {
    op.run(kp);
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  g_allocations_left = -1;
  const std::string problem = kp.trie().check_invariants();
  if (!problem.empty()) {
    check::fail(__FILE__, __LINE__,
                std::string(op.name) + " at " + std::to_string(k) + ": " + problem);
    return false;
  }
  if (!failed) {
    if (op.compacts && how == Fixture::kBuilt) CHECK(kp.trie().memory_bytes() < memory_before);
    return false;
  }
  if (encode_processor_state(kp) != state_before || !same_scans(scans(kp), scans_before)) {
    check::fail(__FILE__, __LINE__,
                std::string(op.name) + ": changed by a failure at allocation " + std::to_string(k));
  }
  return check::failures() == line_failures_before;
}

}  // namespace

TEST(every_change_is_all_or_nothing_under_allocation_failure) {
  for (const Operation& op : operations()) {
    std::int64_t points[2] = {0, 0};
    for (Fixture how : {Fixture::kBuilt, Fixture::kLoaded}) {
      std::int64_t& k = points[how == Fixture::kLoaded];
      while (fails_at(op, how, k, check::failures())) ++k;
    }
    std::printf("allocation failure sweep: %-42s %lld + %lld injection points (built, loaded)\n",
                op.name, static_cast<long long>(points[0]), static_cast<long long>(points[1]));
  }
}

// An approximate scan only reads the processor; under allocation failure it
// either fails or, when the failing allocation only served to remember
// earlier searches, goes on and gives the full result.
TEST(approximate_scans_fail_cleanly_or_give_the_full_result_under_allocation_failure) {
  KeywordProcessor kp(false, false);
  make_fixture(kp, Fixture::kBuilt);
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += "new yrok kw06" + std::to_string(i % 10) + " bigg istanbul, ";
  for (const float t : {0.9f, 0.8f, 0.6f}) {
    const auto want = extract_keywords(kp, text, t);  // builds the approximate structures
    constexpr std::int64_t kPlenty = std::int64_t{1} << 40;
    g_allocations_left = kPlenty;
    extract_keywords(kp, text, t);
    const std::int64_t allocations = kPlenty - g_allocations_left.load();
    g_allocations_left = -1;
    std::int64_t absorbed = 0;
    for (std::int64_t k = 0; k < allocations; ++k) {
      std::optional<std::vector<KeywordMatch>> got;
      g_allocations_left = k;
      try {
        got = extract_keywords(kp, text, t);
      } catch (const std::bad_alloc&) {
      }
      g_allocations_left = -1;
      if (!got) continue;
      ++absorbed;
      CHECK(same_scans({*got}, {want}));
    }
    CHECK(absorbed > 0);
    std::printf(
        "allocation failure sweep: approximate scan at t = %.1f: %lld points, %lld absorbed\n",
        static_cast<double>(t), static_cast<long long>(allocations),
        static_cast<long long>(absorbed));
  }
}

// The matches handed over in pieces: under allocation failure the scan either
// fails with std::bad_alloc or hands over the whole result, and what it
// handed over before failing is a prefix of that result.
TEST(exact_scans_handing_over_pieces_fail_cleanly_under_allocation_failure) {
  KeywordProcessor kp(false, false);
  make_fixture(kp, Fixture::kBuilt);
  std::string text;
  for (int i = 0; i < 400; ++i)
    text += "new york kw06" + std::to_string(i % 10) + " big istanbul, ";
  const auto want = extract_keywords(kp, text, 1.0f);  // compiles the scan index
  struct Collected {
    std::vector<KeywordMatch> all;
  };
  const MatchSink sink{[](void* context, std::span<const KeywordMatch> piece) {
                         auto& all = static_cast<Collected*>(context)->all;
                         all.insert(all.end(), piece.begin(), piece.end());
                       },
                       nullptr};
  auto run = [&](Collected& got) {
    MatchSink bound = sink;
    bound.context = &got;
    extract_keywords_to(kp, text, 1.0f, bound);
  };
  constexpr std::int64_t kPlenty = std::int64_t{1} << 40;
  {
    Collected warm;  // per-thread scan buffers, made once
    run(warm);
  }
  {
    Collected counted;
    counted.all.reserve(want.size());
    g_allocations_left = kPlenty;
    run(counted);
  }
  const std::int64_t allocations = kPlenty - g_allocations_left.load();
  g_allocations_left = -1;
  CHECK(allocations > 0);
  for (std::int64_t k = 0; k <= allocations; ++k) {
    Collected got;
    got.all.reserve(want.size());
    bool failed = false;
    g_allocations_left = k;
    try {
      run(got);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    g_allocations_left = -1;
    CHECK(failed == (k < allocations));
    CHECK(got.all.size() <= want.size());
    const std::vector<KeywordMatch> prefix(
        want.begin(), want.begin() + static_cast<std::ptrdiff_t>(got.all.size()));
    CHECK(same_scans({got.all}, {prefix}));
    if (!failed) CHECK(same_scans({got.all}, {want}));
  }
  std::printf("allocation failure sweep: exact scan handing over pieces: %lld points\n",
              static_cast<long long>(allocations));
}
