#include "tools_native/cli_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"
#include "tools_native/char_offsets.hpp"

namespace fernquill::cli {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// A byte escaped in JSON takes at most six ("\u001f"); a number at most 20 digits.
constexpr std::size_t kMaxEscape = 6;
constexpr std::size_t kMaxDigits = 20;

// One record of a unit: its text without line end, and how the line ended.
struct Record {
  std::string_view text;
  std::uint64_t line;
  bool carriage_return;  // the line ended in CR LF (or in a CR at the end of the file)
  bool line_feed;
};

// Calls on_record(record) for each line of the unit, in order.
template <class OnRecord>
void for_each_line(std::string_view data, const Unit& unit, OnRecord&& on_record) {
  std::size_t pos = unit.begin;
  std::uint64_t line = unit.first_line;
  while (pos < unit.end) {
    const void* nl = std::memchr(data.data() + pos, '\n', unit.end - pos);
    const std::size_t stop = nl ? static_cast<const char*>(nl) - data.data() : unit.end;
    std::string_view text = data.substr(pos, stop - pos);
    const bool cr = !text.empty() && text.back() == '\r';
    if (cr) text.remove_suffix(1);
    on_record(Record{text, line, cr, nl != nullptr});
    pos = stop + (nl != nullptr);
    ++line;
  }
}

// Byte offsets of character indices of one text, for indices asked mostly in
// ascending order (a smaller one starts the walk again).
class CharToByte {
 public:
  explicit CharToByte(std::string_view text) : text_(text) {}
  std::size_t at(std::size_t index) {
    if (index < chars_) byte_ = chars_ = 0;
    while (chars_ < index && byte_ < text_.size()) {
      ++byte_;
      while (byte_ < text_.size() && utf8::is_continuation(text_[byte_])) ++byte_;
      ++chars_;
    }
    return byte_;
  }

