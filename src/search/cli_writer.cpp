#include "search/cli_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

#include "columns/block_scanner.hpp"
#include "columns/char_offsets.hpp"
#include "keyword_processor/extract.hpp"
#include "text/utf8.hpp"

namespace fernquill::cli {
namespace {

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

// Room for `more` bytes: a huge record grows the output once, to its exact
// size, rather than doubling through copies; many small ones double.
void make_room(std::string& out, std::size_t more) {
  if (out.size() + more > out.capacity()) out.reserve(std::max(out.size() + more, 2 * out.capacity()));
}

// The two ways through a record's JSON line: measuring it, then writing it.
struct Measure {
  std::size_t size = 0;
  void text(std::string_view s) { size += s.size(); }
  void escaped(std::string_view s) { size += json_escaped_size(s); }
  void number(std::uint64_t n) { size += number_size(n); }
  void similarity(float s) { size += similarity_size(s); }
};

struct Write {
  std::string& out;
  void text(std::string_view s) { out += s; }
  void escaped(std::string_view s) { append_json_string_body(out, s); }
  void number(std::uint64_t n) { append_number(out, n); }
  void similarity(float s) { append_similarity(out, s); }
};

class JsonWriter {
  // Records with this many matches at most (most of them) are not measured
  // before they are written: a bound that costs a glance at each match does.
  static constexpr std::size_t kFewMatches = 16;
  // Bytes of a record's line besides its path and matches, and of a match
  // besides its escaped clean name: punctuation, the similarity and three
  // numbers of at most 20 digits.
  static constexpr std::size_t kRecordBytes = 64;
  static constexpr std::size_t kMatchBytes = 64;
  static constexpr std::size_t kEscapedBytesPerByte = 6;  // \u00XX

 public:
  JsonWriter(const Block& block, const WriterOptions& options, std::string& out)
      : block_(block), options_(options), out_(out) {}

  // `ascii`: is_ascii(text).
  void record(std::string_view text, const std::uint64_t* line,
              std::span<const KeywordMatch> matches, const ScanText& scan, bool ascii) {
    // On ASCII text characters are bytes; otherwise a mapped copy.
    const bool mapped = (options_.char_offsets || options_.with_text) && !ascii;
    if (mapped) {
      chars_.assign(matches.begin(), matches.end());
      columns::to_char_offsets(text, scan, chars_);
    }
    const std::span<const KeywordMatch> chars = mapped ? std::span<const KeywordMatch>(chars_) : matches;
    if (matches.size() <= kFewMatches && !options_.with_text) {
      make_room(out_, few_matches_bound(matches));
    } else {  // exactly, so that a huge record's room is reserved once
      Measure measure;
      render(measure, text, line, matches, chars);
      make_room(out_, measure.size);
    }
    Write write{out_};
    render(write, text, line, matches, chars);
  }

  // A long ASCII record (characters are bytes), its matches written a piece
  // at a time as the scan hands them over; whether it had any.
  bool record_streamed(const KeywordProcessor& processor, std::string_view text,
                       const std::uint64_t* line, float threshold) {
    struct Streamed {
      JsonWriter& json;
      std::string_view text;
      const std::uint64_t* line;
      CharToByte bytes_of;
      std::size_t count = 0;
    } state{*this, text, line, CharToByte(text)};
    const MatchSink sink{[](void* s, std::span<const KeywordMatch> piece) {
                           auto& st = *static_cast<Streamed*>(s);
                           Write write{st.json.out_};
                           for (const KeywordMatch& m : piece) {
                             if (st.count == 0) st.json.head(write, st.line);
                             st.json.match(write, st.count++, m, m, st.text, st.bytes_of);
                           }
                         },
                         &state};
    extract_keywords_to(processor, text, threshold, sink, options_.scan);
    if (state.count == 0) return false;
    Write write{out_};
    tail(write);
    return true;
  }

 private:
  template <class Sink>
  void render(Sink& sink, std::string_view text, const std::uint64_t* line,
              std::span<const KeywordMatch> matches, std::span<const KeywordMatch> chars) {
    head(sink, line);
    CharToByte bytes_of(text);
    for (std::size_t i = 0; i < matches.size(); ++i) {
      match(sink, i, matches[i], chars[i], text, bytes_of);
    }
    tail(sink);
  }

  template <class Sink>
  void head(Sink& sink, const std::uint64_t* line) {
    sink.text("{\"path\":");
    sink.text(block_.path_json);
    sink.text(",\"line\":");
    if (line) {
      sink.number(*line);
    } else {
      sink.text("null");
    }
    sink.text(",\"matches\":[");
  }

