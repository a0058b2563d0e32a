#include "module/py_keyword_match.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "state/match_state.hpp"

namespace fernquill::py {
namespace {

// The object form of a match. The keyword is an exact str, so a call that
// makes many matches of one keyword can let them all refer to one str.
struct MatchObject {
  PyObject ob_base;
  PyObject* keyword;  // owned
  float similarity;
  std::size_t start;
  std::size_t end;
  BorrowCounter borrow;
};

PyTypeObject* g_type = nullptr;

MatchObject& self_match(PyObject* self) {
  return self_as<MatchObject>(self, g_type, "PyKeywordMatch");
}

// Memory of freed matches, kept for the next call: extraction makes and
// drops match objects by the hundred thousand, and handing their pages back
// to the allocator only for the next call to fault them in again costs more
// than the objects themselves. The freed blocks are chained through their
// first word, under the interpreter lock. Without one, the allocator's
// per-thread heaps keep their pages already, and one list shared by every
// thread would make scans on several threads queue for it.
#ifdef Py_GIL_DISABLED
void* take_memory() { return PyObject_Malloc(sizeof(MatchObject)); }
void keep_memory(void* memory) { PyObject_Free(memory); }
#else
constexpr std::size_t kKeptMatches = std::size_t{1} << 20;  // about 48 MiB at most
struct FreeBlock {
  FreeBlock* next;
};
FreeBlock* g_free_head = nullptr;
std::size_t g_free_count = 0;

void* take_memory() {
  if (g_free_head == nullptr) return PyObject_Malloc(sizeof(MatchObject));
  FreeBlock* block = g_free_head;
  g_free_head = block->next;
  --g_free_count;
  return block;
}

void keep_memory(void* memory) {
  if (g_free_count >= kKeptMatches) {
    PyObject_Free(memory);
    return;
  }
  g_free_head = new (memory) FreeBlock{g_free_head};
  ++g_free_count;
}
#endif

// A keyword argument or attribute value as the str a match holds: converted
// (and refused) as text, and copied only when it is a subclass of str.
Ref keyword_str(PyObject* value, const char* param) {
  const Utf8Argument text(value, param, Utf8Copy::kCached);
  if (PyUnicode_CheckExact(value)) return Ref::borrowed(value);
  return new_str(text.bytes());
}

// The keyword's UTF-8 text; the str caches it, so this copies nothing after
// the first time.
std::string_view keyword_text(const MatchObject& m) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(m.keyword, &size);
  if (utf8 == nullptr) throw_error_set();
  return {utf8, static_cast<std::size_t>(size)};
}

// Instances hold no reference to their type. The type is made once and kept
// for the life of the process (class_type never lets it go), so it outlives
// every instance, and it cannot be subclassed, so every instance is made
// here. A count of instances on the type would be one more write per match
// to memory that every thread shares: on free-threaded builds an atomic add
// on one cache line, which two threads making matches at once fight over.
inline void init_object(PyObject* op, PyTypeObject* type) {
  Py_SET_TYPE(op, type);
  _Py_NewReference(op);
}

// A new instance holding a new reference to `keyword` (an exact str), or
// null with MemoryError set. The object holds no reference that could close
// a cycle (only a str), so it is not tracked by the garbage collector: plain
// object memory is all it needs.
inline PyObject* make_match(PyTypeObject* type, PyObject* keyword, float similarity,
                            std::size_t start, std::size_t end) {
  void* memory = take_memory();
  if (memory == nullptr) return PyErr_NoMemory();
  auto* m = static_cast<MatchObject*>(memory);
  init_object(&m->ob_base, type);
  Py_INCREF(keyword);
  m->keyword = keyword;
  m->similarity = similarity;
  m->start = start;
  m->end = end;
  init_borrow_counter(&m->borrow);
  return &m->ob_base;
}

// Allocates an instance and fills its fields; takes over `keyword`.
Ref allocate(PyTypeObject* type, Ref keyword, float similarity, std::size_t start,
             std::size_t end) {
  Ref obj(make_match(type, keyword.get(), similarity, start, end));
  if (!obj) throw_error_set();
  return obj;
}

void dealloc(PyObject* self) {
  auto* m = reinterpret_cast<MatchObject*>(self);
  Py_DECREF(m->keyword);
  keep_memory(self);
}

// start and end: unsigned 64-bit through the interpreter, then pointer-sized.
std::size_t to_offset(PyObject* value, const char* param) {
  Ref index;
  if (!PyLong_Check(value)) {
    index = Ref(PyNumber_Index(value));
    if (!index) raise_argument_error(param);
    value = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_argument_error(param);
  if (v > SIZE_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw_error_set();
  }
  return static_cast<std::size_t>(v);
}

constexpr const char* kNewParams[] = {"keyword", "similarity", "start", "end"};
constexpr Signature kNewSig{"PyKeywordMatch", "__new__", kNewParams, 4, 4};
constexpr const char* kStateParams[] = {"state"};
constexpr Signature kSetStateSig{"PyKeywordMatch", "__setstate__", kStateParams, 1, 1};

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    BoundArgs<4> a(kNewSig, args, kwargs);
    Ref keyword = keyword_str(a[0], "keyword");
    float similarity = to_f32(a[1], "similarity");
    std::size_t start = to_offset(a[2], "start");
    std::size_t end = to_offset(a[3], "end");
    return allocate(type, std::move(keyword), similarity, start, end);
  });
}

