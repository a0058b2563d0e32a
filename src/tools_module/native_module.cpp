// fernquill_tools._native: the companion package's native calls. It links
// the same engine library as the fernquill module and reaches a processor's
// engine record through the module's own object layout and borrow guards.
//
// Column calls, in order: bind, check the processor's type, take a shared
// borrow (held to the end), check the threshold, import the column, scan on
// the pool with the interpreter lock released, build the result, then let a
// pending Ctrl-C through.
#include <string_view>

#include "arrow/column_import.hpp"
#include "arrow/py_arrow_column.hpp"
#include "columns/column_scans.hpp"
#include "keyword_processor/extract.hpp"
#include "module/py_processor_object.hpp"
#include "module/py_support.hpp"
#include "tools_module/option_args.hpp"
#include "tools_module/py_cli_writer.hpp"
#include "tools_module/whole_word_calls.hpp"

namespace fernquill::columns {
namespace {

using py::Ref;

constexpr const char* kClassName = "columns";

// A column call's body, with MalformedColumn reported as ValueError.
template <class F>
PyObject* column_guard(F&& body) {
  return py::guard([&]() -> Ref {
    try {
      return body();
    } catch (const MalformedColumn& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
      py::throw_error_set();
    }
  });
}

#define SIGNATURE(name, required, ...)                                   \
  constexpr const char* name##_params[] = {__VA_ARGS__};                 \
  constexpr py::Signature name##_sig {                                   \
    kClassName, #name, name##_params, std::size(name##_params), required \
  }
SIGNATURE(extract, 2, "processor", "column", "threshold", "offsets", "words", "fallback");
SIGNATURE(replace, 2, "processor", "column", "threshold", "words", "fallback");
SIGNATURE(count, 2, "processor", "column", "threshold", "words", "fallback");
SIGNATURE(names, 2, "processor", "column", "threshold", "words", "fallback");
SIGNATURE(contains, 2, "processor", "column", "threshold", "words", "fallback");
#undef SIGNATURE

// The parameters every column call has; a call with one more takes
// `offsets` fourth.
constexpr int kCommonParams = 5;

// The steps of every column call; run(record, column, threshold, options)
// returns the Python result.
template <int kParams, class Run>
PyObject* column_call(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Run&& run) {
  return column_guard([&] {
    py::BoundArgs<kParams> a(sig, args, nargs, kwnames);
    ColumnOptions options;
    if constexpr (kParams > kCommonParams) options.offsets = offsets_arg(a[3]);
    options.scan = scan_options_arg(a[kParams - 2], a[kParams - 1]);
    py::ProcessorObject& obj = py::processor_argument(a[0]);
    Ref keep_processor = Ref::borrowed(a[0]);
    py::BorrowedProcessor<py::SharedBorrow> borrowed(obj);
    const float t = checked_threshold(py::to_optional_f32(a[2], "threshold"));
    ImportedColumn in = import_column(a[1]);
    Ref result = run(borrowed.record(), in.column, t, options);
    if (PyErr_CheckSignals() < 0) py::throw_error_set();
    return result;
  });
}

// A column call whose result is an Arrow column, which `make` builds.
template <const py::Signature& kSig, auto make>
PyObject* arrow_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return column_call<kSig.count>(
      kSig, args, nargs, kwnames, [](auto& record, auto& column, float t, auto& options) {
        return new_arrow_column(make(record, column, t, options));
      });
}

PyObject* py_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return column_call<std::size(count_params)>(
      count_sig, args, nargs, kwnames, [](auto& record, auto& column, float t, auto& options) {
        const NameCounts counts = count_column(record, column, t, options);
        Ref dict = Ref::check(PyDict_New());
        for (const auto& [name, n] : counts) {
          Ref value = Ref::check(PyLong_FromUnsignedLongLong(n));
          Ref key = py::new_str(name);
          if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) py::throw_error_set();
        }
        return dict;
      });
}

using py::fastcall;
using py::kFast;

PyMethodDef g_functions[] = {
    {"extract", fastcall(arrow_call<extract_sig, extract_column>), kFast,
     "extract(processor, column, threshold=None, offsets='chars', words='unicode', "
     "fallback=None)\n--\n\n"},
    {"replace", fastcall(arrow_call<replace_sig, replace_column>), kFast,
     "replace(processor, column, threshold=None, words='unicode', fallback=None)\n--\n\n"},
    {"count", fastcall(py_count), kFast,
     "count(processor, column, threshold=None, words='unicode', fallback=None)\n--\n\n"},
    {"names", fastcall(arrow_call<names_sig, names_column>), kFast,
     "names(processor, column, threshold=None, words='unicode', fallback=None)\n--\n\n"},
    {"contains", fastcall(arrow_call<contains_sig, contains_column>), kFast,
     "contains(processor, column, threshold=None, words='unicode', fallback=None)\n--\n\n"},
    {"extract_text", fastcall(py_extract_text), kFast,
     "extract_text(processor, text, threshold=None, words='unicode', fallback=None, "
     "offsets='chars')\n--\n\n"},
    {"replace_text", fastcall(py_replace_text), kFast,
     "replace_text(processor, text, threshold=None, words='unicode', fallback=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT,
                            "fernquill_tools._native",
                            "Native calls of the fernquill companion package.",
                            0,
                            g_functions,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};

PyObject* init() {
  return py::guard([]() -> Ref {
    // The processor type and the PanicException class are the fernquill
    // module's; importing it first makes sure they are the ones we see.
    Ref fernquill = Ref::check(PyImport_ImportModule("fernquill"));
    Ref module = Ref::check(PyModule_Create(&g_module_def));
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) py::throw_error_set();
#endif
    PyObject* column_type = reinterpret_cast<PyObject*>(arrow_column_type());
    if (column_type == nullptr ||
        PyModule_AddObjectRef(module.get(), "ArrowColumn", column_type) < 0 ||
        PyModule_AddFunctions(module.get(), cli::g_cli_writer_functions) < 0) {
      py::throw_error_set();
    }
    return module;
  });
}

}  // namespace
}  // namespace fernquill::columns

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return fernquill::columns::init();
}
