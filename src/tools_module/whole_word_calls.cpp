// Each call, in the module's order: bind, check the processor's type, take a
// shared borrow (held until the result is built, since the matches view the
// store's clean names), convert the text, then the threshold (range test
// included), then the options; scan; build the result.
#include "tools_module/whole_word_calls.hpp"

#include <string>
#include <vector>

#include "columns/char_offsets.hpp"
#include "keyword_processor/extract.hpp"
#include "module/py_keyword_match.hpp"
#include "module/py_processor_object.hpp"
#include "module/py_support.hpp"
#include "tools_module/option_args.hpp"

namespace fernquill::columns {
namespace {

using py::Ref;

constexpr const char* kClassName = "whole words";
constexpr const char* text_params[] = {"processor", "text",     "threshold",
                                       "words",     "fallback", "offsets"};
constexpr std::size_t kOffsetsArg = 5;
constexpr py::Signature extract_text_sig{kClassName, "extract_text", text_params,
                                         std::size(text_params), 2};
// The same parameters but the last.
constexpr py::Signature replace_text_sig{kClassName, "replace_text", text_params,
                                         std::size(text_params) - 1, 2};

// Binds the arguments and runs body(record, text, threshold, options, offsets)
// under a shared borrow.
template <class Body>
PyObject* text_call(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Body&& body) {
  return py::guard([&]() -> Ref {
    py::BoundArgs<std::size(text_params)> a(sig, args, nargs, kwnames);
    py::ProcessorObject& obj = py::processor_argument(a[0]);
    Ref keep_processor = Ref::borrowed(a[0]);
    py::BorrowedProcessor<py::SharedBorrow> borrowed(obj);
    const py::Utf8Argument text(a[1], "text", py::Utf8Copy::kPrivate);
    const std::optional<float> threshold = py::to_optional_f32(a[2], "threshold");
    checked_threshold(threshold);
    const fernquill::ScanOptions options = scan_options_arg(a[3], a[4]);
    const OffsetUnit offsets = offsets_arg(a[kOffsetsArg]);
    const py::SignalChecks checks;
    return body(borrowed.record(), text.bytes(), threshold, options, offsets);
  });
}

}  // namespace

PyObject* py_extract_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return text_call(
      extract_text_sig, args, nargs, kwnames,
      [](const KeywordProcessor& record, std::string_view text, std::optional<float> threshold,
         const fernquill::ScanOptions& options, OffsetUnit offsets) {
        const float t = checked_threshold(threshold);
        ScanText scan;
        make_scan_text(record, text, t == 1.0f, scan);
        std::vector<KeywordMatch> matches = scan_text(record, scan, t, options);
        if (offsets == OffsetUnit::kChars) to_char_offsets(text, scan, matches);
        py::NameStrs names;
        return py::new_match_list(matches, names);
      });
}

PyObject* py_replace_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return text_call(
      replace_text_sig, args, nargs, kwnames,
      [](const KeywordProcessor& record, std::string_view text, std::optional<float> threshold,
         const fernquill::ScanOptions& options,
         OffsetUnit) { return py::new_str(replace_keywords(record, text, threshold, options)); });
}

}  // namespace fernquill::columns
