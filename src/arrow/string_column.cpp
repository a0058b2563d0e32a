#include "arrow/string_column.hpp"

#include <limits>
#include <string>
#include <type_traits>
#include <utility>

namespace fernquill::columns {
namespace {

constexpr std::int64_t kNoCount = -1;  // "null count not computed"

// A view names its data buffer by an int32 index, so no more can be used.
constexpr std::int64_t kMaxViewDataBuffers =
    std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;

[[noreturn]] void malformed(const std::string& what) {
  throw MalformedColumn("malformed Arrow string array: " + what);
}

// The offsets or views buffer holds offset + length (+ 1) slots, which must
// fit in the address space: a length or offset near 2**63 is a lie that
// pointer arithmetic would silently wrap around.
void check_extent(const ArrowArray& a, std::size_t slot_bytes) {
  constexpr auto kMaxBytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  const std::uint64_t slots =
      static_cast<std::uint64_t>(a.offset) + static_cast<std::uint64_t>(a.length) + 1;
  if (slots > kMaxBytes / slot_bytes) malformed("too long to be in memory");
}

// Calls f with the indices as a pointer to the integer type of an Arrow
// format letter; false for a letter that is no integer type.
template <class F>
bool with_index_type(char format, const void* indices, F&& f) {
  switch (format) {
    case 'c':
      return f(static_cast<const std::int8_t*>(indices)), true;
    case 'C':
      return f(static_cast<const std::uint8_t*>(indices)), true;
    case 's':
      return f(static_cast<const std::int16_t*>(indices)), true;
    case 'S':
      return f(static_cast<const std::uint16_t*>(indices)), true;
    case 'i':
      return f(static_cast<const std::int32_t*>(indices)), true;
    case 'I':
      return f(static_cast<const std::uint32_t*>(indices)), true;
    case 'l':
      return f(static_cast<const std::int64_t*>(indices)), true;
    case 'L':
      return f(static_cast<const std::uint64_t*>(indices)), true;
    default:
      return false;
  }
}

}  // namespace

StringChunk::StringChunk(StringChunk&& o) noexcept
    : layout_(o.layout_),
      length_(o.length_),
      offset_(o.offset_),
      validity_(o.validity_),
      offsets32_(o.offsets32_),
      offsets64_(o.offsets64_),
      data_(o.data_),
      views_(o.views_),
      view_buffers_(o.view_buffers_),
      spans_(std::move(o.spans_)),
      span_valid_(std::move(o.span_valid_)),
      array_(std::exchange(o.array_, ArrowArray{})) {}

StringChunk& StringChunk::operator=(StringChunk&& o) noexcept {
  if (this != &o) {
    this->~StringChunk();
    new (this) StringChunk(std::move(o));
  }
  return *this;
}

StringChunk::~StringChunk() {
  if (array_.release != nullptr) array_.release(&array_);
}

StringChunk StringChunk::from_spans(std::vector<std::string_view> spans, std::vector<bool> valid) {
  StringChunk c;
  c.layout_ = Layout::kSpans;
  c.length_ = spans.size();
  c.spans_ = std::move(spans);
  c.span_valid_ = std::move(valid);
  return c;
}

StringChunk StringChunk::from_arrow(std::string_view format, ArrowArray& array) {
  StringChunk c;
  c.array_ = std::exchange(array, ArrowArray{});  // released with c from here on
  const ArrowArray& a = c.array_;
  if (a.length < 0 || a.offset < 0) malformed("negative length or offset");
  c.length_ = static_cast<std::size_t>(a.length);
  c.offset_ = static_cast<std::size_t>(a.offset);
  if (format == arrow::kNull) {
    c.layout_ = Layout::kNulls;  // no buffers to read
    return c;
  }
  const bool views = format == arrow::kUtf8View;
  const bool large = format == arrow::kLargeUtf8;
  check_extent(a, views ? arrow::kViewSize : large ? sizeof(std::int64_t) : sizeof(std::int32_t));
  // string/large_string: validity, offsets, data; string_view: validity,
  // views, the data buffers, then their sizes.
  if (views ? a.n_buffers < 3 || a.n_buffers - 3 > kMaxViewDataBuffers : a.n_buffers != 3) {
    malformed("wrong number of buffers");
  }
  if (a.buffers == nullptr) malformed("no buffers");
  c.validity_ = static_cast<const std::uint8_t*>(a.buffers[0]);
  if (c.validity_ == nullptr && a.null_count != 0 && a.null_count != kNoCount) {
    malformed("nulls counted but no validity bitmap");
  }
  if (c.length_ == 0) return c;
  if (a.buffers[1] == nullptr) malformed("missing offsets or views");
  if (views) {
    c.layout_ = Layout::kViews;
    c.views_ = static_cast<const unsigned char*>(a.buffers[1]);
    const auto data_buffers = static_cast<std::size_t>(a.n_buffers - 3);
    const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
    if (data_buffers > 0 && sizes == nullptr) malformed("missing data buffer sizes");
    c.view_buffers_ = a.buffers + 2;
    c.validate_views(std::span<const std::int64_t>(sizes, sizes ? data_buffers : 0));
    return c;
  }
  c.layout_ = large ? Layout::kOffsets64 : Layout::kOffsets32;
  if (c.layout_ == Layout::kOffsets64) {
    c.offsets64_ = static_cast<const std::int64_t*>(a.buffers[1]);
  } else {
    c.offsets32_ = static_cast<const std::int32_t*>(a.buffers[1]);
  }
  c.data_ = static_cast<const char*>(a.buffers[2]);
  c.validate_offsets();
  return c;
}

StringChunk StringChunk::from_dictionary(std::string_view index_format,
                                         std::string_view value_format, ArrowArray& array) {
  StringChunk c;
  c.array_ = std::exchange(array, ArrowArray{});
  const ArrowArray& a = c.array_;
  if (a.length < 0 || a.offset < 0) malformed("negative length or offset");
  if (a.dictionary == nullptr) malformed("a dictionary array without its dictionary");
  if (a.n_buffers != 2 || a.buffers == nullptr) malformed("wrong number of buffers");
  // The dictionary stays the array's to release; the values only view it.
  ArrowArray dictionary = *a.dictionary;
  dictionary.release = nullptr;
  const StringChunk values = from_arrow(value_format, dictionary);
  c.validity_ = static_cast<const std::uint8_t*>(a.buffers[0]);
  c.length_ = static_cast<std::size_t>(a.length);
  c.offset_ = static_cast<std::size_t>(a.offset);
  if (c.length_ > 0 && a.buffers[1] == nullptr) malformed("missing indices");
  const char kind = index_format.size() == 1 ? index_format[0] : '\0';
  const bool known = with_index_type(
      kind, a.buffers[1], [&](const auto* indices) { c.view_dictionary(indices, values); });
  if (!known) malformed("dictionary indices of format '" + std::string(index_format) + "'");
  return c;
}

// Resolves every row to a view of its dictionary value, checking each index.
template <class Index>
void StringChunk::view_dictionary(const Index* indices, const StringChunk& values) {
  check_extent(array_, sizeof(Index));
  std::vector<std::string_view> rows(length_);
  std::vector<bool> valid(length_);
  for (std::size_t i = 0; i < length_; ++i) {
    const std::size_t bit = offset_ + i;
    if (validity_ != nullptr && ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0) continue;
    const Index at = indices[bit];
    bool negative = false;
    if constexpr (std::is_signed_v<Index>) negative = at < 0;
    if (negative || static_cast<std::uint64_t>(at) >= values.size()) {
      malformed("a dictionary index out of range");
    }
    const auto v = static_cast<std::size_t>(at);
    if (values.is_null(v)) continue;
    rows[i] = values.row(v);
    valid[i] = true;
  }
  layout_ = Layout::kSpans;
  spans_ = std::move(rows);
  span_valid_ = std::move(valid);
  offset_ = 0;
}

// Offsets must not decrease, so that no row has a negative length; the data
// buffer's size is not part of the interface, so the last offset is trusted.
void StringChunk::validate_offsets() const {
  auto at = [&](std::size_t i) -> std::int64_t {
    return layout_ == Layout::kOffsets64 ? offsets64_[i] : offsets32_[i];
  };
  std::int64_t previous = at(offset_);
  if (previous < 0) malformed("negative offset");
  for (std::size_t i = offset_ + 1; i <= offset_ + length_; ++i) {
    const std::int64_t next = at(i);
    if (next < previous) malformed("decreasing offsets");
    previous = next;
  }
  if (previous > at(offset_) && data_ == nullptr) malformed("missing data buffer");
}

// Every out-of-line view must lie inside its data buffer.
void StringChunk::validate_views(std::span<const std::int64_t> buffer_sizes) const {
  for (std::size_t i = offset_; i < offset_ + length_; ++i) {
    if (is_null(i - offset_)) continue;  // a null slot's view is unspecified
    const unsigned char* v = views_ + i * arrow::kViewSize;
    std::int32_t len, buffer, at;
    std::memcpy(&len, v, 4);
    if (len < 0) malformed("negative view length");
    if (len <= arrow::kViewInlineMax) continue;
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&at, v + 12, 4);
    if (buffer < 0 || static_cast<std::size_t>(buffer) >= buffer_sizes.size() || at < 0 ||
        std::int64_t{at} + len > buffer_sizes[static_cast<std::size_t>(buffer)] ||
        view_buffers_[static_cast<std::size_t>(buffer)] == nullptr) {
      malformed("view outside its data buffer");
    }
  }
}

}  // namespace fernquill::columns
