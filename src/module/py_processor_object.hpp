// The layout of a KeywordProcessor object and the way every binding reaches
// its engine record. The module's own methods and the companion package's
// native module both go through here, so a borrow means the same thing from
// either side.
#pragma once

#include "keyword_processor/keyword_processor.hpp"
#include "module/py_borrow.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {

// The engine record lives inline in the object, beside the borrow counter.
struct ProcessorObject {
  PyObject ob_base;
  KeywordProcessor record;
  BorrowCounter borrow;
};

// The registered type, created on first need (nullptr with an error set when
// creation fails).
PyTypeObject* keyword_processor_type();

// `obj` as a processor object, or nullptr when it is not one.
inline ProcessorObject* processor_object_or_null(PyObject* obj) {
  PyTypeObject* type = keyword_processor_type();
  if (type == nullptr) throw_error_set();
  return Py_TYPE(obj) == type ? reinterpret_cast<ProcessorObject*>(obj) : nullptr;
}

// The `processor` argument of the companion package's native calls: a
// KeywordProcessor, or the binding's conversion error naming the parameter.
inline ProcessorObject& processor_argument(PyObject* obj) {
  ProcessorObject* p = processor_object_or_null(obj);
  if (p == nullptr) {
    raise_argument_type_error(
        "processor",
        "'" + type_qualname(obj) + "' object cannot be converted to 'KeywordProcessor'");
  }
  return *p;
}

// A borrow of a processor's record for the length of a scope: shared for
// reads, exclusive for changes. Raises RuntimeError (ErrorSet) on conflict.
template <class Borrow>
class BorrowedProcessor {
 public:
  explicit BorrowedProcessor(ProcessorObject& obj) : record_(obj.record), borrow_(obj.borrow) {}
  KeywordProcessor& record() const { return record_; }

 private:
  KeywordProcessor& record_;
  Borrow borrow_;
};

}  // namespace fernquill::py
