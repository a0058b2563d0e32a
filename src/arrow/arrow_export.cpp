#include "arrow/arrow_export.hpp"

#include <cerrno>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

namespace fernquill::columns {
namespace {

// Stands in for an empty buffer, which consumers may not accept as null.
alignas(64) const std::int64_t kEmptyBuffer[8] = {};

template <class T>
const void* buffer_of(const std::vector<T>& v) {
  return v.empty() ? static_cast<const void*>(kEmptyBuffer) : static_cast<const void*>(v.data());
}
const void* buffer_of(const std::string& s) {
  return s.empty() ? static_cast<const void*>(kEmptyBuffer) : static_cast<const void*>(s.data());
}
const void* validity_of(const Validity& v) { return v.nulls == 0 ? nullptr : v.bits.data(); }

// The Arrow release protocol, the same for schemas, arrays and streams: the
// producer's `Node` behind private_data is freed, and a released struct has
// a null release callback.
template <class Node, class Struct>
void release_node(Struct* x) {
  delete static_cast<Node*>(x->private_data);
  x->release = nullptr;
}
// Releases the children a consumer did not move out.
template <class Struct>
void release_children(std::vector<Struct>& children) {
  for (Struct& c : children) {
    if (c.release != nullptr) c.release(&c);
  }
}

// ---- schemas ----

// Owns what its schema points to; children a consumer moved out are theirs.
struct SchemaNode {
  std::string format, name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  ~SchemaNode() { release_children(children); }
};

ArrowSchema make_schema(std::string format, std::string name, std::int64_t flags,
                        std::vector<ArrowSchema> children = {}) {
  auto node = std::make_unique<SchemaNode>();
  node->format = std::move(format);
  node->name = std::move(name);
  node->children = std::move(children);
  for (ArrowSchema& c : node->children) node->child_pointers.push_back(&c);
  ArrowSchema s{};
  s.format = node->format.c_str();
  s.name = node->name.c_str();
  s.flags = flags;
  s.n_children = static_cast<std::int64_t>(node->children.size());
  s.children = node->child_pointers.data();
  s.release = release_node<SchemaNode>;
  s.private_data = node.release();
  return s;
}

// ---- arrays ----

// Owns what its array points to and keeps the result's buffers alive.
struct ArrayNode {
  std::shared_ptr<const void> keep_alive;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  ~ArrayNode() { release_children(children); }
};

ArrowArray make_array(const std::shared_ptr<const void>& keep_alive, std::size_t length,
                      std::size_t nulls, std::initializer_list<const void*> buffers,
                      std::vector<ArrowArray> children = {}) {
  auto node = std::make_unique<ArrayNode>();
  node->keep_alive = keep_alive;
  node->buffers = buffers;
  node->children = std::move(children);
  for (ArrowArray& c : node->children) node->child_pointers.push_back(&c);
  ArrowArray a{};
  a.length = static_cast<std::int64_t>(length);
  a.null_count = static_cast<std::int64_t>(nulls);
  a.n_buffers = static_cast<std::int64_t>(node->buffers.size());
  a.buffers = node->buffers.data();
  a.n_children = static_cast<std::int64_t>(node->children.size());
  a.children = node->child_pointers.data();
  a.release = release_node<ArrayNode>;
  a.private_data = node.release();
  return a;
}

// Releases what was built so far if a later step throws.
struct ArraysGuard {
  std::vector<ArrowArray>& arrays;
  ~ArraysGuard() {
    for (ArrowArray& a : arrays) {
      if (a.release != nullptr) a.release(&a);
    }
  }
};

// Releases the schemas built so far if a later step throws.
struct SchemasGuard {
  std::vector<ArrowSchema>& schemas;
  ~SchemasGuard() {
    for (ArrowSchema& s : schemas) {
      if (s.release != nullptr) s.release(&s);
    }
  }
};

// A list schema around one item schema.
ArrowSchema list_schema(ArrowSchema item_schema, const Widths& widths) {
  std::vector<ArrowSchema> item;
  SchemasGuard guard{item};
  item.push_back(item_schema);
  return make_schema(widths.lists ? "+L" : "+l", "", ARROW_FLAG_NULLABLE, std::exchange(item, {}));
}

const char* string_format(const Widths& widths) {
  return widths.strings ? arrow::kLargeUtf8 : arrow::kUtf8;
}

// The Arrow type's name as pyarrow spells it, for repr.
std::string list_type_name(const std::string& item, const Widths& widths) {
  return std::string(widths.lists ? "large_list<" : "list<") + item + ">";
}
const char* string_type_name(const Widths& widths) {
  return widths.strings ? "large_string" : "string";
}

// A list array of a block's rows around one item array.
template <class Block>
ArrowArray list_array(const std::shared_ptr<const void>& keep, const Block& b, ArrowArray values) {
  std::vector<ArrowArray> item;
  ArraysGuard guard{item};
  item.push_back(values);
  return make_array(keep, b.rows(), b.validity.nulls,
                    {validity_of(b.validity), b.list_offsets.data()}, std::exchange(item, {}));
}

// The clean names of a block's matches, as a string array.
ArrowArray names_array(const std::shared_ptr<const void>& keep, const NamesBlock& b) {
  return make_array(keep, b.matches(), 0, {nullptr, b.name_offsets.data(), buffer_of(b.names)});
}

// A result made of blocks of one kind, a chunk each; `Export` gives the
// schema and a chunk of the type.
//
// Every chunk of a stream has the stream's one type: when some block's
// offsets had to grow to 64 bits, all of them do.
template <class Block, class Export>
class BlocksColumn final : public ResultColumn {
 public:
  explicit BlocksColumn(std::vector<Block> blocks) : blocks_(std::move(blocks)) {
    if (blocks_.empty()) blocks_.emplace_back();
    for (const Block& b : blocks_) {
      rows_ += b.rows();
      widths_ = widths_ | b.widths();
    }
    for (Block& b : blocks_) b.widen(widths_);
    type_name_ = Export::type_name(widths_);
  }
  std::size_t rows() const override { return rows_; }
  std::size_t chunk_count() const override { return blocks_.size(); }
  const char* type_name() const override { return type_name_.c_str(); }
  void export_schema(ArrowSchema& out) const override { out = Export::schema(widths_); }
  void export_chunk(std::size_t i, ArrowArray& out) const override {
    out = Export::chunk(shared_from_this(), blocks_[i]);
  }
  // In the blocks' widths, or wider past 2**31.
  std::shared_ptr<const ResultColumn> single_chunk() const override {
    if (blocks_.size() == 1) return shared_from_this();
    std::vector<Block> one;
    one.push_back(Block::joining(blocks_));
    for (const Block& b : blocks_) one[0].append_block(b);
    return std::make_shared<BlocksColumn>(std::move(one));
  }

