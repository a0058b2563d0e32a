// keyword_lines(content, tabs) -> (entries, failure)
//
// `content` is the decoded text of a keyword file. `entries` is a list of
// (keyword, clean name or None) for its lines, in order; `failure` is None, or
// (line number, message) of the first malformed line, and `entries` then
// holds the lines before it. A str that has no UTF-8 form (lone surrogates)
// raises UnicodeEncodeError: the caller reads it the slow way.
#include "tools_module/py_keyword_lines.hpp"

#include "module/py_support.hpp"
#include "tools_module/keyword_lines.hpp"

namespace fernquill::keyword_files {
namespace {

using py::Ref;

Ref entry_tuple(const Entry& entry) {
  Ref keyword = py::new_str(entry.keyword);
  Ref clean_name = entry.clean_name ? py::new_str(*entry.clean_name) : py::none();
  return Ref::check(PyTuple_Pack(2, keyword.get(), clean_name.get()));
}

Ref entry_list(const std::vector<Entry>& entries) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry_tuple(entries[i]).release());
  }
  return list;
}

Ref failure_tuple(const std::optional<Malformed>& failure) {
  if (!failure) return py::none();
  Ref line = Ref::check(PyLong_FromUnsignedLongLong(failure->line));
  Ref message = py::new_str(failure->message);
  return Ref::check(PyTuple_Pack(2, line.get(), message.get()));
}

constexpr const char* kParams[] = {"content", "tabs"};
constexpr py::Signature kSignature{"_native", "keyword_lines", kParams, std::size(kParams), 2};

PyObject* py_keyword_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&]() -> Ref {
    py::BoundArgs<std::size(kParams)> a(kSignature, args, nargs, kwnames);
    if (!PyUnicode_Check(a[0])) py::raise_argument_type_error("content", "expected a str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(a[0], &size);
    if (utf8 == nullptr) py::throw_error_set();
    const bool tabs = py::to_bool(a[1], "tabs");
    // The views point into the str's own UTF-8 form, which lives as long as the str.
    const Lines lines = read_lines({utf8, static_cast<std::size_t>(size)}, tabs);
    Ref entries = entry_list(lines.entries);
    Ref failure = failure_tuple(lines.failure);
    return Ref::check(PyTuple_Pack(2, entries.get(), failure.get()));
  });
}

}  // namespace

PyMethodDef g_keyword_lines_functions[] = {
    {"keyword_lines", py::fastcall(py_keyword_lines), py::kFast,
     "keyword_lines(content, tabs)\n--\n\nThe entries of a keyword file of one entry per line "
     "(keyword<TAB>clean name with `tabs`), and the first malformed line or None."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace fernquill::keyword_files
