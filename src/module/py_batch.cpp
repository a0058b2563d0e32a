#include "module/py_batch.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "module/py_keyword_match.hpp"
#include "support/limits.hpp"
#include "worker_pool/ready_flags.hpp"
#include "worker_pool/worker_pool.hpp"

namespace fernquill::py {
namespace {

// The texts of one batch call. Their UTF-8 bytes (CPython's cached copies,
// see Utf8Copy) are held for the whole call, so the workers can read them in
// place while the calling thread, holding the interpreter lock, waits for
// them.
struct BatchInput {
  std::vector<Utf8Argument> items;
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
        in.items.emplace_back(item, "texts", Utf8Copy::kCached);
        in.texts.push_back(in.items.back().bytes());
      });
  in.threshold = to_optional_f32(threshold, "threshold");
  return in;
}

// Set while this thread builds a batch's results with the pool still at work
// on it. Building can run Python code (a collection, finalizers), which may
// start another batch: that one runs on this thread alone, since the pool
// takes one job at a time and would wait for this one forever.
thread_local bool t_building_batch = false;

// Runs op on every text on the worker pool and builds the list of
// to_python(result) on this thread as the results come in, each result
// freed once it is built. The threshold is checked once, here, so that a
// bad one fails the call before any text is scanned.
template <class Result, class Op, class ToPython>
Ref run_batch(const KeywordProcessor& processor, PyObject* texts, PyObject* threshold, Op&& op,
              ToPython&& to_python) {
  BatchInput in = convert_input(texts, threshold);
  SignalChecks checks;
  const std::size_t n = in.texts.size();
  std::vector<Result> results(n);
  ReadyFlags flags(n);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
  WorkerPool& pool = WorkerPool::global();
  if (n > 0) checked_threshold(in.threshold);
  std::size_t built = 0;
  if (t_building_batch) {
    for (; built < n; ++built) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(built),
                      to_python(op(processor, in.texts[built], in.threshold)).release());
    }
    return list;
  }
  const std::size_t written = pool.parallel_for(
      n,
      [&](std::size_t i) {
        try {
          results[i] = op(processor, in.texts[i], in.threshold);
        } catch (...) {
          flags.mark_failed();
          throw;
        }
        flags.mark_ready(i);
      },
      [&] {
        t_building_batch = true;
        struct Reset {
          ~Reset() { t_building_batch = false; }
        } reset;
        for (; built < n && flags.wait_for(built, &checks.token()); ++built) {
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(built),
                          to_python(results[built]).release());
          results[built] = Result();
        }
      });
  if (written != n || built != n) {
    throw Fault("expected " + std::to_string(n) + " total writes, but got " +
                std::to_string(written));
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
      [names = std::make_unique<NameStrs>()](const std::vector<KeywordMatch>& matches) {
        return new_match_list(matches, *names);
      });
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
