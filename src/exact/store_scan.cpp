// Exact matching with the store's own walk: the scan that needs nothing
// compiled, for the first scans after a change (keyword_processor.hpp says
// when). It follows the definition of exact matching step by step.
#include <array>

#include "exact/scan_index.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill {

std::uint64_t scan_exact_store(const Trie& trie, const WordSet& words, bool allow_overlaps,
                               std::string_view text, bool fold, std::vector<KeywordMatch>& out) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  auto code = [&](std::size_t k) { return fold ? ascii_lower(s[k]) : s[k]; };
  auto word = [&](std::size_t k) { return words.contains(code(k)); };

  // The root's children by byte: the one level where a sibling list is long.
  std::array<NodeId, kByteKeys> first_step;
  first_step.fill(kNoNode);
  for (NodeId c = trie.first_child(Trie::kRoot); c != kNoNode; c = trie.next_sibling(c)) {
    if (trie.key(c) <= kMaxByteKey) first_step[trie.key(c)] = c;
  }
  std::uint64_t work = kByteKeys;

  std::size_t i = 0;
  while (i < n) {
    ++work;
    if (i > 0 && !allow_overlaps && word(i - 1)) {
      ++i;
      continue;
    }
    // The longest keyword along the walk from i; the root's own name (the
    // empty keyword) is never a candidate.
    NodeId node = first_step[code(i)];
    NodeId found = kNoNode;
    std::size_t end = 0;
    for (std::size_t cursor = i + 1; node != kNoNode; ++cursor) {
      ++work;
      if (trie.has_clean_name(node)) {
        found = node;
        end = cursor;
      }
      if (cursor == n) break;
      // The child under the next byte, through the sorted sibling list; each
      // sibling looked at counts as work.
      const std::uint8_t b = code(cursor);
      NodeId c = trie.first_child(node);
      for (; c != kNoNode && trie.key(c) < b; c = trie.next_sibling(c)) ++work;
      node = c != kNoNode && trie.key(c) == b ? c : kNoNode;
    }
    if (found == kNoNode || !(end == n || allow_overlaps || !word(end))) {
      ++i;
      continue;
    }
    out.push_back({trie.clean_name(found), 1.0f, utf8::is_trim(s[i]) ? i + 1 : i, end});
    i = end;
  }
  return work;
}

}  // namespace fernquill
