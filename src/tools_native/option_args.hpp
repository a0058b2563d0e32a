// The options that several native calls share, read from their arguments.
#pragma once

#include "exact/scan_options.hpp"
#include "module/py_support.hpp"
#include "tools_native/column_scans.hpp"

namespace fernquill::columns {

// The options from the `words` ("ascii" or "unicode"; absent: `defaults`)
// and `fallback` (absent: `defaults`) arguments; ValueError for another
// `words`.
fernquill::ScanOptions scan_options_arg(PyObject* words, PyObject* fallback,
                                        const fernquill::ScanOptions& defaults);

// "chars" (also when absent) or "bytes"; ValueError for anything else.
OffsetUnit offsets_arg(PyObject* value);

}  // namespace fernquill::columns
