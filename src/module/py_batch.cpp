#include "module/py_batch.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "module/py_keyword_match.hpp"
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

// Never reserve more than this on the strength of a reported length alone.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

BatchInput convert_input(PyObject* texts, PyObject* threshold) {
  BatchInput in;
  for_each_in_sequence(
      texts, "texts",
      [&](Py_ssize_t hint) {
        if (static_cast<std::size_t>(hint) > in.texts.max_size()) throw Fault("capacity overflow");
        std::size_t reserve = static_cast<std::size_t>(std::min(hint, kMaxReserve));
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

// Runs body(i) for every text on the worker pool and checks that every slot
// was written.
template <class Body>
void run_batch(const KeywordProcessor& processor, std::size_t n, Body&& body) {
  WorkerPool& pool = WorkerPool::global();
  processor.scan_index();  // compile on this thread before the workers read it
  std::size_t written = pool.parallel_for(n, body);
  if (written != n) {
    throw Fault("expected " + std::to_string(n) + " total writes, but got " +
                std::to_string(written));
  }
}

}  // namespace

Ref batch_extract(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold) {
  BatchInput in = convert_input(texts, threshold);
  std::size_t n = in.texts.size();
  std::vector<std::vector<KeywordMatch>> results(n);
  run_batch(processor, n, [&](std::size_t i) {
    results[i] = extract_keywords(processor, in.texts[i], in.threshold);
  });
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_match_list(results[i]).release());
  }
  return list;
}

Ref batch_replace(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold) {
  BatchInput in = convert_input(texts, threshold);
  std::size_t n = in.texts.size();
  std::vector<std::string> results(n);
  run_batch(processor, n, [&](std::size_t i) {
    results[i] = replace_keywords(processor, in.texts[i], in.threshold);
  });
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(results[i]).release());
  }
  return list;
}

}  // namespace fernquill::py
