#include "arrow/py_arrow_column.hpp"

#include <string>

namespace fernquill::columns {
namespace {

using py::Ref;

struct ArrowColumnObject {
  PyObject ob_base;
  std::shared_ptr<const ResultColumn> result;
};

PyTypeObject* g_type = nullptr;

const ResultColumn& result_of(PyObject* self) {
  return *reinterpret_cast<ArrowColumnObject*>(self)->result;
}

// A capsule owning a heap copy of an Arrow struct; released when the capsule
// goes unless a consumer moved it out.
template <class T>
void capsule_destructor(PyObject* capsule) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
  if (p == nullptr) {
    PyErr_Clear();
    return;
  }
  if (p->release != nullptr) p->release(p);
  delete p;
}

template <class T, class Fill>
Ref new_capsule(const char* name, Fill&& fill) {
  auto value = std::make_unique<T>();
  fill(*value);
  PyObject* capsule = PyCapsule_New(value.get(), name, capsule_destructor<T>);
  if (capsule == nullptr) {
    if (value->release != nullptr) value->release(value.get());
    py::throw_error_set();
  }
  value.release();
  return Ref(capsule);
}

Ref schema_capsule(const ResultColumn& r) {
  return new_capsule<ArrowSchema>(arrow::kSchemaCapsule,
                                  [&](ArrowSchema& s) { r.export_schema(s); });
}

// The requested schema is a hint the producer may ignore; the result has one
// fixed type.
PyObject* ac_array(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guard([&] {
    std::shared_ptr<const ResultColumn> one = result_of(self).single_chunk();
    Ref schema = schema_capsule(*one);
    Ref array = new_capsule<ArrowArray>(arrow::kArrayCapsule,
                                        [&](ArrowArray& a) { one->export_chunk(0, a); });
    return Ref::check(PyTuple_Pack(2, schema.get(), array.get()));
  });
}

PyObject* ac_stream(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guard([&] {
    return new_capsule<ArrowArrayStream>(
        arrow::kStreamCapsule, [&](ArrowArrayStream& s) { result_of(self).export_stream(s); });
  });
}

PyObject* ac_schema(PyObject* self, PyObject*) {
  return py::guard([&] { return schema_capsule(result_of(self)); });
}

Py_ssize_t ac_len(PyObject* self) { return static_cast<Py_ssize_t>(result_of(self).rows()); }

PyObject* ac_repr(PyObject* self) {
  return py::guard([&] {
    const ResultColumn& r = result_of(self);
    return py::new_str("ArrowColumn(" + std::string(r.type_name()) +
                       ", rows=" + std::to_string(r.rows()) +
                       ", chunks=" + std::to_string(r.chunk_count()) + ")");
  });
}

void ac_dealloc(PyObject* self) {
  reinterpret_cast<ArrowColumnObject*>(self)->result.~shared_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

using py::fastcall;
using py::kFast;

PyMethodDef g_methods[] = {
    {"__arrow_c_array__", fastcall(ac_array), kFast,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\nThe column as one Arrow array "
     "(schema and array capsules). A result of several chunks is joined first."},
    {"__arrow_c_stream__", fastcall(ac_stream), kFast,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nThe column as an Arrow stream "
     "of its chunks, without copying."},
    {"__arrow_c_schema__", ac_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe column's Arrow type as a schema capsule."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("The result of a column call, in Arrow memory. Import it with "
                                  "pyarrow.chunked_array(r), pyarrow.array(r) or "
                                  "polars.Series(r).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ac_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ac_repr)},
    {Py_sq_length, reinterpret_cast<void*>(ac_len)},
    {Py_tp_methods, g_methods},
    {0, nullptr}};

PyType_Spec g_spec = {"fernquill_tools.columns.ArrowColumn", sizeof(ArrowColumnObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots};

}  // namespace

PyTypeObject* arrow_column_type() {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
  return g_type;
}

Ref new_arrow_column(std::shared_ptr<const ResultColumn> result) {
  PyTypeObject* type = arrow_column_type();
  if (type == nullptr) py::throw_error_set();
  Ref obj = Ref::check(type->tp_alloc(type, 0));
  new (&reinterpret_cast<ArrowColumnObject*>(obj.get())->result)
      std::shared_ptr<const ResultColumn>(std::move(result));
  return obj;
}

}  // namespace fernquill::columns
