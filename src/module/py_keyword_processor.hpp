// The KeywordProcessor class.
#pragma once

#include "module/py_support.hpp"

namespace fernquill::py {

// The registered type, created on first need (nullptr with an error set when
// creation fails).
PyTypeObject* keyword_processor_type();

}  // namespace fernquill::py
