// ArrowColumn: the Python object a column call returns. It holds a finished
// result and hands it out through the Arrow PyCapsule interface
// (__arrow_c_array__, __arrow_c_stream__) without copying.
#pragma once

#include <memory>

#include "arrow/arrow_export.hpp"
#include "module/py_support.hpp"

namespace fernquill::columns {

// Created once on first need; nullptr with an error set when that fails.
PyTypeObject* arrow_column_type();
py::Ref new_arrow_column(std::shared_ptr<const ResultColumn> result);

}  // namespace fernquill::columns
