// The arena store against a plain map model: names replaced by shorter and
// longer ones, removed and re-added, so that the name buffer is rewritten in
// place, appended to and compacted many times.
#include <map>
#include <random>
#include <string>

#include "check.hpp"
#include "keyword_processor/keyword_processor.hpp"

using fernquill::KeywordProcessor;

namespace {

std::map<std::string, std::string> listed(const KeywordProcessor& kp) {
  std::map<std::string, std::string> out;
  kp.trie().for_each_keyword(
      [&](std::string_view path, std::string_view name) { out[std::string(path)] = name; });
  return out;
}

}  // namespace

TEST(trie_matches_map_model_under_random_changes) {
  std::mt19937_64 rng(3);
  KeywordProcessor kp(true, false);
  std::map<std::string, std::string> model;
  for (int step = 0; step < 60000; ++step) {
    std::string keyword(1 + rng() % 4, 'a');
    for (char& c : keyword) c = "abc"[rng() % 3];
    if (rng() % 3 == 0) {
      bool removed = kp.remove_keyword(keyword);
      CHECK_EQ(removed, model.erase(keyword) == 1);
    } else {
      std::string name(rng() % 40, 'x');
      for (char& c : name) c = static_cast<char>('a' + rng() % 26);
      kp.add_keyword(keyword, name);
      model[keyword] = name;
    }
    if (step % 997 == 0) {
      CHECK(listed(kp) == model);
      CHECK_EQ(kp.count_keywords(), model.size());
    }
  }
  CHECK(listed(kp) == model);
  for (const auto& [keyword, name] : model) CHECK(kp.remove_keyword(keyword));
  CHECK_EQ(kp.count_keywords(), std::size_t{0});
  CHECK(!kp.trie().has_children(fernquill::Trie::kRoot));
  CHECK_EQ(kp.trie().node_count(), std::size_t{1});
}

TEST(trie_memory_returns_after_removal) {
  KeywordProcessor kp(true, false);
  std::string long_name(100000, 'n');
  for (int round = 0; round < 50; ++round) {
    kp.add_keyword("k", long_name);
    kp.add_keyword("k", "short");
    kp.remove_keyword("k");
  }
  // Dead name bytes are dropped once they outweigh the live ones.
  CHECK(kp.trie().memory_bytes() < 4 * long_name.size());
}
