#include "arrow/column_import.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "support/limits.hpp"

namespace fernquill::columns {
namespace {

using py::Ref;

constexpr const char* kParam = "column";
constexpr std::int64_t kNullCountUnknown = -1;

// Readable names of the Arrow formats a user is likely to pass by mistake.
std::string describe_format(const ArrowSchema& schema) {
  const std::string_view f = schema.format ? schema.format : "";
  if (schema.dictionary != nullptr) return "dictionary of " + describe_format(*schema.dictionary);
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"n", "null"},   {"b", "bool"},         {"c", "int8"},         {"s", "int16"},
      {"i", "int32"},  {"l", "int64"},        {"f", "float"},        {"g", "double"},
      {"z", "binary"}, {"Z", "large_binary"}, {"vz", "binary_view"}, {"+s", "struct"},
      {"+l", "list"},  {"+L", "large_list"}};
  for (const auto& [format, name] : kNames) {
    if (f == format) return std::string(name);
  }
  return "format '" + std::string(f) + "'";
}

// The null type stands for strings that are all missing.
bool is_string_format(std::string_view f) {
  return f == arrow::kUtf8 || f == arrow::kLargeUtf8 || f == arrow::kUtf8View || f == arrow::kNull;
}

bool is_index_format(std::string_view f) {
  return f.size() == 1 && std::string_view("cCsSiIlL").find(f[0]) != std::string_view::npos;
}

// What the arrays of a schema hold: the format of the string values (of
// the dictionary, when `index_format` is set), and whether they sit in a
// one-column table.
struct ValuesLayout {
  std::string_view format;
  std::string_view index_format;
  bool in_table = false;
};

// The layout of a plain or dictionary-encoded string column; nullopt for
// anything else.
std::optional<ValuesLayout> string_layout(const ArrowSchema& schema) {
  const std::string_view f = schema.format ? schema.format : "";
  if (schema.dictionary == nullptr) {
    if (is_string_format(f)) return ValuesLayout{f, {}};
    return std::nullopt;
  }
  const ArrowSchema& values = *schema.dictionary;
  const std::string_view v = values.format ? values.format : "";
  if (is_index_format(f) && values.dictionary == nullptr && is_string_format(v)) {
    return ValuesLayout{v, f};
  }
  return std::nullopt;
}

// A table (a DuckDB relation, a pyarrow table or record batch) has the
// format of a struct; one of a single string column stands for that column.
bool is_table(const ArrowSchema& schema) {
  return schema.format != nullptr && std::string_view(schema.format) == "+s";
}

// How to get a string column from what was passed.
constexpr const char* kPassStrings =
    ": pass a column of strings (pyarrow.compute.cast(column, pyarrow.string()) converts "
    "numbers; binary must be decoded)";
constexpr const char* kPassOneColumn =
    ": pass one column (table['text'], relation.select('text'), frame['text'])";

constexpr const char* kPassList = ": pass a list of str or an Arrow string column";

// Throws unless the schema is a string layout, or a table of one.
ValuesLayout values_layout(const ArrowSchema& schema) {
  if (const auto layout = string_layout(schema)) return *layout;
  if (!is_table(schema)) {
    py::raise_argument_type_error(kParam,
                                  "expected string, large_string or string_view values, got " +
                                      describe_format(schema) + kPassStrings);
  }
  if (schema.n_children != 1 || schema.children == nullptr || schema.children[0] == nullptr) {
    py::raise_argument_type_error(
        kParam, "got a table of " + std::to_string(std::max<std::int64_t>(schema.n_children, 0)) +
                    " columns, not a column" + kPassOneColumn);
  }
  const ArrowSchema& column = *schema.children[0];
  auto layout = string_layout(column);
  if (!layout) {
    py::raise_argument_type_error(
        kParam, "got a table of one " + describe_format(column) + " column" + kPassStrings);
  }
  layout->in_table = true;
  return *layout;
}

// Releases an Arrow struct we moved out of a capsule when it goes.
template <class T>
struct Released {
  T value{};
  ~Released() { release_keeping_error(value); }
};

// The release of a table's column made an array of its own: the table owns
// the column's buffers and goes with it.
void release_table(ArrowArray* column) {
  delete static_cast<Released<ArrowArray>*>(column->private_data);
  column->release = nullptr;
}

