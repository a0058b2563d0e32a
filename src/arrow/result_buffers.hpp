// The output of a column scan, one block per input block, each in the
// buffer layout of an Arrow array so that it is handed out without a copy.
// Plain C++; a block is written by one worker only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"

namespace fernquill::columns {

// A validity bitmap (bit set: the row is valid) and its null count.
struct Validity {
  std::vector<std::uint8_t> bits;
  std::size_t rows = 0;
  std::size_t nulls = 0;
  void append(bool valid) {
    if ((rows & 7) == 0) bits.push_back(0);
    if (valid) {
      bits.back() |= static_cast<std::uint8_t>(1u << (rows & 7));
    } else {
      ++nulls;
    }
    ++rows;
  }
  void append_all(const Validity& other);
  void reserve(std::size_t more_rows) { bits.reserve((rows + more_rows + 7) / 8); }
};

// Arrow offsets that start 32-bit and become 64-bit (the large types) when
// a value outgrows 32 bits, so that no result is refused for its size.
// Starts with the first offset, 0.
class Offsets {
 public:
  explicit Offsets(bool wide = false);
  bool wide() const { return wide_; }
  std::size_t size() const { return wide_ ? wide_values_.size() : narrow_.size(); }
  std::size_t operator[](std::size_t i) const {
    return wide_ ? static_cast<std::size_t>(wide_values_[i]) : static_cast<std::size_t>(narrow_[i]);
  }
  void push(std::size_t value) {
    if (!wide_) [[likely]] {
      if (value <= kNarrowMax) {
        narrow_.push_back(static_cast<std::int32_t>(value));
        return;
      }
      widen();
    }
    wide_values_.push_back(static_cast<std::int64_t>(value));
  }
  void reserve(std::size_t more);
  // Moves to 64-bit offsets, keeping the values.
  void widen();
  // The offsets in Arrow layout: int32 unless wide().
  const void* data() const;
  // Appends other's offsets after the first, each plus `base`.
  void append_shifted(const Offsets& other, std::size_t base);

 private:
  static constexpr std::size_t kNarrowMax = std::numeric_limits<std::int32_t>::max();
  bool wide_ = false;
  std::vector<std::int32_t> narrow_;
  std::vector<std::int64_t> wide_values_;
};

// Which offsets of a result are 64-bit: the lists' and the strings'.
struct Widths {
  bool lists = false;
  bool strings = false;
  Widths operator|(const Widths& o) const { return {lists || o.lists, strings || o.strings}; }
};

// list<string>: the clean name of each match.
struct NamesBlock {
  Validity validity;
  Offsets list_offsets;
  Offsets name_offsets;
  std::string names;

  std::size_t rows() const { return validity.rows; }
  std::size_t matches() const { return name_offsets.size() - 1; }
  void reserve_rows(std::size_t rows);
  void append_null() {
    validity.append(false);
    list_offsets.push(matches());
  }
  void append_row(std::span<const KeywordMatch> found);
  void append_block(const NamesBlock& other);
  Widths widths() const { return {list_offsets.wide(), name_offsets.wide()}; }
  void widen(const Widths& w) {
    if (w.lists) list_offsets.widen();
    if (w.strings) name_offsets.widen();
  }
  // An empty block with room for all of `blocks` and offsets as wide as
  // theirs, to append them to.
  static NamesBlock joining(std::span<const NamesBlock> blocks);

 protected:
  template <class Block>
  static Block joining_names(std::span<const Block> blocks);
};

// list<struct<keyword: string, similarity: float32, start: int64, end: int64>>:
// the names above with the rest of each match beside them.
struct ExtractBlock : NamesBlock {
  std::vector<float> similarity;
  std::vector<std::int64_t> start, end;

  void append_row(std::span<const KeywordMatch> found);
  void append_block(const ExtractBlock& other);
  static ExtractBlock joining(std::span<const ExtractBlock> blocks);
};

// bool, one per row.
struct FlagsBlock {
  Validity validity;
  Validity values;  // a bit per row; the bits of null rows are unset

  std::size_t rows() const { return validity.rows; }
  void reserve_rows(std::size_t rows) {
    validity.reserve(rows);
    values.reserve(rows);
  }
  void append_null() {
    validity.append(false);
    values.append(false);
  }
  void append(bool value) {
    validity.append(true);
    values.append(value);
  }
  void append_block(const FlagsBlock& other) {
    validity.append_all(other.validity);
    values.append_all(other.values);
  }
  Widths widths() const { return {}; }
  void widen(const Widths&) {}
  static FlagsBlock joining(std::span<const FlagsBlock> blocks) {
    FlagsBlock all;
    std::size_t rows = 0;
    for (const FlagsBlock& b : blocks) rows += b.rows();
    all.reserve_rows(rows);
    return all;
  }
};

// A string or large_string column.
struct StringsBlock {
  Validity validity;
  Offsets offsets;
  std::string data;

  explicit StringsBlock(bool wide = false) : offsets(wide) {}
  std::size_t rows() const { return validity.rows; }
  void reserve(std::size_t rows, std::size_t bytes);
  void append_null() {
    validity.append(false);
    offsets.push(data.size());
  }
  // The row as given, with each replacement's range swapped for its name.
  void append_replaced(std::string_view row, std::span<const Replacement> pieces);
  void append_block(const StringsBlock& other);
  Widths widths() const { return {false, offsets.wide()}; }
  void widen(const Widths& w) {
    if (w.strings) offsets.widen();
  }
  static StringsBlock joining(std::span<const StringsBlock> blocks);
};

}  // namespace fernquill::columns
