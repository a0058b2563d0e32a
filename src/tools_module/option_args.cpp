#include "tools_module/option_args.hpp"

namespace fernquill::columns {
namespace {

bool is_ascii_str(PyObject* value, const char* s) {
  return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, s) == 0;
}

[[noreturn]] void value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  py::throw_error_set();
}

}  // namespace

fernquill::ScanOptions scan_options_arg(PyObject* words, PyObject* fallback) {
  fernquill::ScanOptions options;
  options.unicode_words = true;
  if (words != nullptr && words != Py_None) {
    if (is_ascii_str(words, "ascii")) {
      options.unicode_words = false;
    } else if (!is_ascii_str(words, "unicode")) {
      value_error("words must be \"ascii\" or \"unicode\"");
    }
  }
  // Unset, the fallback goes with the words: whole words take it, and
  // words="ascii" alone is then the module's own scan.
  options.whole_word_fallback = fallback == nullptr || fallback == Py_None
                                    ? options.unicode_words
                                    : py::to_bool(fallback, "fallback");
  return options;
}

OffsetUnit offsets_arg(PyObject* value) {
  if (value == nullptr || is_ascii_str(value, "chars")) return OffsetUnit::kChars;
  if (is_ascii_str(value, "bytes")) return OffsetUnit::kBytes;
  value_error("offsets must be \"chars\" or \"bytes\"");
}

}  // namespace fernquill::columns
