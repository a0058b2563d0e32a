// The JSON text the command line writes: the bytes Python's
// json.dumps(..., ensure_ascii=False, separators=(",", ":")) gives for the
// same values, written straight into the output.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fernquill::cli {

using NameCounts = std::unordered_map<std::string_view, std::uint64_t>;

// The longest decimal form of a 64-bit count.
inline constexpr std::size_t kMaxDigits = 20;

inline void append_number(std::string& out, std::uint64_t n) {
  char digits[kMaxDigits];
  out.append(digits, std::to_chars(digits, digits + kMaxDigits, n).ptr);
}
std::size_t number_size(std::uint64_t n);

// A similarity as Python prints round(similarity, 2): "1.0", "0.5", "0.67".
void append_similarity(std::string& out, float similarity);
// The number of characters append_similarity writes.
std::size_t similarity_size(float similarity);

// `text` as the body of a JSON string, escaped as json.dumps(ensure_ascii=False) does.
void append_json_string_body(std::string& out, std::string_view text);
// The number of bytes append_json_string_body writes.
std::size_t json_escaped_size(std::string_view text);

// Bytes as the body of a JSON string all in ASCII, each byte that is not
// part of a UTF-8 character as \udcXX: json.dumps(ensure_ascii=True) of the
// str os.fsdecode makes of them.
void append_json_ascii_body(std::string& out, std::string_view bytes);

// A file name's bytes as a JSON string, quotes included. A UTF-8 name as it
// is; any other in ASCII, each byte that is not part of a character as
// \udcXX: json.dumps of the str os.fsdecode makes of it, which json.loads
// and os.fsencode turn back into the same bytes.
std::string path_json(std::string_view name);

// Clean names escaped once each: a run writes the same few names many times.
// Names are views into the processor's store, so a name is known by where it
// is.
class EscapedNames {
 public:
  const std::string& operator()(std::string_view name);

 private:
  struct Where {
    std::size_t operator()(std::string_view s) const {
      return std::hash<const void*>()(s.data()) ^ s.size();
    }
  };
  struct Same {
    bool operator()(std::string_view a, std::string_view b) const {
      return a.data() == b.data() && a.size() == b.size();
    }
  };
  std::unordered_map<std::string_view, std::string, Where, Same> escaped_;
};

// Count records, most frequent first and then by name (UTF-8 bytes sort as
// code points do): {"path":...,"keyword":...,"count":n} each, or without the
// path when there is none. A record whose path is not UTF-8 is all in ASCII.
void append_count_records(std::string& out, const std::optional<std::string_view>& path,
                          std::vector<std::pair<std::string_view, std::uint64_t>>& counts);

}  // namespace fernquill::cli
