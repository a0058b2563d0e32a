// write_records(processor, blocks, threshold, output, offsets="chars",
//               with_text=False, whole_records=False, words="ascii", fallback=False,
//               errors="strict")
//
// `blocks` is a list of (data, path, first_line): data a bytes-like object of
// whole lines, path the file's name (a str, as os.fsdecode gives it),
// first_line the number of its first line, or 0 when it goes on from the
// block before it (of the same file). `output` is "lines" (JSON Lines),
// "counts" or "replaced"; `errors` what becomes of a record that is not
// UTF-8. Returns (output bytes, per-block dicts of counts or None, records
// with a match, failures, the number of the line after the last block).
// Under errors="strict" a block with bytes that are not UTF-8 has no output,
// nor have the blocks that go on from it; each such file is a failure
// (block index, line, offset in the output where it stopped).
//
// Order: bind, check the processor's type, take a shared borrow (held to the
// end), check the threshold, take every block's buffer, scan on the pool with
// the interpreter lock released, build the result, let a pending signal through.
#include "tools_module/py_cli_writer.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "columns/row_blocks.hpp"
#include "keyword_processor/extract.hpp"
#include "module/py_processor_object.hpp"
#include "module/py_support.hpp"
#include "search/cli_json.hpp"
#include "search/cli_writer.hpp"
#include "text/lowercase.hpp"
#include "tools_module/option_args.hpp"

namespace fernquill::cli {
namespace {

using py::Ref;

// A bytes-like object's bytes, held for the life of the call.
class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) py::throw_error_set();
  }
  ~HeldBuffer() { PyBuffer_Release(&view_); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

[[noreturn]] void value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  py::throw_error_set();
}

Output output_arg(PyObject* value) {
  if (value != nullptr && PyUnicode_Check(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "lines") == 0) return Output::kJsonLines;
    if (PyUnicode_CompareWithASCIIString(value, "counts") == 0) return Output::kCounts;
    if (PyUnicode_CompareWithASCIIString(value, "replaced") == 0) return Output::kReplaced;
  }
  value_error("output must be \"lines\", \"counts\" or \"replaced\"");
}

Errors errors_arg(PyObject* value) {
  if (value == nullptr) return Errors::kStrict;
  if (PyUnicode_Check(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "strict") == 0) return Errors::kStrict;
    if (PyUnicode_CompareWithASCIIString(value, "replace") == 0) return Errors::kReplace;
    if (PyUnicode_CompareWithASCIIString(value, "skip") == 0) return Errors::kSkip;
  }
  value_error("errors must be \"strict\", \"replace\" or \"skip\"");
}

// A file name's bytes as the file system has them.
std::string path_arg(PyObject* path, const char* param) {
  if (!PyUnicode_Check(path)) py::raise_argument_type_error(param, "expected a str path");
  Ref bytes = Ref::check(PyUnicode_EncodeFSDefault(path));
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

// The blocks as given: their buffers held in `held` and their names' JSON in
// `paths` (both must outlive them).
struct BlocksArg {
  std::vector<Block> blocks;
  std::vector<std::unique_ptr<HeldBuffer>> held;
  std::vector<std::string> paths;
};

void blocks_arg(PyObject* list, BlocksArg& out) {
  if (!PyList_Check(list)) py::raise_argument_type_error("blocks", "expected a list");
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
  out.blocks.reserve(n);
  out.held.reserve(n);
  out.paths.reserve(n);  // never moved: the blocks view them
  PyObject* last_path = nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
      py::raise_argument_type_error("blocks", "expected (data, path, first_line) tuples");
    }
    PyObject* path = PyTuple_GET_ITEM(item, 1);
    const unsigned long long first_line = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(item, 2));
    if (first_line == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      py::throw_error_set();
    out.held.push_back(std::make_unique<HeldBuffer>(PyTuple_GET_ITEM(item, 0)));
    // The batches of one file share its name.
    if (path != last_path) out.paths.push_back(path_json(path_arg(path, "blocks")));
    last_path = path;
    out.blocks.push_back({out.held.back()->bytes(), out.paths.back(), first_line});
  }
}