  // The i-th match of a record; `chars` is its span in characters.
  template <class Sink>
  void match(Sink& sink, std::size_t i, const KeywordMatch& m, const KeywordMatch& chars,
             std::string_view text, CharToByte& bytes_of) {
    const KeywordMatch& shown = options_.char_offsets ? chars : m;
    sink.text(i == 0 ? "[\"" : ",[\"");
    sink.text(names_(m.keyword));
    sink.text("\",");
    sink.similarity(m.similarity);
    sink.text(",");
    sink.number(shown.start);
    sink.text(",");
    sink.number(shown.end);
    if (options_.with_text) {
      // text[start:end] in characters; an inverted span is empty, as in Python.
      const std::size_t from = bytes_of.at(chars.start);
      const std::size_t to = chars.end > chars.start ? bytes_of.at(chars.end) : from;
      sink.text(",\"");
      sink.escaped(text.substr(from, to - from));
      sink.text("\"");
    }
    sink.text("]");
  }

  template <class Sink>
  void tail(Sink& sink) {
    sink.text("]}\n");
  }

  std::size_t few_matches_bound(std::span<const KeywordMatch> matches) const {
    std::size_t bound = block_.path_json.size() + kRecordBytes;
    for (const KeywordMatch& m : matches) {
      bound += kEscapedBytesPerByte * m.keyword.size() + kMatchBytes;
    }
    return bound;
  }

  const Block& block_;
  const WriterOptions& options_;
  std::string& out_;
  std::vector<KeywordMatch> chars_;
  EscapedNames names_;
};

// A record at least this long is scanned with its matches taken a piece at a
// time (counts, replaced text, and JSON of ASCII records), so that one huge
// line with dense matches holds no list of them (tens of bytes per match).
constexpr std::size_t kStreamedRecordBytes = std::size_t{1} << 20;

bool streams(std::string_view text) { return text.size() >= kStreamedRecordBytes; }

// Counts of a long record's matches by name; whether it had any.
bool count_streamed(const KeywordProcessor& processor, std::string_view text, float threshold,
                    const ScanOptions& options, NameCounts& counts) {
  struct Counter {
    NameCounts& counts;
    bool any = false;
  } counter{counts};
  const MatchSink sink{[](void* c, std::span<const KeywordMatch> piece) {
                         auto& self = *static_cast<Counter*>(c);
                         self.any = self.any || !piece.empty();
                         for (const KeywordMatch& m : piece) ++self.counts[m.keyword];
                       },
                       &counter};
  extract_keywords_to(processor, text, threshold, sink, options);
  return counter.any;
}

// A record's text as the --errors policy has it scanned: as it is, with each
// bad sequence read as U+FFFD, or not at all. Repaired texts live until
// release(): the block scanner may hold records back to scan them joined.
class PolicedText {
 public:
  // `checked`: the whole unit is known to be UTF-8.
  PolicedText(Errors errors, bool checked) : errors_(errors), checked_(checked) {}

  // The text to scan, or nothing when the record is left unscanned.
  std::optional<std::string_view> operator()(std::string_view record) {
    if (checked_ || is_ascii(record) || !utf8::find_error(record)) return record;
    if (errors_ == Errors::kSkip) return std::nullopt;
    utf8::append_repaired(repaired_.emplace_back(), record);
    return repaired_.back();
  }
  void release() { repaired_.clear(); }

