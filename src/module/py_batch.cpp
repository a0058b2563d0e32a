#include "module/py_batch.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "module/py_keyword_match.hpp"
#include "support/limits.hpp"
#include "worker_pool/worker_pool.hpp"

namespace fernquill::py {
namespace {

// The texts of one batch call. The items stay referenced for the whole call,
// so the workers can read their UTF-8 buffers in place while the calling
// thread, holding the interpreter lock, waits for them.
struct BatchInput {
  std::vector<Ref> items;
  std::vector<std::string_view> texts;
  std::optional<float> threshold;
};

BatchInput convert_input(PyObject* texts, PyObject* threshold) {
  BatchInput in;
  for_each_in_sequence(
      texts, "texts",
      [&](Py_ssize_t hint) {
        if (static_cast<std::size_t>(hint) > in.texts.max_size()) throw Fault("capacity overflow");
        const std::size_t reserve = std::min(static_cast<std::size_t>(hint), kMaxDeclaredReserve);
        in.items.reserve(reserve);
        in.texts.reserve(reserve);
      },
      [&](PyObject* item) {
        in.texts.push_back(to_text(item, "texts"));
        in.items.push_back(Ref::borrowed(item));
      });
  in.threshold = to_optional_f32(threshold, "threshold");
  return in;
}

// Runs op on every text on the worker pool, checks that every slot was
// written, then builds the list of to_python(result) on this thread.
template <class Result, class Op, class ToPython>
Ref run_batch(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold, Op&& op,
              ToPython&& to_python) {
  BatchInput in = convert_input(texts, threshold);
  std::size_t n = in.texts.size();
  std::vector<Result> results(n);
  WorkerPool& pool = WorkerPool::global();
  std::size_t written = in_engine([&] {
    return pool.parallel_for(
        n, [&](std::size_t i) { results[i] = op(processor, in.texts[i], in.threshold); });
  });
  if (written != n) {
    throw Fault("expected " + std::to_string(n) + " total writes, but got " +
                std::to_string(written));
  }
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(results[i]).release());
  }
  return list;
}

}  // namespace

Ref batch_extract(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold) {
  return run_batch<std::vector<KeywordMatch>>(
      processor, texts, threshold,
      [](const KeywordProcessor& p, std::string_view text, std::optional<float> t) {
        return extract_keywords(p, text, t);
      },
      [](const std::vector<KeywordMatch>& matches) { return new_match_list(matches); });
}

Ref batch_replace(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold) {
  return run_batch<std::string>(
      processor, texts, threshold,
      [](const KeywordProcessor& p, std::string_view text, std::optional<float> t) {
        return replace_keywords(p, text, t);
      },
      [](const std::string& text) { return new_str(text); });
}

}  // namespace fernquill::py
