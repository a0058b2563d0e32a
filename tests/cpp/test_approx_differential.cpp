// The approximate search against the literal, unpruned search over at least
// a million generated cases: small processors over tiny alphabets, texts made
// of their keywords with random edits, thresholds from 0 to 0.99.
//
// FERNQUILL_APPROX_CASES sets the number of cases (default 1,000,000) and
// FERNQUILL_APPROX_SECONDS a time limit after which the run stops early and
// says so (default 600), for longer runs or slow sanitizer builds.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "approx/approx_plan.hpp"
#include "approx/approx_search.hpp"
#include "check.hpp"
#include "every_engine.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// Alphabets: two and three letters (dense tries, many ties), letters with
// the trim and punctuation bytes, eight letters (rare pieces, so the piece
// filter is on), and multi-byte characters.
const std::vector<std::vector<std::string>> kAlphabets = {
    {"a", "b"},
    {"a", "b", "c"},
    {"a", "b", " ", ","},
    {"a", "b", "c", "d", "e", "f", "g", "h"},
    {"a", "b", "c", "d", "e", "f", "g", "h", " "},
    {"a", "b", "\xC3\xA9", "\xCE\xA3", " ", "A"},
};

struct Generator {
  std::mt19937_64 rng;
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

  std::string word(const std::vector<std::string>& pieces, std::size_t min, std::size_t max) {
    std::string s;
    for (std::size_t k = min + below(max - min + 1); k > 0; --k) s += pieces[below(pieces.size())];
    return s;
  }
  // A keyword with up to `edits` random byte edits.
  std::string edited(std::string s, const std::vector<std::string>& pieces, std::size_t edits) {
    for (std::size_t k = below(edits + 1); k > 0; --k) {
      const std::size_t at = below(s.size() + 1);
      switch (below(3)) {
        case 0:
          s.insert(at, pieces[below(pieces.size())]);
          break;
        case 1:
          if (at < s.size()) s.erase(at, 1);
          break;
        default:
          if (at < s.size()) s[at] = pieces[below(pieces.size())][0];
      }
    }
    return s;
  }
  // At least `size` bytes of keywords with up to two edits each, spaced.
  std::string edited_text(const std::vector<std::string>& keywords,
                          const std::vector<std::string>& pieces, std::size_t size) {
    std::string text;
    while (text.size() < size) text += edited(keywords[below(keywords.size())], pieces, 2) + " ";
    return text;
  }
};

struct Processor {
  std::unique_ptr<KeywordProcessor> kp;
  std::vector<std::string> keywords;
  const std::vector<std::string>* pieces;
  std::string description;
};

Processor make_processor(Generator& g) {
  Processor p;
  p.pieces = &kAlphabets[g.below(kAlphabets.size())];
  p.kp = std::make_unique<KeywordProcessor>(g.below(2) == 0, g.below(4) == 0);
  std::ostringstream os;
  os << "cs=" << p.kp->case_sensitive() << " ov=" << p.kp->allow_overlaps();
  switch (g.below(4)) {
    case 0: {
      std::vector<std::uint32_t> chars;
      for (std::uint32_t b = 0; b < 256; ++b) {
        if (g.below(3) == 0) chars.push_back(b);
      }
      p.kp->set_word_chars(chars);
      os << " random-word-set";
      break;
    }
    case 1:
      p.kp->add_word_char(' ');
      p.kp->add_word_char(0xC3);
      os << " space-is-word";
      break;
    default:
      break;
  }
  const bool long_keywords = g.below(4) == 0;
  for (std::size_t k = 1 + g.below(long_keywords ? 6 : 14); k > 0; --k) {
    std::string kw = long_keywords ? g.word(*p.pieces, 6, 24) : g.word(*p.pieces, 0, 7);
    std::optional<std::string> name;
    switch (g.below(6)) {
      case 0:  // shorter name
        name = g.word({"x", "y"}, 0, 3);
        break;
      case 1:  // longer name: raises the edit budget, up to the keyword's length
        name = g.word({"x", "y", "\xC3\xA9"}, 8, 40);
        break;
      default:
        break;
    }
    p.kp->add_keyword(kw, name);
    os << " '" << kw << "'" << (name ? "->'" + *name + "'" : "");
    p.keywords.push_back(kw);
  }
  p.description = os.str();
  return p;
}