// Blocks whose output is dropped under errors="strict": each with bytes that
// are not UTF-8, and those that go on from a dropped one. `continues[b]`:
// block b went on from the block before it.
struct Drops {
  std::vector<char> dropped;
  std::vector<std::optional<std::uint64_t>> bad_line;  // of the files that failed here
};

Drops dropped_blocks(const std::vector<Unit>& units, const std::vector<UnitOutput>& outputs,
                     const std::vector<char>& continues) {
  Drops drops{std::vector<char>(continues.size()),
              std::vector<std::optional<std::uint64_t>>(continues.size())};
  for (std::size_t i = units.size(); i-- > 0;) {  // the first bad unit of a block wins
    if (outputs[i].bad_line) drops.bad_line[units[i].block] = outputs[i].bad_line;
  }
  for (std::size_t b = 0; b < continues.size(); ++b) {
    const bool after_drop = continues[b] && b > 0 && drops.dropped[b - 1];
    drops.dropped[b] = after_drop || drops.bad_line[b].has_value();
    if (after_drop) drops.bad_line[b].reset();  // its file stopped before it
  }
  return drops;
}

// The kept units' output as one bytes object, each unit's room freed once
// copied; the failures with the offset where each file stopped.
Ref joined_output(const std::vector<Unit>& units, std::vector<UnitOutput>& outputs,
                  const Drops& drops, Ref& failures) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (!drops.dropped[units[i].block]) total += outputs[i].bytes.size();
  }
  failures = Ref::check(PyList_New(0));
  std::size_t written = 0;
  std::size_t next_block = 0;  // failures in block order, units or not
  auto report_until = [&](std::size_t block) {
    for (; next_block < block; ++next_block) {
      if (!drops.bad_line[next_block]) continue;
      const auto line = static_cast<unsigned long long>(*drops.bad_line[next_block]);
      Ref failure = Ref::check(Py_BuildValue("(nKn)", static_cast<Py_ssize_t>(next_block), line,
                                             static_cast<Py_ssize_t>(written)));
      if (PyList_Append(failures.get(), failure.get()) < 0) py::throw_error_set();
    }
  };
  Ref bytes = py::new_bytes(total, [&](std::span<char> into) {
    char* at = into.data();
    for (std::size_t i = 0; i < units.size(); ++i) {
      UnitOutput& o = outputs[i];
      report_until(units[i].block);  // a dropped block adds nothing after its failure
      if (!drops.dropped[units[i].block]) {
        at = std::copy(o.bytes.begin(), o.bytes.end(), at);
        written += o.bytes.size();
      }
      std::string().swap(o.bytes);
    }
  });
  report_until(drops.bad_line.size());
  return bytes;
}

Ref counts_per_block(const std::vector<Unit>& units, const std::vector<UnitOutput>& outputs,
                     const Drops& drops) {
  const std::size_t blocks = drops.dropped.size();
  std::vector<NameCounts> merged(blocks);
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (drops.dropped[units[i].block]) continue;
    for (const auto& [name, n] : outputs[i].counts) merged[units[i].block][name] += n;
  }
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(blocks)));
  for (std::size_t b = 0; b < blocks; ++b) {
    Ref dict = Ref::check(PyDict_New());
    for (const auto& [name, n] : merged[b]) {
      Ref key = py::new_str(name);
      Ref value = Ref::check(PyLong_FromUnsignedLongLong(n));
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) py::throw_error_set();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(b), dict.release());
  }
  return list;
}

constexpr const char* kParams[] = {"processor", "blocks",        "threshold", "output",   "offsets",
                                   "with_text", "whole_records", "words",     "fallback", "errors"};
constexpr py::Signature kSignature{"_native", "write_records", kParams, std::size(kParams), 4};

