// The single-text calls with scan options: fernquill_tools.extract and
// fernquill_tools.replace reach them as _native.extract_text and
// _native.replace_text.
#pragma once

#include "exact/scan_options.hpp"
#include "module/py_support.hpp"

namespace fernquill::columns {

// extract_text(processor, text, threshold=None, words="unicode", fallback=True,
//              offsets="chars"): the matches with str indices of `text`, or
// with byte offsets into the scanned text (offsets="bytes", as the module's).
PyObject* py_extract_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// replace_text(processor, text, threshold=None, words="unicode", fallback=True)
PyObject* py_replace_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace fernquill::columns