 private:
  std::vector<Block> blocks_;
  std::size_t rows_ = 0;
  Widths widths_;
  std::string type_name_;
};

// Nullable throughout (though no match is null), so that the types equal
// the ones pyarrow and Polars spell by default.
struct ExtractExport {
  static std::string type_name(const Widths& w) {
    return list_type_name(std::string("struct<keyword: ") + string_type_name(w) +
                              ", similarity: float, start: int64, end: int64>",
                          w);
  }
  static ArrowSchema schema(const Widths& w) {
    std::vector<ArrowSchema> fields;
    SchemasGuard guard{fields};
    fields.push_back(make_schema(string_format(w), "keyword", ARROW_FLAG_NULLABLE));
    fields.push_back(make_schema("f", "similarity", ARROW_FLAG_NULLABLE));
    fields.push_back(make_schema("l", "start", ARROW_FLAG_NULLABLE));
    fields.push_back(make_schema("l", "end", ARROW_FLAG_NULLABLE));
    return list_schema(make_schema("+s", "item", ARROW_FLAG_NULLABLE, std::exchange(fields, {})),
                       w);
  }
  static ArrowArray chunk(const std::shared_ptr<const void>& keep, const ExtractBlock& b) {
    const std::size_t n = b.matches();
    std::vector<ArrowArray> fields;
    ArraysGuard guard{fields};
    fields.push_back(names_array(keep, b));
    fields.push_back(make_array(keep, n, 0, {nullptr, buffer_of(b.similarity)}));
    fields.push_back(make_array(keep, n, 0, {nullptr, buffer_of(b.start)}));
    fields.push_back(make_array(keep, n, 0, {nullptr, buffer_of(b.end)}));
    return list_array(keep, b, make_array(keep, n, 0, {nullptr}, std::exchange(fields, {})));
  }
};

struct NamesExport {
  static std::string type_name(const Widths& w) { return list_type_name(string_type_name(w), w); }
  static ArrowSchema schema(const Widths& w) {
    return list_schema(make_schema(string_format(w), "item", ARROW_FLAG_NULLABLE), w);
  }
  static ArrowArray chunk(const std::shared_ptr<const void>& keep, const NamesBlock& b) {
    return list_array(keep, b, names_array(keep, b));
  }
};

struct FlagsExport {
  static std::string type_name(const Widths&) { return "bool"; }
  static ArrowSchema schema(const Widths&) { return make_schema("b", "", ARROW_FLAG_NULLABLE); }
  static ArrowArray chunk(const std::shared_ptr<const void>& keep, const FlagsBlock& b) {
    return make_array(keep, b.rows(), b.validity.nulls,
                      {validity_of(b.validity), buffer_of(b.values.bits)});
  }
};

struct StringsExport {
  static std::string type_name(const Widths& w) { return string_type_name(w); }
  static ArrowSchema schema(const Widths& w) {
    return make_schema(string_format(w), "", ARROW_FLAG_NULLABLE);
  }
  static ArrowArray chunk(const std::shared_ptr<const void>& keep, const StringsBlock& b) {
    return make_array(keep, b.rows(), b.validity.nulls,
                      {validity_of(b.validity), b.offsets.data(), buffer_of(b.data)});
  }
};

// ---- the stream ----

struct StreamState {
  std::shared_ptr<const ResultColumn> column;
  std::size_t next = 0;
  std::string error;
};

template <class F>
int stream_step(ArrowArrayStream* s, F&& f) {
  auto* state = static_cast<StreamState*>(s->private_data);
  try {
    f(*state);
    return 0;
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  } catch (const std::exception& e) {
    state->error = e.what();
    return EIO;
  }
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  return stream_step(s, [&](StreamState& st) { st.column->export_schema(*out); });
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  return stream_step(s, [&](StreamState& st) {
    if (st.next == st.column->chunk_count()) {
      *out = ArrowArray{};  // release == nullptr: the end of the stream
      return;
    }
    st.column->export_chunk(st.next, *out);
    ++st.next;
  });
}

const char* stream_last_error(ArrowArrayStream* s) {
  auto* state = static_cast<StreamState*>(s->private_data);
  return state->error.empty() ? nullptr : state->error.c_str();
}

}  // namespace

void ResultColumn::export_stream(ArrowArrayStream& out) const {
  auto state = std::make_unique<StreamState>();
  state->column = shared_from_this();
  out.get_schema = stream_get_schema;
  out.get_next = stream_get_next;
  out.get_last_error = stream_last_error;
  out.release = release_node<StreamState>;
  out.private_data = state.release();
}

std::shared_ptr<ResultColumn> make_extract_column(std::vector<ExtractBlock> blocks) {
  return std::make_shared<BlocksColumn<ExtractBlock, ExtractExport>>(std::move(blocks));
}

std::shared_ptr<ResultColumn> make_names_column(std::vector<NamesBlock> blocks) {
  return std::make_shared<BlocksColumn<NamesBlock, NamesExport>>(std::move(blocks));
}

std::shared_ptr<ResultColumn> make_flags_column(std::vector<FlagsBlock> blocks) {
  return std::make_shared<BlocksColumn<FlagsBlock, FlagsExport>>(std::move(blocks));
}

std::shared_ptr<ResultColumn> make_strings_column(std::vector<StringsBlock> blocks) {
  return std::make_shared<BlocksColumn<StringsBlock, StringsExport>>(std::move(blocks));
}

}  // namespace fernquill::columns
