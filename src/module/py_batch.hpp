// The batch methods: convert every text, run the engine on the worker pool,
// then build the Python results on the calling thread.
#pragma once

#include "keyword_processor/keyword_processor.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {

Ref batch_extract(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold);
Ref batch_replace(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold);

}  // namespace fernquill::py
