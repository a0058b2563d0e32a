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

// What a trie state holds, found by a quick pass that builds nothing: the
// store is then sized exactly once instead of growing node by node.
struct TrieStateSize {
  std::size_t nodes = 1;  // the root
  std::size_t name_bytes = 0;
};

// Counts what the bytes ahead of `in` (a copy: the reader itself does not
// move) encode as a trie. Malformed input ends the count early; the reading
// pass that follows refuses it with its proper failure. Counts only what is
// present, so a forged count reserves nothing beyond the input's size.
TrieStateSize measure_trie_state(StateReader in) {
  TrieStateSize size;
  std::vector<std::uint64_t> remaining;  // children still to read, per open node
  try {
    remaining.push_back(in.read_length());
    while (!remaining.empty()) {
      if (remaining.back() > 0) {
        --remaining.back();
        in.read_char();
        ++size.nodes;
        remaining.push_back(in.read_length());
        continue;
      }
      remaining.pop_back();
      if (in.read_u8() == 1) {
        const std::uint64_t n = in.read_length();
        if (n > in.remaining()) break;
        in.read_fixed(static_cast<std::size_t>(n));
        size.name_bytes += static_cast<std::size_t>(n);
      }
    }
  } catch (const Fault&) {
    // Counted so far; the reading pass reports the failure.
  }
  return size;
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
  // One frame per node whose children are still being read. Children are
  // linked to their node as they are read, in the order of the state, which
  // is key order for every state this module writes; a node whose keys came
  // out of order (a state written elsewhere) is sorted when it closes.
  struct Frame {
    std::uint64_t remaining;  // children still to read
    NodeId node;
    NodeId last_child;  // kNoNode before the first
    std::uint32_t last_key;
    bool ordered;  // keys strictly ascending so far
  };
  std::vector<Frame> frames;
  std::vector<std::pair<std::uint32_t, NodeId>> scratch;  // for sort_children

  if (trie.node_count() != 1 || trie.has_clean_name(Trie::kRoot)) {
    throw Fault("read_trie_state: the target trie is not empty");
  }
  const TrieStateSize size = measure_trie_state(in);
  trie.reserve(size.nodes, size.name_bytes);

  auto open = [&](NodeId node) { frames.push_back({in.read_length(), node, kNoNode, 0, true}); };

  open(Trie::kRoot);
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.remaining > 0) {
      --top.remaining;
      const std::uint32_t key = in.read_char();
      const NodeId child = trie.append_child(top.node, top.last_child, key);
      top.ordered = top.ordered && (top.last_child == kNoNode || key > top.last_key);
      top.last_child = child;
      top.last_key = key;
      open(child);  // `top` is dead from here
      continue;
    }
    const NodeId node = top.node;
    const bool ordered = top.ordered;
    frames.pop_back();
    if (!ordered) trie.sort_children(node, scratch);
    const std::uint8_t tag = in.read_u8();
    if (tag == 1) {
      trie.set_clean_name(node, in.read_text());
    } else if (tag != 0) {
      throw_state_failure(state_failure::invalid_tag(tag));
    }
  }
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
