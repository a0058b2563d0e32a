// Rule (b) of the edit search: which (node, consumed) pairs a search from
// one start has expanded, and with how few edits (see edit_search.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace fernquill {

// When the table turns to rows (a power of two) and where the rows stop;
// smaller in tests, so that small searches take every path.
struct SeenLimits {
  std::size_t max_slots = std::size_t{1} << 22;    // 64 MiB: two million pairs at half load
  std::size_t dense_bytes = std::size_t{1} << 30;  // 270 rows of a trie of two million nodes
};

// The fewest edits with which each (node, consumed) pair was expanded at the
// current position: rule (b) keys states by the pair, not the triple, which
// both prunes more and keeps one entry where a triple would keep one per
// edit count.
//
// Two layouts. A search that meets few pairs keeps them in an open-addressing
// table (16 bytes a pair, at most half full; a generation stamp empties it
// for the next position without touching it). One that fills the table
// (SeenLimits::max_slots) goes on, for the rest of that position, in dense
// rows: one row of 2-byte counts per consumed count c met, indexed by node,
// so that a pair costs 2 bytes at worst and no pair is forgotten while the
// rows fit in SeenLimits::dense_bytes. The time bound of rule (b) then holds
// at any size of search, with memory at most 2 x nodes x (consumed counts
// met) bytes, and never more than that budget. Past it (or when memory runs
// out) the pairs of a row that cannot be had go to the full table, which
// forgets one pair for each: that only gives up some skipping, and results
// stay exact.
class FewestEdits {
 public:
  // `nodes`: node ids are below it.
  explicit FewestEdits(std::size_t nodes = 0, SeenLimits limits = {})
      : nodes_(nodes), limits_(limits) {}

  // Returns false when (node, c) was expanded with at most e edits before
  // at this position; else records e as its fewest.
  bool improves(std::uint32_t node, std::uint64_t c, std::int64_t e) {
    if (c > 0xFFFFFFFFu || static_cast<std::uint64_t>(e) > 0xFFFFFFFFu) return true;
    if (dense_ && e < kNone && node < nodes_) {
      if (Count* row = row_for(c)) {
        if (row[node] <= e) return false;
        row[node] = static_cast<Count>(e);
        return true;
      }
    }
    return table_improves(node, c, e);
  }
  void next_position() {
    live_ = 0;
    dense_ = false;
    if (++generation_ == 0) {  // stamps wrapped: really clear once
      for (Entry& slot : slots_) slot.generation = 0;
      std::fill(row_generation_.begin(), row_generation_.end(), 0);
      generation_ = 1;
    }
  }
  // Whether this position went on in dense rows (for tests).
  bool dense() const { return dense_; }

 private:
  struct Entry {
    std::uint64_t key = 0;  // node | consumed << 32
    std::uint32_t edits = 0;
    std::uint32_t generation = 0;
  };
  using Count = std::uint16_t;
  static constexpr Count kNone = std::numeric_limits<Count>::max();
  static constexpr std::size_t kFirstSlots = 1024;

  static std::size_t hash(std::uint64_t key) {
    std::uint64_t h = (key ^ (key >> 33)) * 0xFF51AFD7ED558CCDull;
    return static_cast<std::size_t>(h ^ (h >> 33));
  }
  void resize(std::size_t size) {
    std::vector<Entry> old;
    old.swap(slots_);
    slots_.assign(size, Entry{});
    live_ = 0;
    for (const Entry& slot : old) {
      if (slot.generation != generation_) continue;
      for (std::size_t h = hash(slot.key) & (size - 1);; h = (h + 1) & (size - 1)) {
        if (slots_[h].generation != generation_) {
          slots_[h] = slot;
          ++live_;
          break;
        }
      }
    }
  }
  bool table_improves(std::uint32_t node, std::uint64_t c, std::int64_t e) {
    const std::uint64_t key = node | (c << 32);
    const auto edits = static_cast<std::uint32_t>(e);
    if (slots_.empty()) resize(std::min(kFirstSlots, limits_.max_slots));
    const std::size_t mask = slots_.size() - 1;
    const std::size_t home = hash(key) & mask;
    for (std::size_t h = home;; h = (h + 1) & mask) {
      Entry& slot = slots_[h];
      if (slot.generation != generation_) {
        if ((live_ + 1) * 2 <= slots_.size()) {
          slot = Entry{key, edits, generation_};
          ++live_;
        } else if (slots_.size() < limits_.max_slots) {
          resize(slots_.size() * 2);
          return table_improves(node, c, e);
        } else if (!dense_) {
          go_dense();
          return improves(node, c, e);
        } else if (h != home) {
          // No row for this pair: the table forgets one to keep it.
          // Overwriting a live slot keeps every probe sequence intact.
          slots_[home] = Entry{key, edits, generation_};
        } else if ((live_ + 1) * 4 <= slots_.size() * 3) {
          // An empty home is filled up to three quarters, so that a probe
          // for a pair not kept always meets an empty slot.
          slot = Entry{key, edits, generation_};
          ++live_;
        }
        return true;
      }
      if (slot.key == key) {
        if (slot.edits <= edits) return false;
        slot.edits = edits;
        return true;
      }
    }
  }
  // Copies the pairs of this position from the table into the rows; those
  // without a row stay in the table, which a row, once made, overrides.
  void go_dense() {
    dense_ = true;
    for (const Entry& slot : slots_) {
      if (slot.generation != generation_ || slot.edits >= kNone) continue;
      const auto node = static_cast<std::uint32_t>(slot.key);
      if (node >= nodes_) continue;
      if (Count* row = row_for(slot.key >> 32)) {
        row[node] = std::min(row[node], static_cast<Count>(slot.edits));
      }
    }
  }
  // Row c, emptied for this position; null past the budget.
  Count* row_for(std::uint64_t c) {
    if (c >= rows_.size()) {
      if ((rows_made_ + 1) * nodes_ * sizeof(Count) > limits_.dense_bytes) return nullptr;
      rows_.resize(c + 1);
      row_generation_.resize(c + 1, 0);
    }
    std::unique_ptr<Count[]>& row = rows_[c];
    if (!row) {
      if ((rows_made_ + 1) * nodes_ * sizeof(Count) > limits_.dense_bytes) return nullptr;
      row.reset(new (std::nothrow) Count[nodes_]);
      if (!row) return nullptr;
      ++rows_made_;
    }
    if (row_generation_[c] != generation_) {
      std::fill_n(row.get(), nodes_, kNone);
      row_generation_[c] = generation_;
    }
    return row.get();
  }

  std::size_t nodes_;
  SeenLimits limits_;
  std::vector<Entry> slots_;
  std::size_t live_ = 0;
  std::uint32_t generation_ = 1;
  bool dense_ = false;
  std::vector<std::unique_ptr<Count[]>> rows_;  // by consumed count
  std::vector<std::uint32_t> row_generation_;   // the position each row holds
  std::size_t rows_made_ = 0;
};

}  // namespace fernquill
