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

void throw_offset_overflow() { throw Fault("capacity overflow"); }

void NamesBlock::reserve_rows(std::size_t more) {
  validity.reserve(more);
  list_offsets.reserve(list_offsets.size() + more);
}

void NamesBlock::append_row(std::span<const KeywordMatch> found) {
  validity.append(true);
  for (const KeywordMatch& m : found) {
    names.append(m.keyword);
    name_offsets.push_back(static_cast<std::int32_t>(names.size()));
  }
  // Offsets only grow, so the row's last one fits when every one does; a
  // block that overflows is thrown away with the call.
  check_offset<std::int32_t>(names.size());
  push_offset(list_offsets, matches());
}

void NamesBlock::append_block(const NamesBlock& other) {
  const std::size_t match_base = matches(), name_base = names.size();
  validity.append_all(other.validity);
  for (std::size_t i = 1; i < other.list_offsets.size(); ++i) {
    push_offset(list_offsets, match_base + static_cast<std::size_t>(other.list_offsets[i]));
  }
  for (std::size_t i = 1; i < other.name_offsets.size(); ++i) {
    push_offset(name_offsets, name_base + static_cast<std::size_t>(other.name_offsets[i]));
  }
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

template <class Offset>
void StringsBlock<Offset>::reserve(std::size_t more_rows, std::size_t bytes) {
  validity.reserve(more_rows);
  offsets.reserve(offsets.size() + more_rows);
  data.reserve(data.size() + bytes);
}

template <class Offset>
void StringsBlock<Offset>::append_replaced(std::string_view row,
                                           std::span<const Replacement> pieces) {
  validity.append(true);
  fernquill::append_replaced(data, row, pieces);
  push_offset(offsets, data.size());
}

template <class Offset>
void StringsBlock<Offset>::append_block(const StringsBlock& other) {
  const std::size_t base = data.size();
  validity.append_all(other.validity);
  for (std::size_t i = 1; i < other.offsets.size(); ++i) {
    push_offset(offsets, base + static_cast<std::size_t>(other.offsets[i]));
  }
  data += other.data;
}

template struct StringsBlock<std::int32_t>;
template struct StringsBlock<std::int64_t>;

}  // namespace fernquill::columns