// Whether a table has a null row. A producer that did not count them says
// -1; its bitmap then answers, over the table's own rows only (the length
// and offset are checked against the column's before this is asked).
bool has_null_rows(const ArrowArray& t) {
  if (t.n_buffers < 1 || t.buffers == nullptr || t.buffers[0] == nullptr) return false;
  if (t.null_count != kNullCountUnknown) return t.null_count != 0;
  const auto* bits = static_cast<const std::uint8_t*>(t.buffers[0]);
  std::size_t i = static_cast<std::size_t>(t.offset);
  const std::size_t end = i + static_cast<std::size_t>(t.length);
  auto valid = [&](std::size_t bit) { return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0; };
  for (; i < end && (i & 7) != 0; ++i) {
    if (!valid(i)) return true;
  }
  for (; i + 8 <= end; i += 8) {  // whole bytes of the bitmap
    if (bits[i >> 3] != 0xFF) return true;
  }
  for (; i < end; ++i) {
    if (!valid(i)) return true;
  }
  return false;
}

// Takes the table over and gives its one column, sliced as the table is,
// as an array that releases the table.
ArrowArray column_of_table(ArrowArray& table) {
  auto owner = std::make_unique<Released<ArrowArray>>();
  owner->value = std::exchange(table, ArrowArray{});
  const ArrowArray& t = owner->value;
  if (t.n_children != 1 || t.children == nullptr || t.children[0] == nullptr) {
    throw MalformedColumn("malformed Arrow table: not one column");
  }
  ArrowArray column = *t.children[0];
  if (t.length < 0 || t.offset < 0 || column.length < 0 || column.offset < 0 ||
      static_cast<std::uint64_t>(t.offset) + static_cast<std::uint64_t>(t.length) >
          static_cast<std::uint64_t>(column.length)) {
    throw MalformedColumn("malformed Arrow table: its column is shorter than the table");
  }
  if (has_null_rows(t)) {
    throw MalformedColumn("a struct column with null rows is not a string column");
  }
  // Both below 2**63 and the sum checked again by the chunk.
  column.offset = static_cast<std::int64_t>(static_cast<std::uint64_t>(column.offset) +
                                            static_cast<std::uint64_t>(t.offset));
  column.length = t.length;
  column.null_count = -1;  // of the whole child; unknown for the slice
  column.release = release_table;
  column.private_data = owner.release();
  return column;
}

// Moves the struct out of a capsule, leaving it released so that the
// capsule's destructor does nothing. `method` names the export it came from.
template <class T>
void take_from_capsule(PyObject* capsule, const char* name, const char* method, T& out) {
  if (!PyCapsule_CheckExact(capsule)) {
    py::raise_argument_type_error(kParam, std::string(method) + " returned '" +
                                              py::type_qualname(capsule) + "', not a capsule");
  }
  const char* found = PyCapsule_GetName(capsule);
  if (found == nullptr || std::string_view(found) != name) {
    const std::string said = found == nullptr ? "None" : "'" + std::string(found) + "'";
    py::raise_argument_type_error(
        kParam, std::string(method) + " returned a capsule named " + said + ", not '" + name + "'");
  }
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (p == nullptr) py::throw_error_set();
  if (p->release == nullptr) {
    py::raise_argument_type_error(kParam, std::string("the ") + name + " capsule was already used");
  }
  out = *p;
  p->release = nullptr;
}

StringChunk chunk_of(const ValuesLayout& layout, ArrowArray& array) {
  if (layout.index_format.empty()) return StringChunk::from_arrow(layout.format, array);
  return StringChunk::from_dictionary(layout.index_format, layout.format, array);
}

void add_chunk(ImportedColumn& in, const ValuesLayout& layout, ArrowArray& array) {
  if (layout.in_table) {
    ArrowArray column = column_of_table(array);
    in.column.chunks.push_back(chunk_of(layout, column));
  } else {
    in.column.chunks.push_back(chunk_of(layout, array));
  }
  in.column.large = in.column.large || in.column.chunks.back().has_large_offsets();
}

