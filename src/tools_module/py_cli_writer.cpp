// write_records(processor, blocks, threshold, output, offsets="chars",
//               with_text=False, whole_records=False, words="ascii", fallback=False)
//
// `blocks` is a list of (data, path_json, first_line): data a bytes-like
// object of valid UTF-8 whole lines, path_json the file name as a JSON string.
// `output` is "lines" (JSON Lines), "counts" or "replaced". Returns
// (output bytes, per-block dicts of counts or None, records with a match).
// `words` and `fallback` are the scan options of fernquill_tools.extract;
// the defaults scan as the module's methods do.
//
// Order: bind, check the processor's type, take a shared borrow (held to the
// end), check the threshold, take every block's buffer, scan on the pool with
// the interpreter lock released, build the result, let a pending signal through.
#include "tools_module/py_cli_writer.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "columns/row_blocks.hpp"
#include "keyword_processor/extract.hpp"
#include "module/py_processor_object.hpp"
#include "module/py_support.hpp"
#include "search/cli_writer.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"
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

// The blocks, their buffers held in `held` (which must outlive them).
std::vector<Block> blocks_arg(PyObject* list, std::vector<std::unique_ptr<HeldBuffer>>& held) {
  if (!PyList_Check(list)) py::raise_argument_type_error("blocks", "expected a list");
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<Block> blocks;
  blocks.reserve(static_cast<std::size_t>(n));
  held.reserve(static_cast<std::size_t>(n) * 2);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
      py::raise_argument_type_error("blocks", "expected (data, path_json, first_line) tuples");
    }
    PyObject* data = PyTuple_GET_ITEM(item, 0);
    PyObject* path = PyTuple_GET_ITEM(item, 1);
    const unsigned long long first_line = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(item, 2));
    if (first_line == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      py::throw_error_set();
    held.push_back(std::make_unique<HeldBuffer>(data));
    const std::string_view bytes = held.back()->bytes();
    held.push_back(std::make_unique<HeldBuffer>(path));
    blocks.push_back({bytes, held.back()->bytes(), first_line});
  }
  return blocks;
}

// The units' output as one bytes object, each unit's room freed once copied.
Ref joined_output(std::vector<UnitOutput>& outputs) {
  std::size_t total = 0;
  for (const UnitOutput& o : outputs) total += o.bytes.size();
  return py::new_bytes(total, [&](std::span<char> into) {
    char* at = into.data();
    for (UnitOutput& o : outputs) {
      at = std::copy(o.bytes.begin(), o.bytes.end(), at);
      std::string().swap(o.bytes);
    }
  });
}

Ref counts_per_block(const std::vector<Unit>& units, const std::vector<UnitOutput>& outputs,
                     std::size_t blocks) {
  std::vector<NameCounts> merged(blocks);
  for (std::size_t i = 0; i < units.size(); ++i) {
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

constexpr const char* kParams[] = {"processor", "blocks",        "threshold", "output",  "offsets",
                                   "with_text", "whole_records", "words",     "fallback"};
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
    Ref keep_blocks = Ref::borrowed(a[1]);
    std::vector<std::unique_ptr<HeldBuffer>> held;
    const std::vector<Block> blocks = blocks_arg(a[1], held);

    const std::vector<Unit> units = plan_units(blocks, options.whole_records);
    std::vector<UnitOutput> outputs(units.size());
    const KeywordProcessor& record = borrowed.record();
    try {
      columns::run_blocks(units.size(), [&](std::size_t i) {
        write_unit(record, blocks[units[i].block], units[i], threshold, options, outputs[i]);
      });
    } catch (const InvalidBlock& e) {
      value_error(e.what());
    }

    std::uint64_t matched = 0;
    for (const UnitOutput& o : outputs) matched += o.matched;
    Ref counts = options.output == Output::kCounts ? counts_per_block(units, outputs, blocks.size())
                                                   : Ref::borrowed(Py_None);
    Ref bytes = joined_output(outputs);
    Ref matched_records = Ref::check(PyLong_FromUnsignedLongLong(matched));
    Ref result = Ref::check(PyTuple_Pack(3, bytes.get(), counts.get(), matched_records.get()));
    if (PyErr_CheckSignals() < 0) py::throw_error_set();
    return result;
  });
}

// Input this large is checked with the interpreter lock released, so that a
// thread reading ahead does not hold up the one writing.
constexpr std::size_t kUnlockedBytes = std::size_t{1} << 20;

// utf8_lines(data): (the length of the longest valid UTF-8 prefix of a
// bytes-like object or -1 when it is valid throughout, its line feeds).
PyObject* py_utf8_lines(PyObject*, PyObject* data) {
  return py::guard([&]() -> Ref {
    HeldBuffer held(data);  // a bytearray cannot be resized while held
    const std::string_view bytes = held.bytes();
    std::optional<utf8::Error> error;
    std::size_t line_feeds = 0;
    auto check = [&] {
      error = is_ascii(bytes) ? std::nullopt : utf8::find_error(bytes);
      line_feeds = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    };
    if (bytes.size() >= kUnlockedBytes) {
      columns::GilReleased unlocked;
      check();
    } else {
      check();
    }
    Ref valid = Ref::check(error ? PyLong_FromSize_t(error->valid_up_to) : PyLong_FromLong(-1));
    Ref feeds = Ref::check(PyLong_FromSize_t(line_feeds));
    return Ref::check(PyTuple_Pack(2, valid.get(), feeds.get()));
  });
}

}  // namespace

PyMethodDef g_cli_writer_functions[] = {
    {"write_records", py::fastcall(py_write_records), py::kFast,
     "write_records(processor, blocks, threshold, output, offsets='chars', with_text=False, "
     "whole_records=False, words='ascii', fallback=False)\n--\n\n"
     "The command line's records of `blocks` scanned and written as JSON Lines, counts or "
     "replaced text."},
    {"utf8_lines", py_utf8_lines, METH_O,
     "utf8_lines(data)\n--\n\n(The length of the longest valid UTF-8 prefix of `data` or -1 when "
     "all of it is valid, the number of its line feeds.)"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace fernquill::cli
