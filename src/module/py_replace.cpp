// Memory. The text's private UTF-8 copy (see Utf8Copy) is dropped as soon as
// the spans are known; the result is then made in its final form and filled from
// the input str's own characters. So a call holds the UTF-8 copy and the
// lower-cased text, or later the result, never all of them together with a
// UTF-8 form of the result.
#include "module/py_replace.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "text/utf8.hpp"

namespace fernquill::py {
namespace {

// A replaced range in characters of the input str, and its clean name as an
// index into the names made for the call.
struct CharSpan {
  Py_ssize_t from, to;
  std::size_t name;
};

// The largest code point in str[from, to), or a value of the same storage
// class (ASCII, Latin-1, two bytes, four bytes) when that is all a result
// made of it needs to know: the scan stops once the widest class is seen.
Py_UCS4 widest_char(PyObject* str, Py_ssize_t from, Py_ssize_t to) {
  if (PyUnicode_IS_ASCII(str) || from >= to) return 0x7F;
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS1*>(data);
      return std::any_of(p + from, p + to, [](Py_UCS1 c) { return c >= 0x80; }) ? 0xFF : 0x7F;
    }
    case PyUnicode_2BYTE_KIND: {
      const auto* p = static_cast<const Py_UCS2*>(data);
      Py_UCS4 widest = 0x7F;
      for (Py_ssize_t i = from; i < to && widest < 0x100; ++i)
        widest = std::max<Py_UCS4>(widest, p[i]);
      return widest;
    }
    default: {
      const auto* p = static_cast<const Py_UCS4*>(data);
      Py_UCS4 widest = 0x7F;
      for (Py_ssize_t i = from; i < to && widest < 0x10000; ++i) widest = std::max(widest, p[i]);
      return widest;
    }
  }
}

// The spans in characters: byte offsets become character counts by
// counting the bytes that start a character. Each distinct clean name (a
// view into the store, so equal names share their bytes) becomes one str.
struct CharSpans {
  std::vector<CharSpan> spans;
  std::vector<Ref> names;
};

// Names are found again by where they lie and how long they are.
struct NameKeyHash {
  std::size_t operator()(std::string_view v) const noexcept {
    return std::hash<const void*>()(v.data()) ^ (v.size() * 0x9E3779B97F4A7C15ull);
  }
};
struct NameKeyEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return a.data() == b.data() && a.size() == b.size();
  }
};

CharSpans char_spans(std::string_view utf8, const std::vector<Replacement>& spans) {
  CharSpans out;
  out.spans.reserve(spans.size());
  std::unordered_map<std::string_view, std::size_t, NameKeyHash, NameKeyEqual> name_of;
  Py_ssize_t chars = 0;
  std::size_t at = 0;
  auto advance = [&](std::size_t to) {
    for (; at < to; ++at) {
      chars += utf8::is_continuation(static_cast<unsigned char>(utf8[at])) ? 0 : 1;
    }
    return chars;
  };
  for (const Replacement& r : spans) {
    auto [it, fresh] = name_of.try_emplace(r.name, out.names.size());
    if (fresh) out.names.push_back(new_str(r.name));
    const Py_ssize_t from = advance(r.from);
    out.spans.push_back({from, advance(r.to), it->second});
  }
  return out;
}

void copy_chars(PyObject* to, Py_ssize_t at, PyObject* from, Py_ssize_t start, Py_ssize_t count) {
  if (count <= 0) return;
  if (PyUnicode_KIND(from) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(to) == PyUnicode_1BYTE_KIND) {
    // Copied by hand: CPython (3.11 at least) refuses Latin-1 into ASCII by
    // checking the source's first characters instead of the ones copied.
    // The result's class was chosen from the copied characters, so they fit.
    std::memcpy(static_cast<Py_UCS1*>(PyUnicode_DATA(to)) + at,
                static_cast<const Py_UCS1*>(PyUnicode_DATA(from)) + start,
                static_cast<std::size_t>(count));
    return;
  }
  if (PyUnicode_CopyCharacters(to, at, from, start, count) < 0) throw_error_set();
}

Ref spliced(PyObject* text, const CharSpans& parts) {
  const Py_ssize_t text_length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t length = text_length;
  Py_UCS4 widest = 0;
  for (const Ref& name : parts.names) {
    widest = std::max(widest, widest_char(name.get(), 0, PyUnicode_GET_LENGTH(name.get())));
  }
  Py_ssize_t kept_from = 0;
  for (const CharSpan& s : parts.spans) {
    length += PyUnicode_GET_LENGTH(parts.names[s.name].get()) - (s.to - s.from);
    widest = std::max(widest, widest_char(text, kept_from, s.from));
    kept_from = s.to;
  }
  widest = std::max(widest, widest_char(text, kept_from, text_length));
  Ref result = Ref::check(PyUnicode_New(length, widest));
  Py_ssize_t at = 0;
  kept_from = 0;
  for (const CharSpan& s : parts.spans) {
    copy_chars(result.get(), at, text, kept_from, s.from - kept_from);
    at += s.from - kept_from;
    PyObject* name = parts.names[s.name].get();
    const Py_ssize_t name_length = PyUnicode_GET_LENGTH(name);
    copy_chars(result.get(), at, name, 0, name_length);
    at += name_length;
    kept_from = s.to;
  }
  copy_chars(result.get(), at, text, kept_from, text_length - kept_from);
  return result;
}

}  // namespace

Ref replace_in_str(const KeywordProcessor& processor, PyObject* text, PyObject* threshold) {
  Utf8Argument utf8(text, "text", Utf8Copy::kPrivate);
  const auto t = to_optional_f32(threshold, "threshold");
  CharSpans parts;
  {
    const std::vector<Replacement> spans =
        in_engine([&] { return replacements(processor, utf8.bytes(), t); });
    parts = char_spans(utf8.bytes(), spans);
  }  // the byte spans and the UTF-8 copy go before the result is made
  utf8.release();
  return spliced(text, parts);
}

}  // namespace fernquill::py