// A loaded state with keys above 255 on some paths: nodes under them never
// match, in either mode.
Processor make_wide_processor(Generator& g) {
  Processor p;
  p.pieces = &kAlphabets[2];
  fernquill::Trie trie;
  std::ostringstream os;
  os << "wide keys:";
  for (std::size_t k = 1 + g.below(8); k > 0; --k) {
    fernquill::NodeId node = fernquill::Trie::kRoot;
    std::string kw;
    for (std::size_t d = 1 + g.below(6); d > 0; --d) {
      std::uint32_t key = static_cast<std::uint32_t>("ab "[g.below(3)]);
      if (g.below(5) == 0) key = 256 + static_cast<std::uint32_t>(g.below(3));
      node = trie.child_or_insert(node, key);
      kw += key > 0xFF ? std::string("<wide>") : std::string(1, static_cast<char>(key));
    }
    trie.set_clean_name(node, g.word({"a", "b", "xy"}, 1, 6));
    p.keywords.push_back(kw);
    os << " '" << kw << "'";
  }
  const bool overlaps = g.below(2) == 0;
  p.kp = std::make_unique<KeywordProcessor>(true, overlaps);
  fernquill::WordSet words;
  words.set_defaults();
  p.kp->replace_state(words, std::move(trie), true, overlaps);
  p.description = os.str();
  return p;
}

std::string text_for(Generator& g, const Processor& p, std::size_t max_len) {
  std::string text;
  while (text.size() < max_len) {
    const std::size_t what = g.below(4);
    if (what == 0 || p.keywords.empty()) {
      text += g.word(*p.pieces, 0, 3);
    } else {
      const std::string& kw = p.keywords[g.below(p.keywords.size())];
      if (kw.find("<wide>") != std::string::npos) continue;
      text += g.edited(kw, *p.pieces, what == 1 ? 0 : 3);
    }
    if (g.below(2) == 0) text += g.below(2) == 0 ? " " : ",";
  }
  text.resize(max_len);
  // A text that repeats itself makes the scan meet windows it searched
  // before, which it then answers from memory.
  if (g.below(3) == 0) {
    text.resize((max_len + 1) / 2);
    text += text;
    text.resize(max_len);
  }
  return text;
}

TEST(approx_differential_million_cases) {
  const std::uint64_t want_cases = env_number("FERNQUILL_APPROX_CASES", 1000000);
  const double limit = static_cast<double>(env_number("FERNQUILL_APPROX_SECONDS", 600));
  const auto begin = std::chrono::steady_clock::now();
  Generator g{std::mt19937_64(env_number("FERNQUILL_APPROX_SEED", 20261207))};
  std::uint64_t cases = 0;
  every_engine::Counts counts;
  bool out_of_time = false;
  while (cases < want_cases && !out_of_time) {
    const Processor p = g.below(10) == 0 ? make_wide_processor(g) : make_processor(g);
    for (int q = 0; q < 200 && cases < want_cases; ++q, ++cases) {
      // Thresholds 0 to 0.99; the unpruned search is exponential in the
      // text left at low thresholds, so texts shrink with them.
      const float t = static_cast<float>(g.below(100)) / 100.0f;
      const std::size_t max_len = t >= 0.75f ? 40 : t >= 0.5f ? 16 : 7;
      const std::string text = text_for(g, p, g.below(max_len + 1));
      if (!every_engine::check(*p.kp, text, t, counts)) {
        std::cerr << "  in case " << cases << " " << p.description << "\n";
        return;
      }
    }
    out_of_time =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() > limit;
  }
  const std::uint64_t matches = counts.matches;
  std::cout << "approx differential: " << cases << " cases, " << matches << " matches, "
            << counts.approx.filtered << " starts ruled out by the piece filter, "
            << counts.approx.recalled << " given a remembered search's result, "
            << counts.approx.resumed << " searches begun at a remembered frontier, "
            << counts.approx.ended << " searches cut short at the text's end"
            << (out_of_time ? " (stopped at the time limit)" : "") << "\n";
  // The cases must exercise the matches and the prunings that skip searches.
  CHECK(matches > cases / 4);
  CHECK(counts.approx.filtered > cases / 4);
  CHECK(counts.approx.recalled > cases / 40);
  CHECK(counts.approx.resumed > cases / 40);
  CHECK(counts.approx.ended > cases / 40);
}

}  // namespace