Ref similarity_object(float similarity) {
  return Ref::check(PyFloat_FromDouble(static_cast<double>(similarity)));
}

Ref offset_object(std::size_t v) { return Ref::check(PyLong_FromSize_t(v)); }

PyObject* match_repr(PyObject* self) {
  return guard([&] {
    MatchObject& m = self_match(self);
    SharedBorrow borrow(m.borrow);
    std::string text = "KeywordMatch(keyword='" + std::string(keyword_text(m)) +
                       "', similarity=" + format_similarity(m.similarity) +
                       ", start=" + std::to_string(m.start) + ", end=" + std::to_string(m.end) +
                       ")";
    return new_str(text);
  });
}

PyObject* match_getstate(PyObject* self, PyObject*) {
  return guard([&] {
    MatchObject& m = self_match(self);
    SharedBorrow borrow(m.borrow);
    const std::string_view keyword = keyword_text(m);
    return new_bytes(match_state_size(keyword.size()), [&](std::span<char> out) {
      write_match_state(out, keyword, m.similarity, m.start, m.end);
    });
  });
}

PyObject* match_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard([&] {
    BoundArgs<1> a(kSetStateSig, args, nargs, kwnames);
    MatchObject& m = self_match(self);
    ExclusiveBorrow borrow(m.borrow);
    MatchFields fields = decode_match_state(to_bytes(a[0], "state"));
    Ref keyword = new_str(fields.keyword);
    Ref old(std::exchange(m.keyword, keyword.release()));
    m.similarity = fields.similarity;
    m.start = fields.start;
    m.end = fields.end;
    return none();
  });
}

PyObject* match_getnewargs(PyObject* self, PyObject*) {
  return guard([&] {
    MatchObject& m = self_match(self);
    SharedBorrow borrow(m.borrow);
    Ref keyword = Ref::borrowed(m.keyword);
    Ref similarity = similarity_object(m.similarity);
    Ref start = offset_object(m.start);
    Ref end = offset_object(m.end);
    return Ref::check(PyTuple_Pack(4, keyword.get(), similarity.get(), start.get(), end.get()));
  });
}

// Attribute access. Setters convert before they borrow, so a conversion that
// runs Python code (__float__, __index__) never meets the setter's own borrow.
enum Field { kKeyword, kSimilarity, kStart, kEnd };
constexpr const char* kFieldNames[] = {"keyword", "similarity", "start", "end"};

PyObject* get_field(PyObject* self, void* closure) {
  return guard([&] {
    MatchObject& m = self_match(self);
    SharedBorrow borrow(m.borrow);
    switch (static_cast<Field>(reinterpret_cast<std::intptr_t>(closure))) {
      case kKeyword:
        return Ref::borrowed(m.keyword);
      case kSimilarity:
        return similarity_object(m.similarity);
      case kStart:
        return offset_object(m.start);
      case kEnd:
        break;
    }
    return offset_object(m.end);
  });
}

