#include "module/py_keyword_processor.hpp"

#include <algorithm>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "module/py_batch.hpp"
#include "module/py_keyword_match.hpp"
#include "module/py_replace.hpp"
#include "state/processor_state.hpp"
#include "support/limits.hpp"

namespace fernquill::py {
namespace {

PyTypeObject* g_type = nullptr;

ProcessorObject& processor_of(PyObject* self) {
  return self_as<ProcessorObject>(self, g_type, "KeywordProcessor");
}

// A method body: binds, borrows, then runs f(record, args).
template <class Borrow, int N, class F>
PyObject* method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, F&& f) {
  return guard([&] {
    BoundArgs<N> a(sig, args, nargs, kwnames);
    BorrowedProcessor<Borrow> borrowed(processor_of(self));
    return f(borrowed.record(), a);
  });
}

template <class Borrow, class F>
PyObject* method_noargs(PyObject* self, F&& f) {
  return guard([&] {
    BorrowedProcessor<Borrow> borrowed(processor_of(self));
    return f(borrowed.record());
  });
}

#define SIGNATURE(name, required, ...)                                           \
  constexpr const char* name##_params[] = {__VA_ARGS__};                         \
  constexpr Signature name##_sig {                                               \
    "KeywordProcessor", #name, name##_params, std::size(name##_params), required \
  }

SIGNATURE(__new__, 0, "case_sensitive", "allow_overlaps");
SIGNATURE(add_keyword, 1, "keyword", "clean_name");
SIGNATURE(remove_keyword, 1, "keyword");
SIGNATURE(extract_keywords, 1, "text", "threshold");
SIGNATURE(replace_keywords, 1, "text", "threshold");
SIGNATURE(parallel_extract_keywords_from_texts, 1, "texts", "threshold");
SIGNATURE(parallel_replace_keywords_from_texts, 1, "texts", "threshold");
SIGNATURE(add_non_word_boundary, 1, "boundary");
SIGNATURE(set_non_word_boundaries, 1, "boundaries");
SIGNATURE(__setstate__, 1, "state");
#undef SIGNATURE

PyObject* kp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    BoundArgs<2> a(__new___sig, args, kwargs);
    bool case_sensitive = to_bool(a[0], "case_sensitive");
    bool allow_overlaps = to_bool(a[1], "allow_overlaps");
    Ref obj = Ref::check(type->tp_alloc(type, 0));
    auto* p = reinterpret_cast<ProcessorObject*>(obj.get());
    new (&p->record) KeywordProcessor(case_sensitive, allow_overlaps);
    init_borrow_counter(&p->borrow);
    return obj;
  });
}

void kp_dealloc(PyObject* self) {
  auto* p = reinterpret_cast<ProcessorObject*>(self);
  p->record.~KeywordProcessor();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t kp_len(PyObject* self) {
  return guard<Py_ssize_t>(-1, [&] {
    BorrowedProcessor<SharedBorrow> borrowed(processor_of(self));
    return static_cast<Py_ssize_t>(borrowed.record().count_keywords());
  });
}

PyObject* kp_repr(PyObject* self) {
  return method_noargs<SharedBorrow>(self, [](KeywordProcessor& p) {
    return new_str("KeywordProcessor(num_keywords=" + std::to_string(p.count_keywords()) + ")");
  });
}

PyObject* kp_add_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return method<ExclusiveBorrow, 2>(
      add_keyword_sig, self, args, nargs, kwnames, [](KeywordProcessor& p, auto& a) {
        Utf8Argument keyword(a[0], "keyword", Utf8Copy::kPrivate);
        auto clean_name = to_optional_text(a[1], "clean_name", Utf8Copy::kPrivate);
        p.add_keyword(keyword.bytes(), bytes_of(clean_name));
        return none();
      });
}

PyObject* kp_remove_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<ExclusiveBorrow, 1>(
      remove_keyword_sig, self, args, nargs, kwnames, [](KeywordProcessor& p, auto& a) {
        Utf8Argument keyword(a[0], "keyword", Utf8Copy::kPrivate);
        return Ref::borrowed(p.remove_keyword(keyword.bytes()) ? Py_True : Py_False);
      });
}

PyObject* kp_get_all_keywords(PyObject* self, PyObject*) {
  return method_noargs<SharedBorrow>(self, [](KeywordProcessor& p) {
    Ref dict = Ref::check(PyDict_New());
    p.trie().for_each_keyword([&](std::string_view path, std::string_view clean_name) {
      // A loaded state may hold paths that are not UTF-8; show them lossily.
      Ref key = Ref::check(
          PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
      Ref value = new_str(clean_name);
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_error_set();
    });
    return dict;
  });
}

PyObject* kp_add_non_word_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return method<ExclusiveBorrow, 1>(add_non_word_boundary_sig, self, args, nargs, kwnames,
                                    [](KeywordProcessor& p, auto& a) {
                                      p.add_word_char(to_char(a[0], "boundary"));
                                      return none();
                                    });
}