namespace {

TEST(approx_index_finds_ranked_children_by_the_bits_below_their_key) {
  // The search finds the child of a ranked node under byte x at
  // child_begin + the number of child-byte bits below x's low six bits.
  // Checked for every node and byte against a look at every child, over
  // sibling sets whose low bits rise (letters, the space) and sets where
  // they do not (the space before 'A', '0' beside 'p', bytes above 127).
  const std::vector<std::vector<std::string>> alphabets = {
      {"a", "b", "c", "x", "y", "z", " "},
      {"a", "A", " ", "b"},
      {"0", "p", "1", "q", "-", "m"},
      {"e", "\xC3", "\xA9", "\x80", "\xFF", "\x01"}};
  Generator g{std::mt19937_64(17)};
  std::size_t ranked = 0, unranked = 0;
  for (const auto& alphabet : alphabets) {
    KeywordProcessor kp(true, false);
    for (int k = 0; k < 400; ++k) kp.add_keyword(g.word(alphabet, 1, 7), std::nullopt);
    const fernquill::ApproxIndex& index = kp.approx_index();
    const auto* nodes = index.search_nodes();
    const auto& keys = index.keys();
    for (std::size_t k = 0; k < index.nodes().size(); ++k) {
      const std::uint32_t begin = nodes[k].child_begin(), end = nodes[k + 1].child_begin();
      bool rising = true;
      for (std::uint32_t c = begin; c + 1 < end; ++c) rising &= keys[c] % 64 < keys[c + 1] % 64;
      const bool flagged = (nodes[k].flags & fernquill::ApproxIndex::SearchNode::kRanked) != 0;
      CHECK_EQ(flagged, rising);
      (flagged ? ranked : unranked) += end > begin + 1;
      if (!flagged) continue;
      for (unsigned x = 0; x < 256; ++x) {
        std::uint32_t want = end;
        for (std::uint32_t c = begin; c < end; ++c) want = keys[c] == x ? c : want;
        const std::uint64_t bit = std::uint64_t{1} << (x % 64);
        std::uint32_t got = end;
        if (nodes[k].child_bytes & bit) {
          got = begin + static_cast<std::uint32_t>(std::popcount(nodes[k].child_bytes & (bit - 1)));
          if (nodes[got].key != x) got = end;
        }
        CHECK_EQ(got, want);
      }
    }
  }
  CHECK(ranked > 0 && unranked > 0);
}

TEST(approx_clean_name_long_enough_for_an_edited_tie_keeps_the_full_search) {
  // With a clean name of 2^25 bytes, one edit scores 1 - 2^-25, which rounds
  // to 1.0: the edited state ('a' after skipping the first 'a', consumed 2)
  // is popped before the exact one (consumed 1) and wins the tie. A
  // shortcut that took the shallowest exact keyword would end the match at 1.
  KeywordProcessor kp(true, false);
  kp.add_keyword("a", std::string(std::size_t{1} << 25, 'x'));
  const auto got = fernquill::extract_keywords(kp, "aa", 0.5f);
  CHECK(every_engine::check(kp, "aa", 0.5f));
  CHECK(got.size() == 1 && got[0].similarity == 1.0f && got[0].start == 0 && got[0].end == 2);
}

}  // namespace

