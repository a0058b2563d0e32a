// The command line's searcher: records cut from blocks of input, counted,
// checked as UTF-8 once, scanned, and each record's matches pushed to a sink
// that writes JSON Lines, counts or replaced text. Plain C++ over bytes;
// fernquill_tools.cli keeps the files, the policies and the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exact/scan_options.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "search/cli_json.hpp"

namespace fernquill::cli {

enum class Output { kJsonLines, kCounts, kReplaced };

// What becomes of a record that is not UTF-8: its file stops with an error
// (strict), each bad sequence reads as U+FFFD (replace), or it is left
// unscanned, and replaced output gives it back as it was (skip).
enum class Errors { kStrict, kReplace, kSkip };

// What the command asked for. New scan options go into `scan`.
struct WriterOptions {
  Output output = Output::kJsonLines;
  bool char_offsets = true;    // str indices of the record, else bytes of the scan text
  bool with_text = false;      // each match also carries the record's text it covers
  bool whole_records = false;  // a block is one record, not lines
  Errors errors = Errors::kStrict;
  ScanOptions scan;
};

// A batch of one file: whole lines (the last may lack its line feed at the
// end of the file), or a whole file.
struct Block {
  std::string_view data;
  std::string_view path_json;  // the file name as a JSON string, quotes included
  // The number of its first line; 0: the block goes on from the block before
  // it, of the same file, and plan_units numbers it.
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

struct Plan {
  std::vector<Unit> units;
  std::uint64_t next_line = 1;  // the number of the line after the last block
};

// Consecutive units covering every line of every block; a unit never spans two
// blocks, and an empty block gives none. Numbers the blocks that go on from
// the one before.
Plan plan_units(std::span<Block> blocks, bool whole_records, std::size_t unit_bytes = kUnitBytes);

struct UnitOutput {
  std::string bytes;          // JSON Lines or replaced text
  NameCounts counts;          // with Output::kCounts; names view the store
  std::uint64_t matched = 0;  // records with at least one match
  // Under Errors::kStrict, the line of the first byte that is not UTF-8; the
  // unit then has no output.
  std::optional<std::uint64_t> bad_line;
};

// Checks the unit's bytes as UTF-8, scans its records with a checked
// threshold and writes its output. Only reads the processor: units may run
// on many threads at once.
void write_unit(const KeywordProcessor& processor, const Block& block, const Unit& unit,
                float threshold, const WriterOptions& options, UnitOutput& out);

}  // namespace fernquill::cli
