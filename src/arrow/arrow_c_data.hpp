// The Arrow C data interface: the three structs by which Arrow libraries hand
// columns to each other in memory, and the capsule names of the Arrow
// PyCapsule interface. Written out here because they are small, fixed by the
// Arrow format and need no library.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace fernquill::arrow {

inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kArrayCapsule = "arrow_array";
inline constexpr const char* kStreamCapsule = "arrow_array_stream";

// Value formats of the three string layouts.
inline constexpr const char* kUtf8 = "u";       // int32 offsets
inline constexpr const char* kLargeUtf8 = "U";  // int64 offsets
inline constexpr const char* kUtf8View = "vu";  // 16-byte views
inline constexpr const char* kNull = "n";       // no values at all

// One string_view slot: inline when at most 12 bytes long, else a prefix and
// a place in one of the variadic data buffers.
inline constexpr std::int32_t kViewInlineMax = 12;
inline constexpr std::size_t kViewSize = 16;

}  // namespace fernquill::arrow
