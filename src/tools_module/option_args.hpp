// The options that several native calls share, read from their arguments.
#pragma once

#include "columns/column_scans.hpp"
#include "exact/scan_options.hpp"
#include "module/py_support.hpp"

namespace fernquill::columns {

// The options from the `words` ("ascii" or "unicode", the default) and
// `fallback` (absent or None: on exactly with "unicode") arguments;
// ValueError for another `words`.
fernquill::ScanOptions scan_options_arg(PyObject* words, PyObject* fallback);

// "chars" (also when absent) or "bytes"; ValueError for anything else.
OffsetUnit offsets_arg(PyObject* value);

}  // namespace fernquill::columns