PyObject* kp_set_non_word_boundaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return method<ExclusiveBorrow, 1>(
      set_non_word_boundaries_sig, self, args, nargs, kwnames, [](KeywordProcessor& p, auto& a) {
        // Every character is converted before the set changes.
        std::vector<std::uint32_t> chars;
        for_each_in_sequence(
            a[0], "boundaries",
            [&](Py_ssize_t hint) {
              chars.reserve(std::min(static_cast<std::size_t>(hint), kMaxDeclaredReserve));
            },
            [&](PyObject* item) { chars.push_back(to_char(item, "boundaries")); });
        p.set_word_chars(chars);
        return none();
      });
}

// The matches become objects as the scan hands them over, piece by piece.
Ref extract_to_list(const KeywordProcessor& p, std::string_view text,
                    std::optional<float> threshold) {
  NameStrs names;
  MatchListBuilder list(names);
  const MatchSink sink{[](void* context, std::span<const KeywordMatch> piece) {
                         static_cast<MatchListBuilder*>(context)->add(piece);
                       },
                       &list};
  extract_keywords_to(p, text, threshold, sink);
  return list.finish();
}

// extract_keywords and replace_keywords: text, then threshold, then the scan.
template <class Scan>
PyObject* text_scan_method(const Signature& sig, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Scan&& scan) {
  return method<SharedBorrow, 2>(sig, self, args, nargs, kwnames,
                                 [&](KeywordProcessor& p, auto& a) {
                                   Utf8Argument text(a[0], "text", Utf8Copy::kCached);
                                   auto threshold = to_optional_f32(a[1], "threshold");
                                   const SignalChecks checks;
                                   return scan(p, text.bytes(), threshold);
                                 });
}

PyObject* kp_extract_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return text_scan_method(extract_keywords_sig, self, args, nargs, kwnames,
                          [](KeywordProcessor& p, std::string_view text, auto threshold) {
                            return extract_to_list(p, text, threshold);
                          });
}

PyObject* kp_replace_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<SharedBorrow, 2>(replace_keywords_sig, self, args, nargs, kwnames,
                                 [](KeywordProcessor& p, auto& a) {
                                   const SignalChecks checks;
                                   return replace_in_str(p, a[0], a[1]);
                                 });
}

PyObject* kp_parallel_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<SharedBorrow, 2>(
      parallel_extract_keywords_from_texts_sig, self, args, nargs, kwnames,
      [](KeywordProcessor& p, auto& a) { return batch_extract(p, a[0], a[1]); });
}

PyObject* kp_parallel_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<SharedBorrow, 2>(
      parallel_replace_keywords_from_texts_sig, self, args, nargs, kwnames,
      [](KeywordProcessor& p, auto& a) { return batch_replace(p, a[0], a[1]); });
}

PyObject* kp_getstate(PyObject* self, PyObject*) {
  return method_noargs<SharedBorrow>(self, [](KeywordProcessor& p) {
    return new_bytes(processor_state_size(p),
                     [&](std::span<char> out) { write_processor_state(p, out); });
  });
}

PyObject* kp_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<ExclusiveBorrow, 1>(__setstate___sig, self, args, nargs, kwnames,
                                    [](KeywordProcessor& p, auto& a) {
                                      auto state = decode_processor_state(to_bytes(a[0], "state"));
                                      p.replace_state(state->words, std::move(state->trie),
                                                      state->case_sensitive, state->allow_overlaps);
                                      return none();
                                    });
}

PyMethodDef g_methods[] = {
    {"add_keyword", fastcall(kp_add_keyword), kFast,
     "add_keyword($self, keyword, clean_name=None)\n--\n\n"},
    {"remove_keyword", fastcall(kp_remove_keyword), kFast,
     "remove_keyword($self, keyword)\n--\n\n"},
    {"extract_keywords", fastcall(kp_extract_keywords), kFast,
     "extract_keywords($self, text, threshold=None)\n--\n\n"},
    {"parallel_extract_keywords_from_texts", fastcall(kp_parallel_extract), kFast,
     "parallel_extract_keywords_from_texts($self, texts, threshold=None)\n--\n\n"},
    {"replace_keywords", fastcall(kp_replace_keywords), kFast,
     "replace_keywords($self, text, threshold=None)\n--\n\n"},
    {"parallel_replace_keywords_from_texts", fastcall(kp_parallel_replace), kFast,
     "parallel_replace_keywords_from_texts($self, texts, threshold=None)\n--\n\n"},
    {"get_all_keywords", kp_get_all_keywords, METH_NOARGS, "get_all_keywords($self)\n--\n\n"},
    {"set_non_word_boundaries", fastcall(kp_set_non_word_boundaries), kFast,
     "set_non_word_boundaries($self, boundaries)\n--\n\n"},
    {"add_non_word_boundary", fastcall(kp_add_non_word_boundary), kFast,
     "add_non_word_boundary($self, boundary)\n--\n\n"},
    {"__setstate__", fastcall(kp_setstate), kFast, "__setstate__($self, state)\n--\n\n"},
    {"__getstate__", kp_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

constexpr ClassParts kParts = {
    .name = "fernquill.KeywordProcessor",
    .size = sizeof(ProcessorObject),
    .doc = "KeywordProcessor(case_sensitive=False, allow_overlaps=False)\n--\n\n",
    .new_object = kp_new,
    .dealloc = kp_dealloc,
    .repr = kp_repr,
    .methods = g_methods,
    .length = kp_len,
};

}  // namespace

PyTypeObject* keyword_processor_type() { return class_type(g_type, kParts); }

}  // namespace fernquill::py
