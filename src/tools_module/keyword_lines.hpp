// Keyword files of one entry per line (TSV, plain lists) read over UTF-8
// bytes, with the rules of fernquill_tools.keywords: lines end at a line feed
// (a CR before it is dropped), blank lines and comment lines ("#" alone, or
// "#" and a space or a tab) are skipped, and the first malformed line stops
// the read with its number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernquill::keyword_files {

struct Entry {
  std::string_view keyword;
  std::optional<std::string_view> clean_name;  // absent, or given empty: none
};

struct Malformed {
  std::uint64_t line;  // 1-based
  std::string message;
};

struct Lines {
  std::vector<Entry> entries;        // views into the content
  std::optional<Malformed> failure;  // set: `entries` is incomplete
};

// The entries of `content`; with `tabs`, a line is keyword<TAB>clean name,
// else the whole line is the keyword.
Lines read_lines(std::string_view content, bool tabs);

}  // namespace fernquill::keyword_files
