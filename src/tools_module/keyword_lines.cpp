#include "tools_module/keyword_lines.hpp"

#include <algorithm>

namespace fernquill::keyword_files {
namespace {

bool is_blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// "#" alone or "#" and a blank: "#MeToo" and "#1" stay keywords.
bool is_comment(std::string_view line) {
  return !line.empty() && line[0] == '#' && (line.size() == 1 || line[1] == ' ' || line[1] == '\t');
}

std::optional<Malformed> take_line(std::string_view line, std::uint64_t number, bool tabs,
                                   std::vector<Entry>& entries) {
  Entry entry{line, std::nullopt};
  if (tabs) {
    const std::size_t fields =
        1 + static_cast<std::size_t>(std::count(line.begin(), line.end(), '\t'));
    if (fields > 2) {
      return Malformed{
          number, "expected keyword[<TAB>clean name], got " + std::to_string(fields) + " fields"};
    }
    const std::size_t tab = line.find('\t');
    if (tab != std::string_view::npos) {
      entry.keyword = line.substr(0, tab);
      if (tab + 1 < line.size()) entry.clean_name = line.substr(tab + 1);
    }
  }
  if (entry.keyword.empty()) return Malformed{number, "empty keyword"};
  entries.push_back(entry);
  return std::nullopt;
}

}  // namespace

Lines read_lines(std::string_view content, bool tabs) {
  Lines out;
  std::uint64_t number = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {  // no line after a final line feed
    const std::size_t nl = content.find('\n', pos);
    const std::size_t stop = nl == std::string_view::npos ? content.size() : nl;
    std::string_view line = content.substr(pos, stop - pos);
    pos = nl == std::string_view::npos ? content.size() : nl + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (is_blank(line) || is_comment(line)) continue;
    out.failure = take_line(line, number, tabs, out.entries);
    if (out.failure) break;
  }
  return out;
}

}  // namespace fernquill::keyword_files
