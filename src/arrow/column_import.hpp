// Taking a Python column in: anything exporting the Arrow PyCapsule
// interface with string, large_string or string_view values, or a plain
// sequence of str (None for a null row).
#pragma once

#include <vector>

#include "arrow/string_column.hpp"
#include "module/py_support.hpp"

namespace fernquill::columns {

struct ImportedColumn {
  StringColumn column;
  std::vector<py::Utf8Argument> rows_kept;  // what a sequence's rows view

  ImportedColumn() = default;
  ImportedColumn(ImportedColumn&&) = default;
  ImportedColumn& operator=(ImportedColumn&&) = default;
  ~ImportedColumn();
};

// Sets a pending Python error aside for its life and puts it back after.
// A producer's release callback may run Python code (a ctypes or cffi
// callback does), which must not find, eat or replace the error of the call
// that is unwinding; whatever it leaves set is dropped.
class PendingErrorKept {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingErrorKept() : error_(PyErr_GetRaisedException()) {}
  ~PendingErrorKept() { PyErr_SetRaisedException(error_); }
#else
  PendingErrorKept() { PyErr_Fetch(&type_, &error_, &traceback_); }
  ~PendingErrorKept() { PyErr_Restore(type_, error_, traceback_); }
#endif
  PendingErrorKept(const PendingErrorKept&) = delete;
  PendingErrorKept& operator=(const PendingErrorKept&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* error_ = nullptr;
};

// Calls an Arrow struct's release, if it has not been released yet, with
// any pending Python error kept.
template <class T>
void release_keeping_error(T& value) {
  if (value.release == nullptr) return;
  PendingErrorKept kept;
  value.release(&value);
}

// Raises TypeError naming the type for anything else, ValueError for an
// Arrow column that contradicts its own layout.
ImportedColumn import_column(PyObject* column);

}  // namespace fernquill::columns
