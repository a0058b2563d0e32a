// A column of UTF-8 rows, some of them null, viewed in place in the buffers
// of whoever made it: an imported Arrow array (string, large_string or
// string_view) or a list of row views the caller keeps alive. Plain C++;
// readable from any thread once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "arrow/arrow_c_data.hpp"

namespace fernquill::columns {

class StringChunk {
 public:
  enum class Layout { kOffsets32, kOffsets64, kViews, kSpans, kNulls };

  std::size_t size() const { return length_; }
  bool is_null(std::size_t i) const {
    if (layout_ == Layout::kSpans) return !span_valid_[i];
    if (layout_ == Layout::kNulls) return true;
    if (validity_ == nullptr) return false;
    const std::size_t bit = offset_ + i;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  // The bytes of row i ("" for a null row).
  std::string_view row(std::size_t i) const {
    switch (layout_) {
      case Layout::kOffsets32:
        return slice(offsets32_[offset_ + i], offsets32_[offset_ + i + 1]);
      case Layout::kOffsets64:
        return slice(offsets64_[offset_ + i], offsets64_[offset_ + i + 1]);
      case Layout::kViews:
        return view_at(offset_ + i);
      case Layout::kSpans:
        return spans_[i];
      case Layout::kNulls:
        return {};
    }
    return {};
  }
  bool has_large_offsets() const { return layout_ == Layout::kOffsets64; }
  // The chunk's own size() + 1 offsets (checked non-decreasing) when it has
  // 32- or 64-bit offsets; null otherwise. Rows [a, b) then lie in the data
  // buffer's bytes [offsets[a], offsets[b]).
  const std::int32_t* offsets32() const {
    return layout_ == Layout::kOffsets32 ? offsets32_ + offset_ : nullptr;
  }
  const std::int64_t* offsets64() const {
    return layout_ == Layout::kOffsets64 ? offsets64_ + offset_ : nullptr;
  }

  // An Arrow array of one of the three string formats (by `format`), or of
  // the null type (every row null, as a column of nothing but missing
  // strings is typed by Polars, pandas and DuckDB), taken
  // over: the chunk calls its release when destroyed. Throws
  // MalformedColumn when the array contradicts its own layout.
  static StringChunk from_arrow(std::string_view format, ArrowArray& array);
  // A dictionary-encoded array (indices of the integer `index_format`, a
  // dictionary of `value_format` strings), taken over; its rows are viewed
  // in the dictionary, so each distinct value's bytes are read in place.
  // A row is null where its index or its dictionary value is.
  static StringChunk from_dictionary(std::string_view index_format, std::string_view value_format,
                                     ArrowArray& array);
  // Views of rows (nullopt-like: valid[i] false for a null) owned elsewhere.
  static StringChunk from_spans(std::vector<std::string_view> spans, std::vector<bool> valid);

  StringChunk(StringChunk&&) noexcept;
  StringChunk& operator=(StringChunk&&) noexcept;
  ~StringChunk();
  StringChunk(const StringChunk&) = delete;
  StringChunk& operator=(const StringChunk&) = delete;

 private:
  StringChunk() = default;
  std::string_view slice(std::int64_t from, std::int64_t to) const {
    return {data_ + from, static_cast<std::size_t>(to - from)};
  }
  std::string_view view_at(std::size_t i) const {
    const unsigned char* v = views_ + i * arrow::kViewSize;
    std::int32_t len;
    std::memcpy(&len, v, 4);
    if (len <= arrow::kViewInlineMax) {
      return {reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(len)};
    }
    std::int32_t buffer, at;
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&at, v + 12, 4);
    return {static_cast<const char*>(view_buffers_[static_cast<std::size_t>(buffer)]) + at,
            static_cast<std::size_t>(len)};
  }
  void validate_offsets() const;
  template <class Index>
  void view_dictionary(const Index* indices, const StringChunk& values);
  void validate_views(std::span<const std::int64_t> buffer_sizes) const;

  Layout layout_ = Layout::kSpans;
  std::size_t length_ = 0;
  std::size_t offset_ = 0;
  const std::uint8_t* validity_ = nullptr;
  const std::int32_t* offsets32_ = nullptr;
  const std::int64_t* offsets64_ = nullptr;
  const char* data_ = nullptr;
  const unsigned char* views_ = nullptr;
  const void* const* view_buffers_ = nullptr;  // the array's own data buffer list
  std::vector<std::string_view> spans_;
  std::vector<bool> span_valid_;
  ArrowArray array_{};  // taken over; released with the chunk
};

// An input column: its chunks in order.
struct StringColumn {
  std::vector<StringChunk> chunks;
  bool large = false;  // some chunk has 64-bit offsets
  std::size_t rows() const {
    std::size_t n = 0;
    for (const StringChunk& c : chunks) n += c.size();
    return n;
  }
};

// An Arrow array that contradicts its own layout (bad offsets, buffer index
// or size); reported to Python as ValueError.
struct MalformedColumn : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace fernquill::columns
