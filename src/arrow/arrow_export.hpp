// Handing result blocks out as Arrow arrays without copying: every exported
// ArrowArray keeps the whole result alive through a shared pointer and
// points into its buffers; releasing the last export frees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "arrow/arrow_c_data.hpp"
#include "arrow/result_buffers.hpp"

namespace fernquill::columns {

// A finished column result: its Arrow type and its chunks.
class ResultColumn : public std::enable_shared_from_this<ResultColumn> {
 public:
  virtual ~ResultColumn() = default;
  virtual std::size_t rows() const = 0;
  virtual std::size_t chunk_count() const = 0;  // at least 1
  virtual void export_schema(ArrowSchema& out) const = 0;
  virtual void export_chunk(std::size_t i, ArrowArray& out) const = 0;
  // The same rows as one chunk (this column when it already is one).
  virtual std::shared_ptr<const ResultColumn> single_chunk() const = 0;
  // The Arrow format string, for repr.
  virtual const char* type_name() const = 0;

  // An ArrowArrayStream over the chunks; the stream keeps this alive.
  void export_stream(ArrowArrayStream& out) const;
};

std::shared_ptr<ResultColumn> make_extract_column(std::vector<ExtractBlock> blocks);
std::shared_ptr<ResultColumn> make_names_column(std::vector<NamesBlock> blocks);
std::shared_ptr<ResultColumn> make_flags_column(std::vector<FlagsBlock> blocks);
std::shared_ptr<ResultColumn> make_strings_column(std::vector<StringsBlock> blocks);

}  // namespace fernquill::columns
