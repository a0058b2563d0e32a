// The PyKeywordMatch class: one match owned by Python.
#pragma once

#include "exact/keyword_match.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {

// The registered type, created on first need (nullptr with an error set when
// creation fails).
PyTypeObject* keyword_match_type();

// A new PyKeywordMatch owning a copy of the engine match's clean name. Skips
// argument parsing entirely: it runs once per match on the hot paths.
Ref new_match_object(const KeywordMatch& match);

// Builds a list of exactly matches.size() new match objects.
template <class Matches>
Ref new_match_list(const Matches& matches) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  Py_ssize_t i = 0;
  for (const KeywordMatch& m : matches)
    PyList_SET_ITEM(list.get(), i++, new_match_object(m).release());
  return list;
}

// The similarity as printed by repr: two decimals from the exact value.
std::string format_similarity(float similarity);

}  // namespace fernquill::py