PyObject* py_write_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&]() -> Ref {
    py::BoundArgs<std::size(kParams)> a(kSignature, args, nargs, kwnames);
    py::ProcessorObject& obj = py::processor_argument(a[0]);
    Ref keep_processor = Ref::borrowed(a[0]);
    py::BorrowedProcessor<py::SharedBorrow> borrowed(obj);
    const float threshold = checked_threshold(py::to_optional_f32(a[2], "threshold"));
    WriterOptions options;
    options.output = output_arg(a[3]);
    options.char_offsets = columns::offsets_arg(a[4]) == columns::OffsetUnit::kChars;
    options.with_text = py::to_bool(a[5], "with_text");
    options.whole_records = py::to_bool(a[6], "whole_records");
    options.scan = columns::scan_options_arg(a[7], a[8]);
    options.errors = errors_arg(a[9]);
    Ref keep_blocks = Ref::borrowed(a[1]);
    BlocksArg given;
    blocks_arg(a[1], given);
    std::vector<char> continues(given.blocks.size());
    for (std::size_t b = 0; b < continues.size(); ++b) {
      continues[b] = given.blocks[b].first_line == 0;
    }

    const Plan plan = plan_units(given.blocks, options.whole_records);
    const std::vector<Unit>& units = plan.units;
    std::vector<UnitOutput> outputs(units.size());
    const KeywordProcessor& record = borrowed.record();
    columns::run_blocks(units.size(), [&](std::size_t i) {
      write_unit(record, given.blocks[units[i].block], units[i], threshold, options, outputs[i]);
    });

    const Drops drops = dropped_blocks(units, outputs, continues);
    std::uint64_t matched = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (!drops.dropped[units[i].block]) matched += outputs[i].matched;
    }
    Ref counts = options.output == Output::kCounts ? counts_per_block(units, outputs, drops)
                                                   : Ref::borrowed(Py_None);
    Ref failures;
    Ref bytes = joined_output(units, outputs, drops, failures);
    Ref result = Ref::check(Py_BuildValue("(OOKOK)", bytes.get(), counts.get(),
                                          static_cast<unsigned long long>(matched), failures.get(),
                                          static_cast<unsigned long long>(plan.next_line)));
    if (PyErr_CheckSignals() < 0) py::throw_error_set();
    return result;
  });
}

// count_records(counts): `counts` a list of (path or None, {name: count})
// as JSON Lines, most frequent first.
PyObject* py_count_records(PyObject*, PyObject* list) {
  return py::guard([&]() -> Ref {
    if (!PyList_Check(list)) py::raise_argument_type_error("counts", "expected a list");
    std::string out;
    std::vector<std::pair<std::string_view, std::uint64_t>> counts;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
          !PyDict_Check(PyTuple_GET_ITEM(item, 1))) {
        py::raise_argument_type_error("counts", "expected (path, dict) tuples");
      }
      PyObject* path = PyTuple_GET_ITEM(item, 0);
      std::string path_bytes;
      std::optional<std::string_view> given;
      if (path != Py_None) given = path_bytes = path_arg(path, "counts");
      counts.clear();
      Py_ssize_t at = 0;
      PyObject *name, *count;
      while (PyDict_Next(PyTuple_GET_ITEM(item, 1), &at, &name, &count)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        const unsigned long long n = PyLong_AsUnsignedLongLong(count);
        if (utf8 == nullptr || (n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          if (!PyErr_Occurred()) py::raise_argument_type_error("counts", "expected str names");
          py::throw_error_set();
        }
        counts.emplace_back(std::string_view(utf8, static_cast<std::size_t>(size)), n);
      }
      append_count_records(out, given, counts);
    }
    return py::new_bytes(out.size(), [&](std::span<char> into) {
      std::copy(out.begin(), out.end(), into.data());
    });
  });
}

}  // namespace

PyMethodDef g_cli_writer_functions[] = {
    {"write_records", py::fastcall(py_write_records), py::kFast,
     "write_records(processor, blocks, threshold, output, offsets='chars', with_text=False, "
     "whole_records=False, words='unicode', fallback=None, errors='strict')\n--\n\n"
     "The command line's records of `blocks` scanned and written as JSON Lines, counts or "
     "replaced text."},
    {"count_records", py_count_records, METH_O,
     "count_records(counts)\n--\n\nThe count records of a list of (path or None, {name: count}) "
     "as JSON Lines, most frequent first."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace fernquill::cli
