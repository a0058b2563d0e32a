#include "module/py_support.hpp"

#include <cfloat>
#include <cmath>

namespace fernquill::py {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    // Named after the pure-Python companion package, which exports the class,
    // so that pickle finds it there (the extension module has no such attribute).
    type = PyErr_NewExceptionWithDoc(
        "fernquill_tools.PanicException",
        "Raised when fernquill meets an internal fault (for example an invalid threshold or a "
        "malformed pickled state).\n\nIt derives from BaseException, not Exception, so a bare "
        "`except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed; its error is pending
  PyErr_SetString(type, message);
}

std::string type_qualname(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void raise_borrow_error(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  throw_error_set();
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_error_set();
}

void raise_argument_type_error(const char* param, const std::string& message) {
  std::string text = std::string("argument '") + param + "': " + message;
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw_error_set();
}

namespace {

// The pending exception as one (normalised) object; the pending state is cleared.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
#endif
}

}  // namespace

void raise_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error_set();
  Ref owned_value = take_raised_exception();
  PyObject* value = owned_value.get();
  Ref message(PyObject_Str(value));
  if (!message) throw_error_set();
  Ref text = Ref::check(PyUnicode_FromFormat("argument '%s': %U", param, message.get()));
  Ref wrapped = Ref::check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  // The new error keeps the original's cause (none when it had none).
  PyException_SetCause(wrapped.get(), PyException_GetCause(value));
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  throw_error_set();
}

namespace {

std::string full_name(const Signature& sig) {
  return std::string(sig.class_name) + "." + sig.func_name + "()";
}

[[noreturn]] void raise_too_many(const Signature& sig, Py_ssize_t given) {
  std::string msg = full_name(sig) + " takes ";
  if (sig.required == sig.count) {
    msg += std::to_string(sig.count);
  } else {
    msg += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  }
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
  raise_type_error(msg);
}

// Matches one keyword argument to its parameter slot.
void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) {
      if (out[i] != nullptr) {
        raise_type_error(full_name(sig) + " got multiple values for argument '" + sig.params[i] +
                         "'");
      }
      out[i] = value;
      return;
    }
  }
  Ref text(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                full_name(sig).c_str(), name));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  throw_error_set();
}

void check_required(const Signature& sig, PyObject** out) {
  int missing = 0;
  for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return;
  std::string names;
  int seen = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    ++seen;
    if (seen > 1) names += missing > 2 ? (seen == missing ? ", and " : ", ") : " and ";
    names += std::string("'") + sig.params[i] + "'";
  }
  raise_type_error(full_name(sig) + " missing " + std::to_string(missing) +
                   " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                   names);
}

}  // namespace

void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  if (nargs > sig.count) raise_too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
  }
  check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) raise_too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(sig, name, value, out);
  }
  check_required(sig, out);
}

Utf8Argument::Utf8Argument(PyObject* value, const char* param, Utf8Copy copy) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type_error(
        param, "'" + type_qualname(value) + "' object cannot be converted to 'PyString'");
  }
#if PY_VERSION_HEX < 0x030C0000
  // Before 3.12 a str made through the old wide-character API has no
  // canonical form until it is made ready.
  if (PyUnicode_READY(value) < 0) raise_argument_error(param);
#endif
  if (PyUnicode_IS_ASCII(value)) {
    holder_ = Ref::borrowed(value);
    bytes_ = {static_cast<const char*>(PyUnicode_DATA(value)),
              static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))};
    return;
  }
  if (copy == Utf8Copy::kCached) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) raise_argument_error(param);
    holder_ = Ref::borrowed(value);
    bytes_ = {utf8, static_cast<std::size_t>(size)};
    return;
  }
  holder_ = Ref(PyUnicode_AsUTF8String(value));
  if (!holder_) raise_argument_error(param);
  bytes_ = {PyBytes_AS_STRING(holder_.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(holder_.get()))};
}

std::optional<Utf8Argument> to_optional_text(PyObject* value, const char* param, Utf8Copy copy) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return Utf8Argument(value, param, copy);
}

std::uint32_t to_char(PyObject* value, const char* param) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type_error(
        param, "'" + type_qualname(value) + "' object cannot be converted to 'PyString'");
  }
  if (PyUnicode_GET_LENGTH(value) != 1) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    throw_error_set();
  }
  return PyUnicode_READ_CHAR(value, 0);
}

namespace {

bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

bool to_bool(PyObject* value, const char* param) {
  if (value == nullptr || value == Py_None || value == Py_False) return false;
  if (value == Py_True) return true;
  if (is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) raise_argument_error(param);
    return truth == 1;
  }
  raise_argument_type_error(
      param, "'" + type_qualname(value) + "' object cannot be converted to 'PyBool'");
}

std::string_view to_bytes(PyObject* value, const char* param) {
  if (!PyBytes_Check(value)) {
    raise_argument_type_error(
        param, "'" + type_qualname(value) + "' object cannot be converted to 'PyBytes'");
  }
  return {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
}

float narrow_to_f32(double v) {
  // Halfway between FLT_MAX and the next power of two rounds (to even) up to
  // infinity; casting values beyond the float range is undefined in C++.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isfinite(v) && std::fabs(v) >= kOverflow) {
    return std::copysign(HUGE_VALF, static_cast<float>(std::copysign(1.0, v)));
  }
  return static_cast<float>(v);
}

float to_f32(PyObject* value, const char* param) {
  double v;
  if (PyFloat_CheckExact(value)) {
    v = PyFloat_AS_DOUBLE(value);
  } else {
    v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) raise_argument_error(param);
  }
  return narrow_to_f32(v);
}

std::optional<float> to_optional_f32(PyObject* value, const char* param) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return to_f32(value, param);
}

PyTypeObject* class_type(PyTypeObject*& kept, const ClassParts& parts) {
  if (kept != nullptr) return kept;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(parts.doc)},
      {Py_tp_new, reinterpret_cast<void*>(parts.new_object)},
      {Py_tp_dealloc, reinterpret_cast<void*>(parts.dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(parts.repr)},
      {Py_tp_methods, parts.methods},
      {Py_tp_getset, parts.getset},
      {Py_sq_length, reinterpret_cast<void*>(parts.length)},
      {0, nullptr},
  };
  // Slots other than the docstring may not be null: move the given ones together.
  std::size_t given = 0;
  for (const PyType_Slot& s : slots) {
    if (s.slot == 0 || s.pfunc != nullptr) slots[given++] = s;
  }
  PyType_Spec type_spec = {parts.name, parts.size, 0, Py_TPFLAGS_DEFAULT, slots};
  kept = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return kept;
}

Ref new_str(std::string_view utf8) {
  return Ref::check(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

}  // namespace fernquill::py
