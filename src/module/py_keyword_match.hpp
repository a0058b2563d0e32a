// The PyKeywordMatch class: one match owned by Python.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "exact/keyword_match.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {

// The registered type, created on first need (nullptr with an error set when
// creation fails).
PyTypeObject* keyword_match_type();

// The clean names met during one call, each made a str once: every match of
// a keyword in the call refers to the same (immutable) str. Names are told
// apart by where the store holds them, which is fixed for the call.
class NameStrs {
 public:
  NameStrs() = default;
  NameStrs(const NameStrs&) = delete;
  NameStrs& operator=(const NameStrs&) = delete;
  ~NameStrs();
  // The str of `name`, borrowed from this table.
  PyObject* get(std::string_view name) {
    const std::size_t at = slot_of(name.data());
    if (at < table_.size() && table_[at].data == name.data() && table_[at].size == name.size())
      return table_[at].str;
    return add(name);
  }

 private:
  struct Entry {
    const char* data = nullptr;
    std::size_t size = 0;
    PyObject* str = nullptr;  // owned; null marks a free entry
  };
  std::size_t slot_of(const char* data) const;
  PyObject* add(std::string_view name);
  void grow();
  std::vector<Entry> table_;  // open addressing, a power of two, at most half full
  std::size_t used_ = 0;
};

// The registered type, or a raised Python error when it cannot be made.
PyTypeObject* checked_match_type();

// Makes one call's PyKeywordMatch objects: the type looked up once, every
// match of a clean name referring to one str (`names`).
class MatchObjects {
 public:
  explicit MatchObjects(NameStrs& names) : names_(names), type_(checked_match_type()) {}
  // A new match object (a new reference). Skips argument parsing
  // entirely: it runs once per match on the hot paths.
  PyObject* make(const KeywordMatch& match);

 private:
  NameStrs& names_;
  PyTypeObject* type_;
};

// The list of one call's match objects, built from the pieces a scan hands
// over: each object is made as its match comes (the engine's matches are
// not kept), and the list is made once at its final length, so that it never
// grows by appends. Holds a pointer per match until then.
class MatchListBuilder {
 public:
  explicit MatchListBuilder(NameStrs& names) : make_(names) {}
  MatchListBuilder(const MatchListBuilder&) = delete;
  MatchListBuilder& operator=(const MatchListBuilder&) = delete;
  ~MatchListBuilder();
  void add(std::span<const KeywordMatch> piece);
  Ref finish();

 private:
  MatchObjects make_;
  std::vector<PyObject*> objects_;  // owned until finish()
};

// Builds a list of exactly matches.size() new match objects.
template <class Matches>
Ref new_match_list(const Matches& matches, NameStrs& names) {
  MatchObjects make(names);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  Py_ssize_t i = 0;
  for (const KeywordMatch& m : matches) PyList_SET_ITEM(list.get(), i++, make.make(m));
  return list;
}

// The similarity as printed by repr: two decimals from the exact value.
std::string format_similarity(float similarity);

}  // namespace fernquill::py
