#include "keyword_processor/extract.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "keyword_processor/lowercase.hpp"
#include "keyword_processor/scan_index.hpp"
#include "support/fault.hpp"

namespace fernquill {
namespace {

bool is_trim(unsigned char b) { return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20; }

float round2(float v) { return std::round(v * 100.0f) / 100.0f; }

struct Candidate {
  NodeId node = kNoNode;
  std::size_t consumed = 0;
  float similarity = 0.0f;
};

Candidate exact_walk(const Trie& trie, std::string_view s, std::size_t i) {
  Candidate best;
  NodeId node = Trie::kRoot;
  std::size_t cursor = i;
  while (trie.has_children(node) && cursor < s.size()) {
    node = trie.child(node, static_cast<unsigned char>(s[cursor++]));
    if (node == kNoNode) break;
    if (trie.has_clean_name(node)) {
      best.node = node;
      best.consumed = cursor - i;
    }
  }
  best.similarity = 1.0f;
  return best;
}

struct State {
  NodeId node;
  std::size_t consumed;
  std::int64_t edits;
};

Candidate approx_search(const Trie& trie, std::string_view s, std::size_t i, float t,
                        std::vector<State>& stack, std::vector<NodeId>& order) {
  Candidate best;
  const std::size_t remaining = s.size() - i;
  stack.clear();
  stack.push_back({Trie::kRoot, 0, 0});
  while (!stack.empty()) {
    State st = stack.back();
    stack.pop_back();
    // A state that consumed no text never becomes the candidate: it would end
    // before it starts and resume where it began.
    if (st.consumed > 0 && trie.has_clean_name(st.node)) {
      std::size_t d = std::max(st.consumed, trie.clean_name(st.node).size());
      float sim = 1.0f - static_cast<float>(st.edits) / static_cast<float>(d);
      if (sim >= t && sim > best.similarity) {
        best.similarity = sim;
        best.node = st.node;
        best.consumed = st.consumed;
      }
    }
    if (st.consumed >= remaining) continue;
    std::uint32_t x = static_cast<unsigned char>(s[i + st.consumed]);
    NodeId exact = trie.child(st.node, x);
    if (exact != kNoNode) stack.push_back({exact, st.consumed + 1, st.edits});
    float s2 = 1.0f - static_cast<float>(st.edits) / static_cast<float>(st.consumed + 1);
    if (s2 < t) continue;
    stack.push_back({st.node, st.consumed + 1, st.edits + 1});
    for (NodeId c = trie.first_child(st.node); c != kNoNode; c = trie.next_sibling(c)) {
      if (trie.key(c) != x) stack.push_back({c, st.consumed + 1, st.edits + 1});
      stack.push_back({c, st.consumed, st.edits + 1});
    }
  }
  (void)order;
  return best;
}

}  // namespace

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) throw Fault("Threshold must be between 0 and 1");
  std::vector<KeywordMatch> out;
  if (text.empty()) return out;
  const ScanIndex& index = processor.scan_index();
  const auto& word = index.word_byte();
  const Trie& trie = processor.trie();
  const bool overlaps = processor.allow_overlaps();

  std::string folded;
  std::string_view s = text;
  if (!processor.case_sensitive()) {
    lower_utf8(text, folded);
    s = folded;
  }
  const std::size_t n = s.size();
  const bool exact = (t == 1.0f);
  std::vector<State> stack;
  std::vector<NodeId> order;
  std::size_t i = 0;
  while (i < n) {
    if (i > 0 && !overlaps && word[static_cast<unsigned char>(s[i - 1])]) {
      ++i;
      continue;
    }
    Candidate cand = exact ? exact_walk(trie, s, i) : approx_search(trie, s, i, t, stack, order);
    if (cand.node == kNoNode) {
      ++i;
      continue;
    }
    std::size_t stop = i + cand.consumed;
    std::size_t end = stop;
    bool pass;
    if (exact) {
      pass = end == n || overlaps || !word[static_cast<unsigned char>(s[end])];
    } else {
      if (is_trim(static_cast<unsigned char>(s[stop - 1]))) end = stop - 1;
      pass = end == n || overlaps;
      for (std::size_t k = end; !pass && k < end + 3 && k < n; ++k) {
        if (!word[static_cast<unsigned char>(s[k])]) pass = true;
      }
    }
    if (!pass) {
      ++i;
      continue;
    }
    std::size_t start = is_trim(static_cast<unsigned char>(s[i])) ? i + 1 : i;
    out.push_back({trie.clean_name(cand.node), round2(cand.similarity), start, end});
    i = stop;
  }
  return out;
}

}  // namespace fernquill
