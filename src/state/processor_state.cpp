#include "state/processor_state.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "support/fault.hpp"

namespace fernquill {

namespace {

constexpr std::size_t kWordSetBytes = WordSet::kWords * kU64FieldBytes;

std::size_t node_fixed_bytes(const Trie& trie, NodeId node) {
  std::size_t bytes = kU64FieldBytes + kU8FieldBytes;  // child count, clean-name tag
  if (trie.has_clean_name(node)) bytes += text_field_bytes(trie.clean_name(node).size());
  return bytes;
}

void write_node_name(const Trie& trie, NodeId node, StateWriter& out) {
  if (!trie.has_clean_name(node)) {
    out.put_u8(0);
    return;
  }
  out.put_u8(1);
  out.put_text(trie.clean_name(node));
}

bool read_bool(StateReader& in) {
  const std::uint8_t b = in.read_u8();
  if (b > 1) throw_state_failure(state_failure::invalid_bool(b));
  return b == 1;
}

// Walks the trie encoding ahead of `in` depth first, reading every field in
// the order of the state (so a malformed state fails at its first bad
// field), and tells `visit` what it finds:
//   visit.node(id, parent, previous, key): a node, `previous` being the
//     sibling read before it or kNoNode;
//   visit.name(id, text): its clean name, read once its children are;
//   visit.unordered(id): its children, all read, came out of key order.
// Nodes are numbered in the order they appear, the root 0. `kCheckText`
// checks that clean names are UTF-8; a second pass over a state the first
// has walked can skip that.
//
// Most nodes have one child, and those are not stacked: an entry is kept
// for the root and for each node with several children, and counts the
// single-child nodes on the path below it. A path closes from the bottom
// up, so their tags follow the bottom node's one after another, and since
// each one's child comes right after it, their ids are the ones just below
// the bottom node's.
template <bool kCheckText, class Visitor>
class TrieStateWalk {
 public:
  TrieStateWalk(StateReader in, Visitor& visit) : r_(in), visit_(visit) {}

  // Returns the reader past the trie.
  StateReader run() {
    open_.push_back({r_.read_length(), Trie::kRoot, kNoNode, 0, 0, true});
    for (;;) {
      Branch& top = open_.back();
      if (top.remaining > 0) {
        const NodeId bottom = descend(top);  // `top` may be dead from here
        if (bottom == kNoNode) continue;     // it has children to read
        close(bottom);                       // a leaf
        close_chain(open_.back(), bottom);
        continue;
      }
      // Every child read: close the node, then the path above it.
      const NodeId node = top.node;
      const bool ordered = top.ordered;
      open_.pop_back();
      if (!ordered) visit_.unordered(node);
      close(node);
      if (open_.empty()) return r_;
      close_chain(open_.back(), node);
    }
  }

 private:
  struct Branch {
    std::uint64_t remaining;  // children still to read
    NodeId node;
    NodeId last_child;  // kNoNode before the first
    std::uint32_t last_key;
    std::uint64_t chain;  // single-child nodes on the current path below it
    bool ordered;         // keys strictly ascending so far
  };

  // Reads the next child of `top` and the path below it while each node has
  // one child. Returns the node at the bottom when it is a leaf, else
  // kNoNode, having opened an entry for it.
  [[gnu::always_inline]] NodeId descend(Branch& top) {
    --top.remaining;
    std::uint32_t key = r_.read_char();
    NodeId node = next_id_++;
    visit_.node(node, top.node, top.last_child, key);
    top.ordered = top.ordered && (top.last_child == kNoNode || key > top.last_key);
    top.last_child = node;
    top.last_key = key;
    std::uint64_t chain = 0;
    std::uint64_t count;
    for (;;) {
      if (!r_.read_size_and_ascii_char(1, key)) {
        count = r_.read_length();
        if (count != 1) break;
        key = r_.read_char();
      }
      ++chain;
      visit_.node(next_id_, node, kNoNode, key);
      node = next_id_++;
    }
    top.chain = chain;
    if (count == 0) return node;
    open_.push_back({count, node, kNoNode, 0, 0, true});
    return kNoNode;
  }

  [[gnu::always_inline]] void close(NodeId node) {
    const std::uint8_t tag = r_.read_u8();
    if (tag == 1) {
      visit_.name(node, kCheckText ? r_.read_text() : r_.read_text_bytes());
    } else if (tag != 0) {
      throw_state_failure(state_failure::invalid_tag(tag));
    }
  }

  // Closes the one-child nodes above `bottom`. Most of them have no clean
  // name: a short run of tags that are all 0 is passed in one step.
  [[gnu::always_inline]] void close_chain(Branch& branch, NodeId bottom) {
    if (!r_.skip_zero_bytes(branch.chain)) {
      for (std::uint64_t k = 1; k <= branch.chain; ++k) close(bottom - static_cast<NodeId>(k));
    }
    branch.chain = 0;
  }