namespace {

TEST(approx_plans_built_and_evicted_by_concurrent_scans) {
  // Eight threads make the first approximate scans of a processor at more
  // thresholds than the plan cache holds, in different orders, with texts
  // long enough to build plans: builds race, plans are evicted while other
  // threads use them. Every result must equal a single-threaded scan of an
  // identical processor (which the differential test checks against the
  // literal search).
  constexpr int kThreads = 8;
  const float thresholds[] = {0.97f, 0.95f, 0.93f, 0.9f, 0.88f, 0.85f};
  Generator g{std::mt19937_64(99)};
  const std::vector<std::string>& letters = kAlphabets[4];
  std::vector<std::string> keywords;
  for (int k = 0; k < 300; ++k) keywords.push_back(g.word(letters, 6, 16));
  auto make = [&] {
    auto kp = std::make_unique<KeywordProcessor>(true, false);
    for (const std::string& kw : keywords) kp->add_keyword(kw, std::nullopt);
    return kp;
  };
  std::vector<std::string> texts;
  for (int q = 0; q < 4; ++q) texts.push_back(g.edited_text(keywords, letters, 4000));
  const auto reference = make();
  std::vector<std::vector<KeywordMatch>> want;
  for (const std::string& text : texts) {
    for (float t : thresholds) want.push_back(fernquill::extract_keywords(*reference, text, t));
  }
  const auto kp = make();
  std::vector<int> bad(kThreads, 0);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([&, w] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (std::size_t r = 0; r < texts.size() * std::size(thresholds); ++r) {
        const std::size_t k = (r * 5 + static_cast<std::size_t>(w) * 7) % want.size();
        const auto got = fernquill::extract_keywords(*kp, texts[k / std::size(thresholds)],
                                                     thresholds[k % std::size(thresholds)]);
        bad[w] += !oracle::same(got, want[k]);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int w = 0; w < kThreads; ++w) CHECK_EQ(bad[w], 0);
  // The filter was in use: some threshold has a plan that filters.
  std::size_t matches = 0;
  for (const auto& m : want) matches += m.size();
  CHECK(matches > 100);
  CHECK(fernquill::plan_for(kp->approx_index(), 0.9f, 0) != nullptr &&
        fernquill::plan_for(kp->approx_index(), 0.9f, 0)->filtering());
}

}  // namespace

namespace {

// Runs `text` through every engine against the literal search and returns
// the counts of the scan with every shortcut on; adds the matches to `matches`.
fernquill::ApproxStats scan_as_literal(const KeywordProcessor& kp, const std::string& text, float t,
                                       std::uint64_t& matches) {
  every_engine::Counts counts;
  CHECK(every_engine::check(kp, text, t, counts));
  matches += counts.matches;
  return counts.approx;
}

TEST(approx_plans_cut_from_long_texts_match_the_literal_search) {
  // A first scan of 16 KB builds the plan with cut points taken from that
  // text. Keywords over few letters, some of them sharing long runs of one
  // letter, make pieces occur at most bytes, so blocks of starts overflow
  // the kept hits and are searched unverified. Both ways must still give the
  // literal search's matches, on the text that built the plan and others.
  Generator g{std::mt19937_64(4242)};
  std::uint64_t filtered = 0, matches = 0;
  for (const std::size_t alphabet : {std::size_t{3}, std::size_t{4}}) {
    const std::vector<std::string>& letters = kAlphabets[alphabet];
    for (const float t : {0.9f, 0.85f}) {
      KeywordProcessor kp(true, g.below(2) == 0);
      std::vector<std::string> keywords;
      for (int k = 0; k < 120; ++k) {
        keywords.push_back(k % 10 == 0 ? std::string(9 + g.below(8), 'a') + g.word(letters, 1, 3)
                                       : g.word(letters, 9, 20));
        kp.add_keyword(keywords.back(), std::nullopt);
      }
      for (int q = 0; q < 3; ++q) {
        std::string text;
        while (text.size() < (q == 0 ? 16000u : 3000u)) {
          text += q == 2 ? std::string(40, 'a')
                         : g.edited(keywords[g.below(keywords.size())], letters, 2);
          text += g.word(letters, 0, 2) + " ";
        }
        filtered += scan_as_literal(kp, text, t, matches).filtered;
      }
    }
  }
  CHECK(filtered > 0);
  CHECK(matches > 200);
}

TEST(approx_searches_begun_at_remembered_frontiers_match_the_literal_search) {
  // Texts of edited keywords from a small vocabulary begin many searches
  // with windows explored before, so they start at remembered frontiers.
  // Every seventh keyword has a clean name far longer than itself, which
  // makes states before the horizon candidates (then the frontier must not
  // be used), and the texts are cut to end before a horizon as well.
  Generator g{std::mt19937_64(31337)};
  const std::vector<std::string>& letters = kAlphabets[4];
  std::uint64_t resumed = 0, matches = 0;
  for (const float t : {0.75f, 0.8f, 0.85f, 0.9f}) {
    KeywordProcessor kp(true, g.below(2) == 0);
    std::vector<std::string> keywords;
    for (int k = 0; k < 60; ++k) {
      keywords.push_back(g.word(letters, 2, 12));
      kp.add_keyword(keywords.back(),
                     k % 7 == 0 ? std::optional<std::string>(std::string(24, 'N')) : std::nullopt);
    }
    const std::string text = g.edited_text(keywords, letters, 2500);
    for (const std::size_t cut : {text.size(), text.size() - 2, text.size() - 5}) {
      resumed += scan_as_literal(kp, text.substr(0, cut), t, matches).resumed;
    }
  }
  CHECK(resumed > 100);
  CHECK(matches > 100);
}

TEST(approx_filter_across_blocks_and_at_text_ends_matches_the_literal_search) {
  // Keywords of 9 to 30 bytes (budgets 1 to 3) in families that share their
  // first and their last bytes, so that first pieces are verified through
  // the exact walk and last pieces at every offset from their start. A text
  // longer than two blocks of starts builds the plan and crosses the block
  // edges; shorter texts then end inside an edited keyword, right after it,
  // and one or two bytes later (the end test at the end of the text).
  Generator g{std::mt19937_64(777)};
  const std::vector<std::string>& letters = kAlphabets[4];
  std::uint64_t filtered = 0, matches = 0;
  for (const float t : {0.9f, 0.85f}) {
    KeywordProcessor kp(true, t < 0.88f);
    std::vector<std::string> keywords;
    for (int family = 0; family < 8; ++family) {
      const std::string head = g.word(letters, 4, 6), tail = g.word(letters, 4, 6);
      for (int k = 0; k < 5; ++k) {
        keywords.push_back(head + g.word(letters, 1, 18) + (k % 2 == 0 ? tail : ""));
        kp.add_keyword(keywords.back(), std::nullopt);
      }
    }
    auto piece_of_text = [&] {
      std::string s = g.edited(keywords[g.below(keywords.size())], letters, 2);
      return s + (g.below(3) == 0 ? g.word(letters, 0, 2) : "") + " ";
    };
    std::string text;
    while (text.size() < 140000) text += piece_of_text();
    std::vector<std::string> texts{text};
    for (int q = 0; q < 300; ++q) {
      const std::string kw = g.edited(keywords[g.below(keywords.size())], letters, 1);
      const std::size_t cut = kw.size() - std::min<std::size_t>(kw.size(), g.below(4));
      texts.push_back(piece_of_text() + kw.substr(0, cut) + g.word(letters, 0, 2));
    }
    // A keyword whose first byte is replaced, so that only its later
    // pieces show it, starting just before the first block edge (64 Ki
    // starts) with those pieces past it.
    for (std::size_t before = 1; before <= 16; ++before) {
      std::string kw = keywords[g.below(keywords.size())];
      kw[0] = kw[0] == 'a' ? 'b' : 'a';
      texts.push_back(std::string((std::size_t{1} << 16) - before, ',') + kw + " ");
    }
    for (const std::string& each : texts)
      filtered += scan_as_literal(kp, each, t, matches).filtered;
  }
  CHECK(filtered > 10000);
  CHECK(matches > 5000);
}

TEST(approx_filter_every_single_edit_of_distinct_letter_keywords) {
  // Keywords of distinct letters, so that no byte agrees by chance, each
  // written with one edit at every place (a byte inserted, dropped or
  // replaced), whichever piece the edit falls in; budgets 1 and 2.
  Generator g{std::mt19937_64(99)};
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  std::uint64_t matches = 0;
  for (const float t : {0.9f, 0.88f}) {
    KeywordProcessor kp(true, false);
    std::vector<std::string> keywords;
    for (const std::size_t len : {9, 10, 12, 14, 17, 18, 21}) {
      std::string kw = letters;
      std::shuffle(kw.begin(), kw.end(), g.rng);
      keywords.push_back(kw.substr(0, len));
      kp.add_keyword(keywords.back(), std::nullopt);
    }
    std::string text;
    for (const std::string& kw : keywords) {
      for (std::size_t at = 0; at <= kw.size(); ++at) {
        const char other = kw[at % kw.size()] == 'z' ? 'y' : 'z';
        // Between the variants, short words that the filter rules out.
        std::string filler(1, ' ');
        filler.append(letters, g.below(20), 2 + g.below(4));
        filler += ' ';
        text += kw.substr(0, at) + other + kw.substr(at) + filler;
        if (at < kw.size()) {
          text += kw.substr(0, at) + kw.substr(at + 1) + filler;
          text += kw.substr(0, at) + other + kw.substr(at + 1) + filler;
        }
      }
    }
    // The first scan, long enough to build the plan from its text.
    const std::string first = text + text + text;
    for (const std::string* each : {&first, static_cast<const std::string*>(&text)}) {
      CHECK(scan_as_literal(kp, *each, t, matches).filtered > 0);
    }
  }
  CHECK(matches > 500);
}

}  // namespace