void import_stream(PyObject* column, ImportedColumn& in) {
  Ref capsule = Ref::check(PyObject_CallMethod(column, "__arrow_c_stream__", nullptr));
  Released<ArrowArrayStream> stream;
  take_from_capsule(capsule.get(), arrow::kStreamCapsule, "__arrow_c_stream__", stream.value);
  if (stream.value.get_schema == nullptr || stream.value.get_next == nullptr) {
    throw MalformedColumn("malformed Arrow stream: a callback is missing");
  }
  auto fail = [&](const char* step) {
    const char* why = stream.value.get_last_error == nullptr
                          ? nullptr
                          : stream.value.get_last_error(&stream.value);
    throw MalformedColumn(std::string("the Arrow stream failed to ") + step +
                          (why ? std::string(": ") + why : std::string()));
  };
  Released<ArrowSchema> schema;
  if (stream.value.get_schema(&stream.value, &schema.value) != 0) fail("give its schema");
  const ValuesLayout layout = values_layout(schema.value);
  while (true) {
    Released<ArrowArray> array;
    if (stream.value.get_next(&stream.value, &array.value) != 0) fail("give its next chunk");
    if (array.value.release == nullptr) break;  // the end
    add_chunk(in, layout, array.value);
  }
}

void import_array(PyObject* column, ImportedColumn& in) {
  Ref pair = Ref::check(PyObject_CallMethod(column, "__arrow_c_array__", nullptr));
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    py::raise_argument_type_error(kParam, "__arrow_c_array__ did not return two capsules");
  }
  Released<ArrowSchema> schema;
  Released<ArrowArray> array;
  take_from_capsule(PyTuple_GET_ITEM(pair.get(), 0), arrow::kSchemaCapsule, "__arrow_c_array__",
                    schema.value);
  take_from_capsule(PyTuple_GET_ITEM(pair.get(), 1), arrow::kArrayCapsule, "__arrow_c_array__",
                    array.value);
  add_chunk(in, values_layout(schema.value), array.value);
}

// A missing row as pandas writes one: None, or a float NaN.
bool is_missing(PyObject* item) {
  return item == Py_None || (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)));
}

[[noreturn]] void refuse_row(std::size_t row, PyObject* item) {
  py::raise_argument_type_error(kParam,
                                "row " + std::to_string(row) + " is '" + py::type_qualname(item) +
                                    "', not str: pass str, or None or NaN for a missing row");
}

void import_sequence(PyObject* column, ImportedColumn& in) {
  std::vector<std::string_view> rows;
  std::vector<bool> valid;
  py::for_each_in_sequence(
      column, kParam,
      [&](Py_ssize_t hint) {
        const std::size_t n = std::min(static_cast<std::size_t>(hint), kMaxDeclaredReserve);
        rows.reserve(n);
        in.rows_kept.reserve(n);
      },
      [&](PyObject* item) {
        if (is_missing(item)) {
          rows.emplace_back();
          valid.push_back(false);
          return;
        }
        if (!PyUnicode_Check(item)) refuse_row(rows.size(), item);
        // CPython's cached UTF-8, as the batch methods read their texts.
        in.rows_kept.emplace_back(item, kParam, py::Utf8Copy::kCached);
        rows.push_back(in.rows_kept.back().bytes());
        valid.push_back(true);
      });
  in.column.chunks.push_back(StringChunk::from_spans(std::move(rows), std::move(valid)));
}

// hasattr() that lets errors other than AttributeError through.
bool has_attr(PyObject* obj, const char* name) {
  Ref attr(PyObject_GetAttrString(obj, name));
  if (attr) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
  PyErr_Clear();
  return false;
}

}  // namespace

ImportedColumn::~ImportedColumn() {
  PendingErrorKept kept;
  column.chunks.clear();  // each chunk releases its Arrow array
}

ImportedColumn import_column(PyObject* column) {
  ImportedColumn in;
  if (PyUnicode_Check(column) || PyBytes_Check(column) || PyByteArray_Check(column)) {
    py::raise_argument_type_error(
        kParam, "expected a column of strings, got '" + py::type_qualname(column) +
                    "': pass a list of str ([text] for one text) or an Arrow string column");
  }
  if (has_attr(column, "__arrow_c_stream__")) {
    import_stream(column, in);
  } else if (has_attr(column, "__arrow_c_array__")) {
    import_array(column, in);
  } else if (PySequence_Check(column)) {
    import_sequence(column, in);
  } else {
    py::raise_argument_type_error(kParam,
                                  "expected an Arrow string column or a sequence of str, got '" +
                                      py::type_qualname(column) + "'" + kPassList);
  }
  return in;
}

}  // namespace fernquill::columns
