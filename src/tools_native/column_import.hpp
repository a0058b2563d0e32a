// Taking a Python column in: anything exporting the Arrow PyCapsule
// interface with string, large_string or string_view values, or a plain
// sequence of str (None for a null row).
#pragma once

#include <vector>

#include "module/py_support.hpp"
#include "tools_native/string_column.hpp"

namespace fernquill::columns {

struct ImportedColumn {
  StringColumn column;
  std::vector<py::Utf8Argument> rows_kept;  // what a sequence's rows view
};

// Raises TypeError naming the type for anything else, ValueError for an
// Arrow column that contradicts its own layout.
ImportedColumn import_column(PyObject* column);

}  // namespace fernquill::columns
