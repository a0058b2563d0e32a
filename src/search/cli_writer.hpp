// The command line's inner loop: records split from blocks of input, scanned,
// and written as JSON Lines, counts or replaced text. Plain C++ over bytes;
// fernquill_tools.cli keeps the files, the policies and the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "keyword_processor/keyword_processor.hpp"
#include "exact/scan_options.hpp"

namespace fernquill::cli {

enum class Output { kJsonLines, kCounts, kReplaced };

// What the command asked for. New scan options go into `scan`.
struct WriterOptions {
  Output output = Output::kJsonLines;
  bool char_offsets = true;    // str indices of the record, else bytes of the scan text
  bool with_text = false;      // each match also carries the record's text it covers
  bool whole_records = false;  // a block is one record, not lines
  ScanOptions scan;
};

// A batch of one file: whole lines of valid UTF-8 (the last may lack its line
// feed at the end of the file), or a whole file.
struct Block {
  std::string_view data;
  std::string_view path_json;  // the file name as a JSON string, quotes included
  std::uint64_t first_line = 1;
};

// Lines [begin, end) of a block's data, a share of work for one worker.
struct Unit {
  std::size_t block;
  std::size_t begin, end;
  std::uint64_t first_line;
};

// Bytes of input per unit: small enough that both workers stay busy to the
// end of a batch (the last unit runs alone while the other worker waits for
// the next batch), large enough that handing a unit over costs nothing.
inline constexpr std::size_t kUnitBytes = std::size_t{64} << 10;

// Consecutive units covering every line of every block; a unit never spans two
// blocks, and an empty block gives none.
std::vector<Unit> plan_units(std::span<const Block> blocks, bool whole_records,
                             std::size_t unit_bytes = kUnitBytes);

using NameCounts = std::unordered_map<std::string_view, std::uint64_t>;

struct UnitOutput {
  std::string bytes;          // JSON Lines or replaced text
  NameCounts counts;          // with Output::kCounts; names view the store
  std::uint64_t matched = 0;  // records with at least one match
};

// A block that is not valid UTF-8: the caller checks its input, so this only
// keeps a wrong call harmless.
struct InvalidBlock : std::runtime_error {
  InvalidBlock() : std::runtime_error("a block is not valid UTF-8") {}
};

// Checks the unit's bytes as UTF-8 (InvalidBlock), scans its records with a
// checked threshold and writes its output. Only reads the processor: units
// may run on many threads at once.
void write_unit(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                float threshold, const WriterOptions& options, UnitOutput& out);

// A similarity as Python prints round(similarity, 2): "1.0", "0.5", "0.67".
void append_similarity(std::string& out, float similarity);
// The number of characters append_similarity writes.
std::size_t similarity_size(float similarity);
// `text` as the body of a JSON string, escaped as json.dumps(ensure_ascii=False) does.
void append_json_string_body(std::string& out, std::string_view text);

}  // namespace fernquill::cli
