// Options of a scan beside the processor's own behaviour. The defaults are
// that behaviour; the module's methods always scan with them.
#pragma once

namespace fernquill {

struct ScanOptions {
  // The word-boundary tests read the whole character before a match and the
  // one after it, instead of single bytes: a character is a word character
  // when it is a Unicode letter, mark or decimal digit, or when its code
  // point is in the processor's word-character set. A match must also start
  // and end on character boundaries.
  bool unicode_words = false;
  // Exact matching: where the longest keyword at a position fails the end
  // test, the longest keyword on the same path that passes it is taken.
  // No effect on approximate matching.
  bool whole_word_fallback = false;

  bool is_default() const { return !unicode_words && !whole_word_fallback; }
};

}  // namespace fernquill
