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

constexpr const char* kArrowArrayParams[] = {"type"};
constexpr py::Signature arrow_array_sig{"ArrowColumn", "__arrow_array__", kArrowArrayParams, 1,
                                        0};

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

// pyarrow.array(r) asks for __arrow_array__ before the capsules: a result
// of several chunks is joined into one array (large types past 2**31) and
// handed over as a one-chunk ArrowColumn, which pyarrow imports through
// __arrow_c_array__. `type` casts the array, as pyarrow asks.
PyObject* ac_arrow_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return py::guard([&] {
    py::BoundArgs<1> a(arrow_array_sig, args, nargs, kwnames);
    Ref pyarrow = Ref::check(PyImport_ImportModule("pyarrow"));
    Ref one = new_arrow_column(result_of(self).single_chunk());
    Ref array = Ref::check(PyObject_CallMethod(pyarrow.get(), "array", "O", one.get()));
    if (a[0] == nullptr || a[0] == Py_None) return array;
    return Ref::check(PyObject_CallMethod(array.get(), "cast", "O", a[0]));
  });
}

// The two ways to one array are offered each where it pays. Polars asks for
// __arrow_c_array__ first when it is there, which would join a result of
// several chunks (one copy of it all); without it Polars reads the stream
// and keeps the chunks as they are. pyarrow.array finds __arrow_array__ on
// such a result instead. A result of one chunk offers __arrow_c_array__,
// which copies nothing.
bool hidden(const ResultColumn& r, PyObject* name) {
  const bool one = r.chunk_count() == 1;
  const char* hide = one ? "__arrow_array__" : "__arrow_c_array__";
  return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, hide) == 0;
}

PyObject* ac_getattro(PyObject* self, PyObject* name) {
  if (hidden(result_of(self), name)) {
    PyErr_Format(PyExc_AttributeError, "'%s' of %zu chunk(s) has no attribute '%U'",
                 Py_TYPE(self)->tp_name, result_of(self).chunk_count(), name);
    return nullptr;
  }
  return PyObject_GenericGetAttr(self, name);
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
     "(schema and array capsules), without copying. Only on a result of one chunk."},
    {"__arrow_array__", fastcall(ac_arrow_array), kFast,
     "__arrow_array__($self, type=None)\n--\n\nThe chunks joined into one pyarrow Array "
     "(large types past 2**31 bytes), for pyarrow.array(r). Only on a result of several "
     "chunks."},
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
    {Py_tp_getattro, reinterpret_cast<void*>(ac_getattro)},
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
