#include "arrow/result_buffers.hpp"

namespace fernquill::columns {

void Validity::append_all(const Validity& other) {
  if ((rows & 7) == 0) {  // byte-aligned: copy whole bytes
    bits.insert(bits.end(), other.bits.begin(), other.bits.end());
    rows += other.rows;
    nulls += other.nulls;
    return;
  }
  for (std::size_t i = 0; i < other.rows; ++i) append((other.bits[i >> 3] >> (i & 7)) & 1);
}

Offsets::Offsets(bool wide) : wide_(wide) {
  if (wide_) {
    wide_values_.push_back(0);
  } else {
    narrow_.push_back(0);
  }
}

void Offsets::reserve(std::size_t more) {
  if (wide_) {
    wide_values_.reserve(wide_values_.size() + more);
  } else {
    narrow_.reserve(narrow_.size() + more);
  }
}

void Offsets::widen() {
  if (wide_) return;
  wide_values_.assign(narrow_.begin(), narrow_.end());
  narrow_ = {};
  wide_ = true;
}

const void* Offsets::data() const {
  return wide_ ? static_cast<const void*>(wide_values_.data())
               : static_cast<const void*>(narrow_.data());
}

void Offsets::append_shifted(const Offsets& other, std::size_t base) {
  reserve(other.size() - 1);
  for (std::size_t i = 1; i < other.size(); ++i) push(base + other[i]);
}

void NamesBlock::reserve_rows(std::size_t more) {
  validity.reserve(more);
  list_offsets.reserve(more);
}

template <class Block>
Block NamesBlock::joining_names(std::span<const Block> blocks) {
  Block all;
  std::size_t rows = 0, matches = 0, name_bytes = 0;
  for (const Block& b : blocks) {
    rows += b.rows();
    matches += b.matches();
    name_bytes += b.names.size();
  }
  if (!blocks.empty() && blocks.front().list_offsets.wide()) all.list_offsets.widen();
  if (!blocks.empty() && blocks.front().name_offsets.wide()) all.name_offsets.widen();
  all.reserve_rows(rows);
  all.name_offsets.reserve(matches);
  all.names.reserve(name_bytes);
  return all;
}

NamesBlock NamesBlock::joining(std::span<const NamesBlock> blocks) {
  return joining_names(blocks);
}

ExtractBlock ExtractBlock::joining(std::span<const ExtractBlock> blocks) {
  ExtractBlock all = joining_names(blocks);
  std::size_t matches = 0;
  for (const ExtractBlock& b : blocks) matches += b.matches();
  all.similarity.reserve(matches);
  all.start.reserve(matches);
  all.end.reserve(matches);
  return all;
}

void NamesBlock::append_row(std::span<const KeywordMatch> found) {
  validity.append(true);
  for (const KeywordMatch& m : found) {
    names.append(m.keyword);
    name_offsets.push(names.size());
  }
  list_offsets.push(matches());
}

void NamesBlock::append_block(const NamesBlock& other) {
  const std::size_t match_base = matches(), name_base = names.size();
  validity.append_all(other.validity);
  list_offsets.append_shifted(other.list_offsets, match_base);
  name_offsets.append_shifted(other.name_offsets, name_base);
  names += other.names;
}

void ExtractBlock::append_row(std::span<const KeywordMatch> found) {
  NamesBlock::append_row(found);
  for (const KeywordMatch& m : found) {
    similarity.push_back(m.similarity);
    start.push_back(static_cast<std::int64_t>(m.start));
    end.push_back(static_cast<std::int64_t>(m.end));
  }
}

void ExtractBlock::append_block(const ExtractBlock& other) {
  NamesBlock::append_block(other);
  similarity.insert(similarity.end(), other.similarity.begin(), other.similarity.end());
  start.insert(start.end(), other.start.begin(), other.start.end());
  end.insert(end.end(), other.end.begin(), other.end.end());
}

StringsBlock StringsBlock::joining(std::span<const StringsBlock> blocks) {
  StringsBlock all(!blocks.empty() && blocks.front().offsets.wide());
  std::size_t rows = 0, bytes = 0;
  for (const StringsBlock& b : blocks) {
    rows += b.rows();
    bytes += b.data.size();
  }
  all.reserve(rows, bytes);
  return all;
}

void StringsBlock::reserve(std::size_t more_rows, std::size_t bytes) {
  validity.reserve(more_rows);
  offsets.reserve(more_rows);
  data.reserve(data.size() + bytes);
}

void StringsBlock::append_replaced(std::string_view row, std::span<const Replacement> pieces) {
  validity.append(true);
  fernquill::append_replaced(data, row, pieces);
  offsets.push(data.size());
}

void StringsBlock::append_block(const StringsBlock& other) {
  const std::size_t base = data.size();
  validity.append_all(other.validity);
  offsets.append_shifted(other.offsets, base);
  data += other.data;
}

}  // namespace fernquill::columns