 private:
  Errors errors_;
  bool checked_;
  std::deque<std::string> repaired_;  // never moved: the scanner views them
};

// Calls take(record) for each record of the unit: the whole unit or its lines.
template <class Take>
void for_each_record(const Block& block, const Unit& unit, bool whole_records, Take&& take) {
  if (whole_records) {
    take(Record{block.data.substr(unit.begin, unit.end - unit.begin), 0, false, false}, nullptr);
  } else {
    for_each_line(block.data, unit, [&](const Record& r) { take(r, &r.line); });
  }
}

// A record waiting for its matches: the block scanner joins short ones and
// hands them back in order.
struct Held {
  Record record;
  bool numbered;  // a line, not a whole file
  const std::uint64_t* line() const { return numbered ? &record.line : nullptr; }
};

// The searcher's loop over a unit: each record policed, then scanned, and
// handed to one of the sink's three calls in record order: on_row(held,
// scanned row), on_skipped(held) for a record left unscanned, and
// on_streamed(held, text) for a long record whose matches the sink takes a
// piece at a time (`streamed(text)` says which).
template <class Streamed, class OnRow, class OnSkipped, class OnStreamed>
void search_records(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                    float threshold, const WriterOptions& options, PolicedText& policed,
                    Streamed&& streamed, OnRow&& on_row, OnSkipped&& on_skipped,
                    OnStreamed&& on_streamed) {
  columns::BlockScanner scanner(processor, threshold, options.scan);
  std::deque<Held> held;
  auto next = [&](auto&& call) {
    call(held.front());
    held.pop_front();
    if (held.empty()) policed.release();
  };
  auto row = [&](const columns::ScannedRow& r) { next([&](const Held& h) { on_row(h, r); }); };
  auto skipped = [&] { next(on_skipped); };
  for_each_record(block, unit, options.whole_records,
                  [&](const Record& record, const std::uint64_t* line) {
                    const Held h{record, line != nullptr};
                    const std::optional<std::string_view> text = policed(record.text);
                    if (text && streams(*text) && streamed(*text)) {
                      scanner.finish(row, skipped);
                      on_streamed(h, *text);
                      return;
                    }
                    held.push_back(h);
                    if (text) {
                      scanner.add(*text, is_ascii(*text), row, skipped);
                    } else {
                      scanner.add_null(skipped);
                    }
                  });
  scanner.finish(row, skipped);
}

void write_matches(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                   float threshold, const WriterOptions& options, PolicedText& policed,
                   UnitOutput& out) {
  JsonWriter json(block, options, out.bytes);
  const bool counting = options.output == Output::kCounts;
  search_records(
      processor, block, unit, threshold, options, policed,
      // JSON of a long record is streamed when characters are bytes.
      [&](std::string_view text) { return counting || is_ascii(text); },
      [&](const Held& h, const columns::ScannedRow& r) {
        if (r.matches.empty()) return;
        ++out.matched;
        if (counting) {
          for (const KeywordMatch& m : r.matches) ++out.counts[m.keyword];
        } else {
          json.record(r.row, h.line(), r.matches, r.scan, r.ascii);
        }
      },
      [](const Held&) {},
      [&](const Held& h, std::string_view text) {
        out.matched += counting
                           ? count_streamed(processor, text, threshold, options.scan, out.counts)
                           : json.record_streamed(processor, text, h.line(), threshold);
      });
}

void write_replaced(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                    float threshold, const WriterOptions& options, PolicedText& policed,
                    UnitOutput& out) {
  std::string& bytes = out.bytes;
  std::vector<Replacement> pieces;
  auto line_end = [&](const Held& h) {
    if (h.record.carriage_return) bytes += '\r';
    if (h.record.line_feed) bytes += '\n';
  };
  search_records(
      processor, block, unit, threshold, options, policed, [](std::string_view) { return true; },
      [&](const Held& h, const columns::ScannedRow& r) {
        // One scan gives both the spans and whether anything matched: an
        // approximate match can replace nothing (an inverted span) and still
        // count as one.
        replacements_of(r.row, r.scan, r.matches, pieces);
        // The record's exact size (and its line end), so that many small
        // records grow the room by doubling and a big one is written once.
        make_room(bytes, replaced_size(r.row, pieces) + 2);
        append_replaced(bytes, r.row, pieces);
        out.matched += !r.matches.empty();
        line_end(h);
      },
      [&](const Held& h) {  // left as it was read
        bytes += h.record.text;
        line_end(h);
      },
      [&](const Held& h, std::string_view text) {
        make_room(bytes, text.size() + 2);  // a guess; more grows by doubling
        out.matched += append_replacing(processor, text, threshold, bytes, options.scan) != 0;
        line_end(h);
      });
}

}  // namespace

Plan plan_units(std::span<Block> blocks, bool whole_records, std::size_t unit_bytes) {
  Plan plan;
  std::uint64_t line = 1;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const std::string_view data = blocks[b].data;
    if (blocks[b].first_line == 0) {
      blocks[b].first_line = line;
    } else {
      line = blocks[b].first_line;
    }
    if (data.empty()) continue;
    if (whole_records) {
      plan.units.push_back({b, 0, data.size(), blocks[b].first_line});
      continue;
    }
    for (std::size_t begin = 0; begin < data.size();) {
      std::size_t end = std::min(data.size(), begin + std::max<std::size_t>(unit_bytes, 1));
      if (end < data.size()) {  // on to the end of the line the cut falls in
        const void* nl = std::memchr(data.data() + end - 1, '\n', data.size() - (end - 1));
        end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data.data()) + 1
                 : data.size();
      }
      plan.units.push_back({b, begin, end, line});
      line += static_cast<std::uint64_t>(std::count(data.begin() + begin, data.begin() + end, '\n'));
      begin = end;
    }
    line += data.back() != '\n';  // only the end of a file lacks it
  }
  plan.next_line = line;
  return plan;
}

void write_unit(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                float threshold, const WriterOptions& options, UnitOutput& out) {
  // Units end at line feeds, so bad sequences never span two of them.
  const std::string_view bytes = block.data.substr(unit.begin, unit.end - unit.begin);
  const std::optional<utf8::Error> error =
      is_ascii(bytes) ? std::nullopt : utf8::find_error(bytes);
  if (error && options.errors == Errors::kStrict) {
    out.bad_line = unit.first_line + static_cast<std::uint64_t>(std::count(
                                         bytes.begin(), bytes.begin() + error->valid_up_to, '\n'));
    return;
  }
  PolicedText policed(options.errors, !error);
  if (options.output == Output::kReplaced) {
    write_replaced(processor, block, unit, threshold, options, policed, out);
  } else {
    write_matches(processor, block, unit, threshold, options, policed, out);
  }
}

}  // namespace fernquill::cli
