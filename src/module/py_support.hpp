// Small RAII helpers over the CPython C API shared by every method: owned
// references, the error/fault guard, the argument binder, the shared
// conversions with their wrapping rule; the borrow guards come with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "module/py_borrow.hpp"
#include "support/fault.hpp"
#include "support/interrupt.hpp"

namespace fernquill::py {

// Thrown when a Python exception has been set and the call must unwind.
struct ErrorSet {};

[[noreturn]] inline void throw_error_set() { throw ErrorSet{}; }

// For the life of a long call on this thread, which holds the interpreter
// lock: the engine's cancellation points look for signals about every
// Interrupt::kPeriod of work (and so does the thread while it waits on the
// pool, whose workers stop with it). A handler that raises (Ctrl-C's
// KeyboardInterrupt) ends the call with its exception; a scan only reads the
// processor, so it is left as it was.
class SignalChecks {
 public:
  SignalChecks() : token_(&check, nullptr), scope_(token_) {}
  SignalChecks(const SignalChecks&) = delete;
  SignalChecks& operator=(const SignalChecks&) = delete;
  Interrupt& token() { return token_; }

 private:
  static void check(void*) {
    if (PyErr_CheckSignals() < 0) throw_error_set();
  }
  Interrupt token_;
  InterruptScope scope_;
};

// An owned (strong) reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  static Ref borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes a new reference returned by an API call, throwing if it is NULL.
  static Ref check(PyObject* owned) {
    if (owned == nullptr) throw_error_set();
    return Ref(owned);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// The PanicException class, created once on first use.
PyObject* panic_exception_type();
void raise_panic(const char* message);

// Runs `body` and turns every C++ failure into a pending Python exception:
// ErrorSet keeps the exception already set, Fault and other C++ exceptions
// become PanicException, exhausted memory becomes MemoryError.
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const ErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Fault& f) {
    raise_panic(f.what());
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal fault");
  }
  return on_error;
}

template <class F>
PyObject* guard(F&& body) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

// "__qualname__" of an object's type, as used in conversion messages.
std::string type_qualname(PyObject* obj);

[[noreturn]] void raise_type_error(const std::string& message);

// Re-raises a pending TypeError as "argument '{param}': {message}" keeping the
// original's __cause__; any other pending exception passes unchanged.
[[noreturn]] void raise_argument_error(const char* param);
// Raises TypeError "argument '{param}': {message}".
[[noreturn]] void raise_argument_type_error(const char* param, const std::string& message);

// Describes a callable's parameters for the binder and its messages.
struct Signature {
  const char* class_name;
  const char* func_name;
  const char* const* params;
  int count;
  int required;
};

// Binds arguments to parameters; slot i holds a borrowed reference to the
// value of parameter i, or nullptr when it was not given.
template <int N>
class BoundArgs {
 public:
  BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs);
  PyObject* operator[](int i) const { return values_[i]; }

 private:
  PyObject* values_[N] = {};
};

void bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <int N>
BoundArgs<N>::BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  bind_vector(sig, args, nargs, kwnames, values_);
}
template <int N>
BoundArgs<N>::BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs) {
  bind_tuple(sig, args, kwargs, values_);
}

// Where the UTF-8 form of a non-ASCII str comes from (an ASCII str is its own
// UTF-8 and is always read in place).
//
// kCached is CPython's cached copy (PyUnicode_AsUTF8AndSize): made once and
// kept on the caller's str for the str's whole life. A match keeps its
// keyword's str and reads its UTF-8 for every repr and pickle, so it takes
// this one. So do the scans that only read a text (extract_keywords and both
// batch methods): a
// text scanned again, by the same processor or another, skips the encoding,
// which is 9 to 16% of the instructions of a call on 100 KB of Latin-1, two-
// or four-byte text with 1k keywords (callgrind), 8 to 20% of its time at
// 1 KB and 1 MB, and 19% on the 22.6 MB benchmark corpus (one four-byte
// character makes it a four-byte str). The price is memory: the str carries
// its UTF-8 size (plus one) until it dies, as much again as its own
// characters for a Latin-1 str, half for a two-byte one
// (bench/bench_utf8_argument.py prints both, per kind of str).
//
// kPrivate is made for the call and dropped with the Utf8Argument (or by
// release()). replace_keywords uses it, dropping it before the result is
// built, so that a call never holds the input's UTF-8, the lower-cased text
// and the result at once; so do keywords and clean names, which the store
// copies anyway.
enum class Utf8Copy { kCached, kPrivate };

