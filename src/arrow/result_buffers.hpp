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
#include "support/fault.hpp"

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

[[noreturn]] void throw_offset_overflow();

// Fails cleanly where a 32- or 64-bit Arrow offset cannot hold `value`.
template <class Offset>
void check_offset(std::size_t value) {
  if (value > static_cast<std::size_t>(std::numeric_limits<Offset>::max())) [[unlikely]] {
    throw_offset_overflow();
  }
}

template <class Offset>
void push_offset(std::vector<Offset>& offsets, std::size_t value) {
  check_offset<Offset>(value);
  offsets.push_back(static_cast<Offset>(value));
}

// list<string>: the clean name of each match.
struct NamesBlock {
  Validity validity;
  std::vector<std::int32_t> list_offsets{0};
  std::vector<std::int32_t> name_offsets{0};
  std::string names;

  std::size_t rows() const { return validity.rows; }
  std::size_t matches() const { return name_offsets.size() - 1; }
  void reserve_rows(std::size_t rows);
  void append_null() {
    validity.append(false);
    push_offset(list_offsets, matches());
  }
  void append_row(std::span<const KeywordMatch> found);
  void append_block(const NamesBlock& other);
};

// list<struct<keyword: string, similarity: float32, start: int64, end: int64>>:
// the names above with the rest of each match beside them.
struct ExtractBlock : NamesBlock {
  std::vector<float> similarity;
  std::vector<std::int64_t> start, end;

  void append_row(std::span<const KeywordMatch> found);
  void append_block(const ExtractBlock& other);
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
};

// A string or large_string column.
template <class Offset>
struct StringsBlock {
  Validity validity;
  std::vector<Offset> offsets{0};
  std::string data;

  std::size_t rows() const { return validity.rows; }
  void reserve(std::size_t rows, std::size_t bytes);
  void append_null() {
    validity.append(false);
    push_offset(offsets, data.size());
  }
  // The row as given, with each replacement's range swapped for its name.
  void append_replaced(std::string_view row, std::span<const Replacement> pieces);
  void append_block(const StringsBlock& other);
};

extern template struct StringsBlock<std::int32_t>;
extern template struct StringsBlock<std::int64_t>;

}  // namespace fernquill::columns
