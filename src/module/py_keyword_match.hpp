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

// A new PyKeywordMatch for an engine match. Skips argument parsing
// entirely: it runs once per match on the hot paths.
Ref new_match_object(const KeywordMatch& match, NameStrs& names);

// Appends a new match object per match to `list`.
void append_match_objects(PyObject* list, std::span<const KeywordMatch> matches, NameStrs& names);

// Builds a list of exactly matches.size() new match objects.
template <class Matches>
Ref new_match_list(const Matches& matches, NameStrs& names) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  Py_ssize_t i = 0;
  for (const KeywordMatch& m : matches)
    PyList_SET_ITEM(list.get(), i++, new_match_object(m, names).release());
  return list;
}

// The similarity as printed by repr: two decimals from the exact value.
std::string format_similarity(float similarity);

}  // namespace fernquill::py
