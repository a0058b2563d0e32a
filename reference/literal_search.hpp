// A literal extraction used as the reference in tests and as the baseline in
// the engine benchmark: the exact walk and the approximate edit search run
// straight over the Trie, one position at a time, without any pruning.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exact/keyword_match.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "support/fault.hpp"
#include "text/lowercase.hpp"
#include "trie/trie.hpp"

namespace oracle {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;
using fernquill::kNoNode;
using fernquill::NodeId;
using fernquill::Trie;

struct Stats {
  std::uint64_t states = 0;  // approximate search states taken off the stack
};

inline std::vector<KeywordMatch> extract(const KeywordProcessor& kp, std::string_view text,
                                         std::optional<float> threshold, Stats* stats = nullptr) {
  float t = threshold ? *threshold : 1.0f;
  if (t < 0.0f || t > 1.0f || std::isnan(t))
    throw fernquill::Fault("Threshold must be between 0 and 1");
  std::vector<KeywordMatch> out;
  std::string scan(text);
  if (!kp.case_sensitive()) scan = fernquill::lower_utf8(text);
  const std::size_t n = scan.size();
  if (n == 0) return out;
  const Trie& trie = kp.trie();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(scan[k]); };
  auto word = [&](std::size_t k) { return kp.word_set().contains(byte(k)); };
  auto trim = [&](std::size_t k) {
    unsigned char b = byte(k);
    return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20;
  };
  struct State {
    NodeId node;
    std::size_t c;
    std::int64_t e;
  };
  std::vector<State> stack;
  std::size_t i = 0;
  while (i < n) {
    if (i != 0 && !kp.allow_overlaps() && word(i - 1)) {
      ++i;
      continue;
    }
    NodeId found = kNoNode;
    std::size_t consumed = 0;
    float sim = 1.0f;
    std::size_t end = 0, resume = 0;
    bool pass = false;
    if (t == 1.0f) {
      NodeId node = Trie::kRoot;
      std::size_t cursor = i;
      while (true) {
        if (!trie.has_children(node)) break;
        unsigned char b = byte(cursor);
        ++cursor;
        NodeId ch = trie.child(node, b);
        if (ch == kNoNode) break;
        node = ch;
        if (trie.has_clean_name(node)) {
          found = node;
          consumed = cursor - i;
        }
        if (cursor == n) break;
      }
      if (found == kNoNode) {
        ++i;
        continue;
      }
      end = i + consumed;
      pass = end == n || kp.allow_overlaps() || !word(end);
      resume = end;
    } else {
      float best = 0.0f;
      const std::size_t r = n - i;
      stack.clear();
      stack.push_back({Trie::kRoot, 0, 0});
      while (!stack.empty()) {
        State s = stack.back();
        stack.pop_back();
        if (stats) ++stats->states;
        // States that consumed nothing are never candidates.
        if (trie.has_clean_name(s.node) && s.c > 0) {
          std::size_t d = std::max(s.c, trie.clean_name(s.node).size());
          float v = 1.0f - static_cast<float>(s.e) / static_cast<float>(d);
          if (v >= t && v > best) {
            best = v;
            found = s.node;
            consumed = s.c;
          }
        }
        if (s.c >= r) continue;
        unsigned char x = byte(i + s.c);
        NodeId ch = trie.child(s.node, x);
        if (ch != kNoNode) stack.push_back({ch, s.c + 1, s.e});
        float s2 = 1.0f - static_cast<float>(s.e) / static_cast<float>(s.c + 1);
        if (s2 < t) continue;
        stack.push_back({s.node, s.c + 1, s.e + 1});
        for (NodeId k = trie.first_child(s.node); k != kNoNode; k = trie.next_sibling(k)) {
          // A key above 255 equals no text byte: nodes under it never match.
          if (trie.key(k) > 0xFF) continue;
          if (trie.key(k) != x) stack.push_back({k, s.c + 1, s.e + 1});
          stack.push_back({k, s.c, s.e + 1});
        }
      }
      if (found == kNoNode) {
        ++i;
        continue;
      }
      sim = best;
      std::size_t e_pos = i + consumed;
      end = trim(e_pos - 1) ? e_pos - 1 : e_pos;
      pass = end == n || kp.allow_overlaps();
      for (std::size_t k = end; k < end + 3 && k < n; ++k) {
        if (!word(k)) pass = true;
      }
      resume = e_pos;
    }
    if (!pass) {
      ++i;
      continue;
    }
    float rounded = std::round(sim * 100.0f) / 100.0f;
    out.push_back({trie.clean_name(found), rounded, trim(i) ? i + 1 : i, end});
    i = resume;
  }
  return out;
}

// Equal field by field, the similarity compared bit for bit.
inline bool same(const std::vector<fernquill::KeywordMatch>& a,
                 const std::vector<fernquill::KeywordMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].keyword != b[k].keyword || a[k].start != b[k].start || a[k].end != b[k].end ||
        std::bit_cast<std::uint32_t>(a[k].similarity) !=
            std::bit_cast<std::uint32_t>(b[k].similarity)) {
      return false;
    }
  }
  return true;
}

}  // namespace oracle