// The UTF-8 bytes of a str argument, valid for as long as this object lives
// (it keeps a reference to whatever holds them). Every text argument is read
// through it.
class Utf8Argument {
 public:
  // Raises TypeError (wrapped with `param`) for a non-str, and the encoding
  // error unchanged for a str with lone surrogates.
  Utf8Argument(PyObject* value, const char* param, Utf8Copy copy);
  std::string_view bytes() const { return bytes_; }
  void release() {
    holder_ = Ref();
    bytes_ = {};
  }

 private:
  Ref holder_;  // the str itself, or the bytes of a private copy
  std::string_view bytes_;
};

// Conversions. Each raises (and throws ErrorSet) with the wrapped message.
std::optional<Utf8Argument> to_optional_text(PyObject* value, const char* param, Utf8Copy copy);
inline std::optional<std::string_view> bytes_of(const std::optional<Utf8Argument>& text) {
  if (!text) return std::nullopt;
  return text->bytes();
}
std::uint32_t to_char(PyObject* value, const char* param);
bool to_bool(PyObject* value, const char* param);  // nullptr and None are false
std::string_view to_bytes(PyObject* value, const char* param);
// A float narrowed to 32 bits; nullptr and None give nothing.
std::optional<float> to_optional_f32(PyObject* value, const char* param);
float to_f32(PyObject* value, const char* param);
// Double to float rounding to nearest, with overflow to infinity.
float narrow_to_f32(double v);

// Converts `value` as a sequence (never a str) by iterating it, calling
// item(obj) for each item. on_size(n) first receives the reported length (0
// when asking fails), as a hint for reserving room.
template <class OnSize, class Item>
void for_each_in_sequence(PyObject* value, const char* param, OnSize&& on_size, Item&& item);

Ref new_str(std::string_view utf8);

// A new bytes object of exactly `size` bytes filled in place by fill(span).
template <class Fill>
Ref new_bytes(std::size_t size, Fill&& fill) {
  Ref bytes = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  fill(std::span<char>(PyBytes_AS_STRING(bytes.get()), size));
  return bytes;
}

// Checks that `self` is an instance of `type` (named `class_name`) and returns
// it as the object struct T.
template <class T>
T& self_as(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (Py_TYPE(self) != type) {
    raise_type_error("'" + type_qualname(self) + "' object cannot be converted to '" + class_name +
                     "'");
  }
  return *reinterpret_cast<T*>(self);
}

inline Ref none() { return Ref::borrowed(Py_None); }

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table holds.
template <class F>
constexpr PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// What one of the module's classes is made of. Both are closed (no
// subclasses, no __dict__, no weak references, no garbage collection); a
// slot left null is not given.
struct ClassParts {
  const char* name;  // "fernquill.<class>", kept by the type as it is
  int size;
  const char* doc;  // the constructor's text signature
  newfunc new_object;
  destructor dealloc;
  reprfunc repr;
  PyMethodDef* methods;
  PyGetSetDef* getset = nullptr;
  lenfunc length = nullptr;
};

// The class made from `parts` on first need into `kept`, and kept for the
// life of the process. nullptr with the error set when making it fails (a
// later call tries again).
PyTypeObject* class_type(PyTypeObject*& kept, const ClassParts& parts);

template <class OnSize, class Item>
void for_each_in_sequence(PyObject* value, const char* param, OnSize&& on_size, Item&& item) {
  if (PyUnicode_Check(value)) raise_argument_type_error(param, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) {
    raise_argument_type_error(
        param, "'" + type_qualname(value) + "' object cannot be converted to 'Sequence'");
  }
  Py_ssize_t n = PySequence_Size(value);
  if (n < 0) {
    // The length is a hint only, so an ordinary error asking for it is
    // dropped; KeyboardInterrupt, SystemExit and the like are not errors of
    // the hint and go to the caller.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_set();
    PyErr_Clear();
  }
  on_size(n < 0 ? Py_ssize_t{0} : n);
  Ref iter(PyObject_GetIter(value));
  if (!iter) raise_argument_error(param);
  while (true) {
    Ref obj(PyIter_Next(iter.get()));
    if (!obj) {
      if (PyErr_Occurred()) raise_argument_error(param);
      break;
    }
    item(obj.get());
  }
}

}  // namespace fernquill::py