  StateReader r_;
  Visitor& visit_;
  NodeId next_id_ = 1;
  std::vector<Branch> open_;
};

template <bool kCheckText, class Visitor>
void walk_trie_state(StateReader& in, Visitor& visit) {
  in = TrieStateWalk<kCheckText, Visitor>(in, visit).run();
}

// What a trie state holds: the store is sized exactly once from it instead
// of growing node by node.
struct TrieStateSize {
  std::size_t nodes = 1;  // the root
  std::size_t name_bytes = 0;
};

// The first of two passes: checks every field of the trie encoding ahead of
// `in` (a copy: the reader itself does not move) and measures it. A refused
// state allocates no store.
TrieStateSize check_trie_state(StateReader in) {
  struct Measure {
    TrieStateSize size;
    void node(NodeId, NodeId, NodeId, std::uint32_t) { ++size.nodes; }
    void name(NodeId, std::string_view text) { size.name_bytes += text.size(); }
    void unordered(NodeId) {}
  } measure;
  walk_trie_state<true>(in, measure);
  return measure.size;
}

}  // namespace

std::size_t trie_state_size(const Trie& trie) {
  // Same depth-first order as the writer: a stack of the next sibling to
  // visit at each open level.
  std::size_t total = node_fixed_bytes(trie, Trie::kRoot);
  std::vector<NodeId> stack;
  NodeId next = trie.first_child(Trie::kRoot);
  for (;;) {
    if (next == kNoNode) {
      if (stack.empty()) break;
      next = stack.back();
      stack.pop_back();
      continue;
    }
    total += char_field_bytes(trie.key(next)) + node_fixed_bytes(trie, next);
    const NodeId sibling = trie.next_sibling(next);
    if (sibling != kNoNode) stack.push_back(sibling);
    next = trie.first_child(next);
  }
  return total;
}

void write_trie_state(const Trie& trie, StateWriter& out) {
  // Depth first: a node's count, then each (key, child) in key order, then
  // its tag and name once all children are out. One frame per open node.
  // The count is written as a placeholder and filled in when the node
  // closes, which saves walking every sibling list twice.
  struct Frame {
    NodeId node;
    NodeId next_child;
    std::size_t count_at;
    std::uint64_t count;
  };
  std::vector<Frame> stack;
  auto open = [&](NodeId node) {
    stack.push_back({node, trie.first_child(node), out.position(), 0});
    out.put_u64(0);
  };
  open(Trie::kRoot);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_child != kNoNode) {
      const NodeId child = top.next_child;
      top.next_child = trie.next_sibling(child);
      ++top.count;
      out.put_char(trie.key(child));
      open(child);  // `top` is dead from here
      continue;
    }
    if (top.count != 0) out.patch_u64(top.count_at, top.count);
    write_node_name(trie, top.node, out);
    stack.pop_back();
  }
}

void read_trie_state(StateReader& in, Trie& trie) {
  if (trie.node_count() != 1 || trie.has_clean_name(Trie::kRoot)) {
    throw Fault("read_trie_state: the target trie is not empty");
  }
  const TrieStateSize size = check_trie_state(in);
  trie.start_listing(size.nodes, size.name_bytes);

  // The second pass builds, over fields the first has checked. Children are
  // linked to their node as they are read, in the order of the state, which
  // is key order for every state this module writes; a node whose keys came
  // out of order (a state written elsewhere) is sorted once they are all in.
  struct Build {
    Trie& trie;
    std::vector<std::pair<std::uint32_t, NodeId>> scratch;  // for sort_children
    void node(NodeId id, NodeId parent, NodeId previous, std::uint32_t key) {
      trie.list_node(id, parent, previous, key);
    }
    void name(NodeId id, std::string_view text) { trie.set_clean_name(id, text); }
    void unordered(NodeId id) { trie.sort_children(id, scratch); }
  } build{trie, {}};
  walk_trie_state<false>(in, build);
}

std::size_t processor_state_size(const WordSet&, const Trie& trie) {
  return kU64FieldBytes + kWordSetBytes + trie_state_size(trie) + 2 * kU8FieldBytes;
}

void write_processor_state(const WordSet& words, const Trie& trie, bool case_sensitive,
                           bool allow_overlaps, std::span<char> out) {
  StateWriter writer(out);
  writer.put_u64(WordSet::kWords);
  for (std::uint64_t w : words.words()) writer.put_u64(w);
  write_trie_state(trie, writer);
  writer.put_u8(case_sensitive ? 1 : 0);
  writer.put_u8(allow_overlaps ? 1 : 0);
  if (writer.remaining() != 0) throw Fault("processor state: buffer larger than the state");
}

std::size_t processor_state_size(const KeywordProcessor& p) {
  return processor_state_size(p.word_set(), p.trie());
}

void write_processor_state(const KeywordProcessor& p, std::span<char> out) {
  write_processor_state(p.word_set(), p.trie(), p.case_sensitive(), p.allow_overlaps(), out);
}

std::string encode_processor_state(const KeywordProcessor& p) {
  std::string out(processor_state_size(p), '\0');
  write_processor_state(p, out);
  return out;
}

std::string encode_processor_state(const ProcessorState& s) {
  std::string out(processor_state_size(s.words, s.trie), '\0');
  write_processor_state(s.words, s.trie, s.case_sensitive, s.allow_overlaps, out);
  return out;
}

std::unique_ptr<ProcessorState> decode_processor_state(std::string_view state,
                                                       std::uint64_t max_size) {
  StateReader in(state, max_size);

  // The word-character set. Every counted word must be present before a
  // count other than the set's own size is refused, and since each word is
  // a fixed 8 bytes both can be decided without storing any of them.
  const std::uint64_t count = in.read_length();
  if (count > in.remaining() / kU64FieldBytes) throw_state_failure(state_failure::kShortField);
  if (count != WordSet::kWords)
    throw_state_failure(state_failure::wrong_count(count, WordSet::kWords));
  auto out = std::make_unique<ProcessorState>();
  WordSet::Words& words = out->words.words();
  std::memcpy(words.data(), in.read_fixed(kWordSetBytes).data(), kWordSetBytes);
  for (std::uint64_t& w : words) w = little_endian(w);

  read_trie_state(in, out->trie);
  out->case_sensitive = read_bool(in);
  out->allow_overlaps = read_bool(in);
  return out;
}

}  // namespace fernquill