 private:
  std::string_view text_;
  std::size_t byte_ = 0, chars_ = 0;
};

void append_number(std::string& out, std::uint64_t n) {
  char digits[20];
  int len = 0;
  do {
    digits[len++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (len > 0) out.push_back(digits[--len]);
}

// Scans records one after another, keeping the scan text's room.
class RecordScanner {
 public:
  RecordScanner(const KeywordProcessor& processor, float threshold, const ScanOptions& options)
      : processor_(processor), threshold_(threshold), options_(options) {}

  const std::vector<KeywordMatch>& scan(std::string_view text) {
    scan_.bytes = {};
    scan_.fold = false;
    scan_.folded.clear();
    scan_.lengths_changed = false;
    make_scan_text(processor_, text, threshold_ == 1.0f, scan_);
    matches_ = scan_text(processor_, scan_, threshold_, options_);
    return matches_;
  }
  const ScanText& last_scan() const { return scan_; }

 private:
  const KeywordProcessor& processor_;
  float threshold_;
  const ScanOptions& options_;
  ScanText scan_;
  std::vector<KeywordMatch> matches_;
};

class JsonWriter {
 public:
  JsonWriter(const Block& block, const WriterOptions& options, std::string& out)
      : block_(block), options_(options), out_(out) {}

  void record(std::string_view text, const std::uint64_t* line,
              const std::vector<KeywordMatch>& matches, const ScanText& scan) {
    // On ASCII text characters are bytes; otherwise a mapped copy.
    const bool mapped = (options_.char_offsets || options_.with_text) && !is_ascii(text);
    if (mapped) {
      chars_.assign(matches.begin(), matches.end());
      to_char_offsets(text, scan, chars_);
    }
    const std::vector<KeywordMatch>& chars = mapped ? chars_ : matches;
    reserve_for(matches);
    out_ += "{\"path\":";
    out_ += block_.path_json;
    out_ += ",\"line\":";
    if (line) {
      append_number(out_, *line);
    } else {
      out_ += "null";
    }
    out_ += ",\"matches\":[";
    CharToByte bytes_of(text);
    for (std::size_t i = 0; i < matches.size(); ++i) {
      const KeywordMatch& m = matches[i];
      const KeywordMatch& shown = options_.char_offsets ? chars[i] : m;
      out_ += i == 0 ? "[\"" : ",[\"";
      append_json_string_body(out_, m.keyword);
      out_ += "\",";
      append_similarity(out_, m.similarity);
      out_ += ',';
      append_number(out_, shown.start);
      out_ += ',';
      append_number(out_, shown.end);
      if (options_.with_text) {
        // text[start:end] in characters; an inverted span is empty, as in Python.
        const std::size_t from = bytes_of.at(chars[i].start);
        const std::size_t to = chars[i].end > chars[i].start ? bytes_of.at(chars[i].end) : from;
        out_ += ",\"";
        append_json_string_body(out_, text.substr(from, to - from));
        out_ += '"';
      }
      out_ += ']';
    }
    out_ += "]}\n";
  }

 private:
  // Room for the record's line at most, so that one huge record grows the
  // output once instead of doubling through copies; room never written is
  // never touched.
  void reserve_for(const std::vector<KeywordMatch>& matches) {
    std::size_t most = block_.path_json.size() + 64;
    for (const KeywordMatch& m : matches) {
      most += kMaxEscape * m.keyword.size() + 2 * kMaxDigits + 16;
      if (options_.with_text) most += kMaxEscape * (m.end > m.start ? m.end - m.start : 0) + 8;
    }
    if (options_.with_text) most += kMaxEscape * 2 * matches.size();  // widening to characters
    if (out_.size() + most > out_.capacity()) out_.reserve(std::max(out_.size() + most, 2 * out_.capacity()));
  }

  const Block& block_;
  const WriterOptions& options_;
  std::string& out_;
  std::vector<KeywordMatch> chars_;
};

void write_matches(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                   float threshold, const WriterOptions& options, UnitOutput& out) {
  RecordScanner scanner(processor, threshold, options.scan);
  JsonWriter json(block, options, out.bytes);
  auto take = [&](std::string_view text, const std::uint64_t* line) {
    const std::vector<KeywordMatch>& matches = scanner.scan(text);
    if (matches.empty()) return;
    ++out.matched;
    if (options.output == Output::kCounts) {
      for (const KeywordMatch& m : matches) ++out.counts[m.keyword];
    } else {
      json.record(text, line, matches, scanner.last_scan());
    }
  };
  if (options.whole_records) {
    take(block.data.substr(unit.begin, unit.end - unit.begin), nullptr);
  } else {
    for_each_line(block.data, unit, [&](const Record& r) { take(r.text, &r.line); });
  }
}

void write_replaced(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                    float threshold, const WriterOptions& options, UnitOutput& out) {
  std::string& bytes = out.bytes;
  auto take = [&](std::string_view text) {
    const std::vector<Replacement> found = replacements(processor, text, threshold, options.scan);
    // The record's exact size (and its line end), so that one huge record is
    // written once; many small ones grow the room by doubling.
    std::size_t size = text.size() + 2;
    for (const Replacement& r : found) size += r.name.size() - (r.to - r.from);
    if (bytes.size() + size > bytes.capacity()) {
      bytes.reserve(std::max(bytes.size() + size, 2 * bytes.capacity()));
    }
    if (!found.empty()) {
      ++out.matched;
    } else if (out.matched == 0 && threshold < 1.0f) {
      // An approximate match can replace nothing (an inverted span) and still
      // count as one.
      out.matched += !extract_keywords(processor, text, threshold, options.scan).empty();
    }
    std::size_t kept = 0;
    for (const Replacement& r : found) {
      bytes.append(text.substr(kept, r.from - kept));
      bytes.append(r.name);
      kept = r.to;
    }
    bytes.append(text.substr(kept));
  };
  if (options.whole_records) {
    take(block.data.substr(unit.begin, unit.end - unit.begin));
    return;
  }
  for_each_line(block.data, unit, [&](const Record& r) {
    take(r.text);
    if (r.carriage_return) bytes += '\r';
    if (r.line_feed) bytes += '\n';
  });
}

}  // namespace

std::vector<Unit> plan_units(std::span<const Block> blocks, bool whole_records,
                             std::size_t unit_bytes) {
  std::vector<Unit> units;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const std::string_view data = blocks[b].data;
    if (data.empty()) continue;
    if (whole_records) {
      units.push_back({b, 0, data.size(), blocks[b].first_line});
      continue;
    }
    std::uint64_t line = blocks[b].first_line;
    for (std::size_t begin = 0; begin < data.size();) {
      std::size_t end = std::min(data.size(), begin + std::max<std::size_t>(unit_bytes, 1));
      if (end < data.size()) {  // on to the end of the line the cut falls in
        const void* nl = std::memchr(data.data() + end - 1, '\n', data.size() - (end - 1));
        end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data.data()) + 1
                 : data.size();
      }
      units.push_back({b, begin, end, line});
      line += static_cast<std::uint64_t>(std::count(data.begin() + begin, data.begin() + end, '\n'));
      begin = end;
    }
  }
  return units;
}

void write_unit(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                float threshold, const WriterOptions& options, UnitOutput& out) {
  if (options.output == Output::kReplaced) {
    write_replaced(processor, block, unit, threshold, options, out);
  } else {
    write_matches(processor, block, unit, threshold, options, out);
  }
}

void append_similarity(std::string& out, float similarity) {
  // The engine keeps two decimals; Python shows the shortest form of the
  // nearest double: 1.0, 0.5, 0.67, 0.05.
  const long hundredths = std::lround(static_cast<double>(similarity) * 100.0);
  if (hundredths >= 100) {
    out += "1.0";
    return;
  }
  const long h = std::max(0L, hundredths);
  out += "0.";
  out += static_cast<char>('0' + h / 10);
  if (h % 10 != 0) out += static_cast<char>('0' + h % 10);
}

void append_json_string_body(std::string& out, std::string_view text) {
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 0xF];
    }
  }
  out.append(text.substr(plain));
}

}  // namespace fernquill::cli
