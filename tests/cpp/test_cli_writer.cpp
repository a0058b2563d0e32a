// The command line's writer: its output does not depend on how the batches are
// cut into units, nor on which worker runs which unit (run it under
// ThreadSanitizer too); JSON strings and similarities as Python prints them.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "search/cli_writer.hpp"
#include "worker_pool/worker_pool.hpp"

using namespace fernquill;

namespace {

// Pieces of lines: keywords, separators, CRs and line feeds, and characters
// whose lower case changes length.
const std::vector<std::string> kPieces = {"new york", "NY", " ", ",", "\n", "\r\n", "\n\n", "\xC4\xB0",
                                          "\xE2\x84\xAA", "caf\xC3\xA9", "la", "x", "\t", "\"q\\"};

std::string random_block(std::mt19937_64& rng, std::size_t pieces) {
  std::string s;
  for (std::size_t i = 0; i < pieces; ++i) s += kPieces[rng() % kPieces.size()];
  return s;
}

std::string written(const KeywordProcessor& kp, std::vector<cli::Block> blocks,
                    const cli::WriterOptions& options, std::size_t unit_bytes, float threshold,
                    bool on_pool) {
  const std::vector<cli::Unit> units =
      cli::plan_units(blocks, options.whole_records, unit_bytes).units;
  std::vector<cli::UnitOutput> outputs(units.size());
  auto body = [&](std::size_t i) {
    cli::write_unit(kp, blocks[units[i].block], units[i], threshold, options, outputs[i]);
  };
  if (on_pool) {
    WorkerPool::global().parallel_for(units.size(), body);
  } else {
    for (std::size_t i = 0; i < units.size(); ++i) body(i);
  }
  std::string all;
  std::uint64_t matched = 0;
  std::map<std::string, std::uint64_t> counts;
  for (const cli::UnitOutput& o : outputs) {
    all += o.bytes;
    matched += o.matched;
    for (const auto& [name, n] : o.counts) counts[std::string(name)] += n;
  }
  all += '|';
  all += std::to_string(matched);
  for (const auto& [name, n] : counts) {
    all += '|';
    all += name;
    all += '=';
    all += std::to_string(n);
  }
  return all;
}

}  // namespace

TEST(cli_writer_output_does_not_depend_on_the_units) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 60; ++round) {
    KeywordProcessor kp(rng() % 3 == 0, rng() % 5 == 0);
    kp.add_keyword("new york", std::string_view("NYC"));
    kp.add_keyword("la", std::nullopt);
    kp.add_keyword("caf\xC3\xA9", std::string_view("co\"ffee\n"));
    kp.add_keyword("\xC4\xB0", std::nullopt);
    std::vector<std::string> data;
    for (int b = 0; b < 3; ++b) data.push_back(random_block(rng, rng() % 400));
    std::vector<cli::Block> blocks;
    // The second block goes on from the first.
    for (std::size_t b = 0; b < data.size(); ++b) {
      blocks.push_back({data[b], "\"p\"", b == 1 ? 0 : 1 + 100 * b});
    }
    cli::WriterOptions options;
    options.output = static_cast<cli::Output>(rng() % 3);
    options.char_offsets = rng() % 2 == 0;
    options.with_text = rng() % 2 == 0;
    options.whole_records = rng() % 5 == 0;
    options.errors = static_cast<cli::Errors>(rng() % 3);
    const float threshold = rng() % 3 == 0 ? 0.8f : 1.0f;
    const std::string whole = written(kp, blocks, options, std::size_t{1} << 30, threshold, false);
    for (std::size_t unit_bytes : {1, 7, 64, 300}) {
      CHECK_EQ(written(kp, blocks, options, unit_bytes, threshold, true), whole);
    }
  }
}

TEST(cli_writer_units_end_at_line_ends) {
  const std::string data = "a\nbb\n\nccc\n";
  // The third block goes on from the first two, the last from the third.
  std::vector<cli::Block> blocks = {
      {data, "\"p\"", 5}, {"", "\"p\"", 0}, {"x\n", "\"p\"", 0}, {"y\nz", "\"p\"", 0}};
  const cli::Plan plan = cli::plan_units(blocks, false, 2);
  const std::vector<cli::Unit>& units = plan.units;
  CHECK_EQ(units.size(), std::size_t{6});
  const std::size_t begins[] = {0, 2, 5, 0, 0, 2}, ends[] = {2, 5, 10, 2, 2, 3};
  const std::uint64_t lines[] = {5, 6, 7, 9, 10, 11};
  CHECK_EQ(plan.next_line, std::uint64_t{12});
  for (std::size_t i = 0; i < units.size() && i < 6; ++i) {
    CHECK_EQ(units[i].begin, begins[i]);
    CHECK_EQ(units[i].end, ends[i]);
    CHECK_EQ(units[i].first_line, lines[i]);
  }
}

TEST(cli_writer_json_and_similarities) {
  std::string s;
  cli::append_json_string_body(s, std::string("a\"b\\c\n\r\t\b\f\x01\x1f\x7f\xC3\xA9", 15));
  CHECK_EQ(s, std::string("a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xC3\xA9"));
  const std::pair<float, const char*> shown[] = {{1.0f, "1.0"}, {0.5f, "0.5"},   {0.67f, "0.67"},
                                                 {0.05f, "0.05"}, {0.0f, "0.0"}, {0.8f, "0.8"}};
  for (const auto& [value, text] : shown) {
    std::string out;
    cli::append_similarity(out, value);
    CHECK_EQ(out, std::string(text));
  }
  // The size used to reserve room is the size written, for every similarity
  // the engine gives and for values outside 0..1.
  for (int i = -20; i <= 1020; ++i) {
    const float value = static_cast<float>(i) / 1000.0f;
    std::string out;
    cli::append_similarity(out, value);
    CHECK_EQ(cli::similarity_size(value), out.size());
  }
}
