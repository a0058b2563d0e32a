// A literal extraction with scan options, the reference for the option
// scans: the text is decoded into characters up front, and every position
// walks the trie and lists every keyword along the walk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exact/scan_options.hpp"
#include "literal_search.hpp"
#include "text/word_chars.hpp"

namespace oracle {

// The character classes of a scan text: for every byte offset, whether a
// character starts there, whether the character that starts there is a word
// character, and whether the one that ends there is.
struct CharClasses {
  std::vector<bool> boundary, word_from, word_until;
};

inline CharClasses classify(const KeywordProcessor& kp, std::string_view s) {
  const std::size_t n = s.size();
  CharClasses c{std::vector<bool>(n + 1, false), std::vector<bool>(n + 1, false),
                std::vector<bool>(n + 1, false)};
  c.boundary[n] = true;
  std::size_t k = 0;
  while (k < n) {
    const auto lead = static_cast<unsigned char>(s[k]);
    std::size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (k + len > n) len = 1;
    std::uint32_t cp = len == 1 ? lead : lead & (0xFFu >> (len + 1));
    for (std::size_t j = 1; j < len; ++j) cp = (cp << 6) | (static_cast<unsigned char>(s[k + j]) & 0x3F);
    const bool valid = !(lead >= 0x80 && len == 1);
    const bool word = valid && (fernquill::is_unicode_word_char(cp) || kp.word_set().contains(cp));
    c.boundary[k] = true;
    c.word_from[k] = word;
    c.word_until[k + len] = word;
    k += len;
  }
  return c;
}

inline std::vector<KeywordMatch> extract_with(const KeywordProcessor& kp, std::string_view text,
                                              std::optional<float> threshold,
                                              const fernquill::ScanOptions& options) {
  std::vector<KeywordMatch> out = extract(kp, text, threshold);
  if (options.is_default() || kp.allow_overlaps()) return out;
  const std::string scan = kp.case_sensitive() ? std::string(text) : fernquill::lower_utf8(text);
  const std::size_t n = scan.size();
  const CharClasses chars = classify(kp, scan);
  auto byte_word = [&](std::size_t k) {
    return kp.word_set().contains(static_cast<unsigned char>(scan[k]));
  };
  auto start_ok = [&](std::size_t i) {
    if (i == 0) return true;
    return options.unicode_words ? chars.boundary[i] && !chars.word_until[i] : !byte_word(i - 1);
  };
  auto end_ok = [&](std::size_t e) {
    if (e == n) return true;
    return options.unicode_words ? chars.boundary[e] && !chars.word_from[e] : !byte_word(e);
  };
  if (threshold.value_or(1.0f) != 1.0f) {
    // Approximate: the module's matches, held to the character tests.
    if (!options.unicode_words) return out;
    std::vector<KeywordMatch> kept;
    for (const KeywordMatch& m : out) {
      if (m.start > m.end || (start_ok(m.start) && end_ok(m.end))) kept.push_back(m);
    }
    return kept;
  }
  out.clear();
  const Trie& trie = kp.trie();
  std::size_t i = 0;
  while (i < n) {
    if (!start_ok(i)) {
      ++i;
      continue;
    }
    // Every keyword that begins at i, shortest first.
    std::vector<std::pair<NodeId, std::size_t>> along;
    NodeId node = Trie::kRoot;
    for (std::size_t k = i; k < n; ++k) {
      node = trie.child(node, static_cast<unsigned char>(scan[k]));
      if (node == kNoNode) break;
      if (trie.has_clean_name(node)) along.push_back({node, k + 1});
    }
    std::optional<std::pair<NodeId, std::size_t>> taken;
    for (auto it = along.rbegin(); it != along.rend(); ++it) {
      if (end_ok(it->second)) {
        taken = *it;
        break;
      }
      if (!options.whole_word_fallback) break;
    }
    if (!taken) {
      ++i;
      continue;
    }
    const auto b = static_cast<unsigned char>(scan[i]);
    const bool trim = b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20;
    out.push_back({trie.clean_name(taken->first), 1.0f, trim ? i + 1 : i, taken->second});
    i = taken->second;
  }
  return out;
}

}  // namespace oracle