int set_field(PyObject* self, PyObject* value, void* closure) {
  return guard<int>(-1, [&] {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      throw_error_set();
    }
    auto field = static_cast<Field>(reinterpret_cast<std::intptr_t>(closure));
    const char* name = kFieldNames[field];
    MatchObject& m = self_match(self);
    switch (field) {
      case kKeyword: {
        Ref keyword = keyword_str(value, name);
        ExclusiveBorrow borrow(m.borrow);
        Ref old(std::exchange(m.keyword, keyword.release()));
        break;
      }
      case kSimilarity: {
        float similarity = to_f32(value, name);
        ExclusiveBorrow borrow(m.borrow);
        m.similarity = similarity;
        break;
      }
      case kStart:
      case kEnd: {
        std::size_t v = to_offset(value, name);
        ExclusiveBorrow borrow(m.borrow);
        (field == kStart ? m.start : m.end) = v;
        break;
      }
    }
    return 0;
  });
}

#define FIELD(id) \
  {kFieldNames[id], get_field, set_field, nullptr, reinterpret_cast<void*>(std::intptr_t{id})}
PyGetSetDef g_getset[] = {FIELD(kKeyword),
                          FIELD(kSimilarity),
                          FIELD(kStart),
                          FIELD(kEnd),
                          {nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef FIELD

PyMethodDef g_methods[] = {
    {"__setstate__", fastcall(match_setstate), kFast, "__setstate__($self, state)\n--\n\n"},
    {"__getstate__", match_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__getnewargs__", match_getnewargs, METH_NOARGS, "__getnewargs__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constexpr ClassParts kParts = {
    .name = "fernquill.PyKeywordMatch",
    .size = sizeof(MatchObject),
    .doc = "PyKeywordMatch(keyword, similarity, start, end)\n--\n\n",
    .new_object = match_new,
    .dealloc = dealloc,
    .repr = match_repr,
    .methods = g_methods,
    .getset = g_getset,
};

}  // namespace

PyTypeObject* keyword_match_type() { return class_type(g_type, kParts); }

PyTypeObject* checked_match_type() {
  PyTypeObject* type = keyword_match_type();
  if (type == nullptr) throw_error_set();
  return type;
}

PyObject* MatchObjects::make(const KeywordMatch& m) {
  PyObject* obj = make_match(type_, names_.get(m.keyword), m.similarity, m.start, m.end);
  if (obj == nullptr) throw_error_set();
  return obj;
}

MatchListBuilder::~MatchListBuilder() {
  for (PyObject* obj : objects_) Py_DECREF(obj);
}

void MatchListBuilder::add(std::span<const KeywordMatch> piece) {
  if (objects_.capacity() - objects_.size() < piece.size()) {
    objects_.reserve(std::max(objects_.size() + piece.size(), objects_.capacity() * 2));
  }
  for (const KeywordMatch& m : piece) objects_.push_back(make_.make(m));
}

Ref MatchListBuilder::finish() {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(objects_.size())));
  // The list takes over the references.
  Py_ssize_t i = 0;
  for (PyObject* obj : objects_) PyList_SET_ITEM(list.get(), i++, obj);
  objects_.clear();
  return list;
}

NameStrs::~NameStrs() {
  for (Entry& e : table_) Py_XDECREF(e.str);
}

std::size_t NameStrs::slot_of(const char* data) const {
  // Fibonacci hashing of the address; its low bits are alignment.
  const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(data));
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> 32) & (table_.size() - 1);
}

void NameStrs::grow() {
  constexpr std::size_t kFirstSize = 64;
  std::vector<Entry> bigger(table_.empty() ? kFirstSize : table_.size() * 2);
  bigger.swap(table_);
  for (const Entry& e : bigger) {
    if (e.str == nullptr) continue;
    std::size_t at = slot_of(e.data);
    while (table_[at].str != nullptr) at = (at + 1) & (table_.size() - 1);
    table_[at] = e;
  }
}

PyObject* NameStrs::add(std::string_view name) {
  if ((used_ + 1) * 2 > table_.size()) grow();
  std::size_t at = slot_of(name.data());
  for (; table_[at].str != nullptr; at = (at + 1) & (table_.size() - 1)) {
    if (table_[at].data == name.data() && table_[at].size == name.size()) return table_[at].str;
  }
  table_[at] = {name.data(), name.size(), new_str(name).release()};
  ++used_;
  return table_[at].str;
}

std::string format_similarity(float similarity) {
  if (std::isnan(similarity)) return "NaN";
  if (std::isinf(similarity)) return similarity > 0 ? "inf" : "-inf";
  // glibc formats the exact binary value, correctly rounded with ties to even,
  // and keeps the sign of negative zero and of values that round to zero.
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(similarity));
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace fernquill::py
