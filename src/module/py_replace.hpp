// replace_keywords for one str: the result is built straight from the input
// str and the clean names, never as a whole UTF-8 copy first.
#pragma once

#include "keyword_processor/keyword_processor.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {

Ref replace_in_str(const KeywordProcessor& processor, PyObject* text, PyObject* threshold);

}  // namespace fernquill::py
