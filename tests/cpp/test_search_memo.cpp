// The search memo against a plain list of the windows it was given: random
// prefix-free windows under a few anchors (short ones, long ones sharing
// their first eight bytes), looked up in texts that begin with them, with
// them cut short, or with anything else.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "approx/search_memo.hpp"
#include "check.hpp"

namespace {

using fernquill::SearchMemo;

struct Kept {
  std::uint32_t anchor;
  std::string window;
  int result;
};

bool prefix_related(const std::string& a, const std::string& b) {
  const std::size_t k = std::min(a.size(), b.size());
  return a.compare(0, k, b, 0, k) == 0;
}

// What the memo must answer: the kept window under the anchor that the text
// begins with, if it is shorter than the bytes available.
const Kept* literal_find(const std::vector<Kept>& kept, std::uint32_t anchor,
                         const std::string& text, std::size_t avail) {
  for (const Kept& k : kept) {
    if (k.anchor == anchor && k.window.size() < avail &&
        text.compare(0, k.window.size(), k.window) == 0) {
      return &k;
    }
  }
  return nullptr;
}

std::string random_bytes(std::mt19937_64& rng, std::size_t len, const std::string& alphabet) {
  std::string s;
  for (std::size_t k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
  return s;
}

TEST(search_memo_answers_as_the_literal_list_of_windows) {
  std::mt19937_64 rng(7);
  const std::string alphabet = "ab\xC3";
  std::size_t recalled[2] = {}, forgotten[2] = {};
  for (int round = 0; round < 200; ++round) {
    // A small budget in some rounds: the windows given after it is spent
    // are not kept.
    const bool small = round % 4 == 0;
    const std::size_t budget = small ? 26 * 1024 : std::size_t{1} << 24;
    SearchMemo<int> memo(budget);
    // Few anchors (many windows each) or many (the per-anchor table grows).
    const std::uint64_t anchors = round % 2 == 0 ? 3 : 5000;
    // Some rounds keep thousands of windows: the table grows several times,
    // and windows whose slots carry the same tag share probe sequences.
    const int windows = round % 25 == 1 ? 3000 : 300;
    std::vector<Kept> given, kept;
    const std::string shared_head = random_bytes(rng, 8, alphabet);
    for (int k = 0; k < windows; ++k) {
      const auto anchor = static_cast<std::uint32_t>(rng() % anchors * 2654435761u);
      std::size_t len = 1 + rng() % 20;
      if (rng() % 8 == 0) len = SearchMemo<int>::kMaxWindow + rng() % 3;
      std::string window = random_bytes(rng, len, alphabet);
      if (len > 8 && rng() % 2 == 0) window.replace(0, 8, shared_head);
      bool clash = false;
      for (const Kept& g : given) clash |= g.anchor == anchor && prefix_related(g.window, window);
      if (clash) continue;  // a search's windows never are prefixes of each other
      given.push_back({anchor, window, k});
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(window.data());
      memo.insert(anchor, bytes, window.size(), k);
      if (window.size() <= SearchMemo<int>::kMaxWindow) kept.push_back(given.back());
    }
    for (int q = 0; q < 2000; ++q) {
      auto anchor = static_cast<std::uint32_t>(rng() % anchors * 2654435761u);
      std::string text;
      if (!given.empty() && rng() % 3 != 0) {
        const Kept& g = given[rng() % given.size()];
        text = g.window;
        if (rng() % 2 == 0) anchor = g.anchor;
      }
      text += random_bytes(rng, rng() % 12, alphabet);
      const std::size_t avail = rng() % 4 == 0 ? rng() % (text.size() + 1) : text.size();
      const int* got = memo.find(anchor, reinterpret_cast<const std::uint8_t*>(text.data()), avail);
      const Kept* want = literal_find(kept, anchor, text, avail);
      if (!small) {
        CHECK((got == nullptr) == (want == nullptr));
      } else if (got != nullptr) {
        CHECK(want != nullptr);
      }
      if (got != nullptr && want != nullptr) CHECK_EQ(*got, want->result);
      recalled[small] += got != nullptr;
      forgotten[small] += got == nullptr && want != nullptr;
    }
    CHECK(memo.memory_bytes() <= budget);
  }
  CHECK(recalled[false] > 0 && recalled[true] > 0);
  CHECK_EQ(forgotten[false], std::size_t{0});
  CHECK(forgotten[true] > 0);
}

}  // namespace
