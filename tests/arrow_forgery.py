"""Hand-made Arrow C data structs and PyCapsules, for feeding the column calls
input no Arrow library would produce.

Every struct's release callback records that it ran and marks the struct
released, so a test can check that each struct the call took over was
released exactly once (nothing leaked, nothing freed twice).
"""

import ctypes

import pytest

pythonapi = ctypes.pythonapi
pythonapi.PyCapsule_New.restype = ctypes.py_object
pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    _fields_ = [
        ("length", ctypes.c_int64),
        ("null_count", ctypes.c_int64),
        ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("buffers", ctypes.c_void_p),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.c_void_p),
        ("get_next", ctypes.c_void_p),
        ("get_last_error", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                              ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                            ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))


def address(obj):
    return ctypes.cast(obj, ctypes.c_void_p).value


class Forgery:
    """Keeps every buffer, struct and callback of a forged column alive, and
    counts the releases of the structs it handed out."""

    def __init__(self, on_release=None):
        self.keep = []
        self.releases = []  # per struct: how often it was released
        self.structs = []  # (struct, or None when handed out directly; its index)
        self.on_release = on_release  # extra work a release does (re-entry, raising)

    def _release_of(self, callback_type, struct=None):
        index = len(self.releases)
        self.releases.append(0)
        self.structs.append((struct, index))

        def release(p):
            self.releases[index] += 1
            p.contents.release = None  # released, as the interface asks
            if self.on_release is not None:
                self.on_release()

        callback = callback_type(release)
        self.keep.append(callback)
        return ctypes.cast(callback, ctypes.c_void_p).value

    def buffer(self, data):
        """A C buffer holding bytes, or an int array given as (ctype, values)."""
        if data is None:
            return None
        if isinstance(data, bytes):
            raw = ctypes.create_string_buffer(data, max(len(data), 1))
        else:
            ctype, values = data
            raw = (ctype * max(len(values), 1))(*values)
        self.keep.append(raw)
        return address(raw)

    def _pointers_to(self, structs):
        pointers = (ctypes.c_void_p * max(len(structs), 1))(*map(ctypes.addressof, structs))
        self.keep.append(pointers)
        return address(pointers)

    def schema(self, format, release=True, children=()):
        """A schema; children are owned by it (released with it, never alone)."""
        s = ArrowSchema()
        s.format = format
        if children:
            s.n_children, s.children = len(children), self._pointers_to(children)
        s.release = self._release_of(SCHEMA_RELEASE, s) if release else None
        self.keep.append(s)
        return s

    def array(self, length, buffers, *, offset=0, null_count=0, n_buffers=None, release=True,
              children=(), n_children=None):
        """An array over the given buffers (None for a missing buffer list);
        children are owned by it."""
        a = ArrowArray()
        a.length, a.offset, a.null_count = length, offset, null_count
        if children:
            a.children = self._pointers_to(children)
        a.n_children = len(children) if n_children is None else n_children
        if buffers is not None:
            pointers = (ctypes.c_void_p * max(len(buffers), 1))(*map(self.buffer, buffers))
            self.keep.append(pointers)
            a.buffers = address(pointers)
        a.n_buffers = len(buffers or ()) if n_buffers is None else n_buffers
        a.release = self._release_of(ARRAY_RELEASE, a) if release else None
        self.keep.append(a)
        return a

    def capsule(self, struct, name):
        self.keep.append(name)
        return pythonapi.PyCapsule_New(ctypes.addressof(struct), name, None)

    def stream(self, format, arrays, *, fail_at=None, error=b"the source went away",
               null_callbacks=()):
        """A stream of one schema and the given arrays; get_next fails at
        index fail_at. Callbacks named in null_callbacks are NULL."""
        state = {"next": 0}

        def get_schema(_, out):
            if fail_at == "schema":
                return 5  # EIO
            out.contents.format = format
            out.contents.release = self._release_of(SCHEMA_RELEASE)
            return 0

        def get_next(_, out):
            i = state["next"]
            state["next"] += 1
            if i == fail_at:
                return 5  # EIO
            if i >= len(arrays):
                out.contents.release = None  # the end
                return 0
            ctypes.memmove(out, ctypes.addressof(arrays[i]), ctypes.sizeof(ArrowArray))
            arrays[i].release = None  # moved out
            return 0

        message = ctypes.create_string_buffer(error)
        self.keep.append(message)

        def get_last_error(_):
            return address(message)

        s = ArrowArrayStream()
        for name, kind, fn in [("get_schema", GET_SCHEMA, get_schema),
                               ("get_next", GET_NEXT, get_next),
                               ("get_last_error", GET_LAST_ERROR, get_last_error)]:
            if name in null_callbacks:
                continue
            callback = kind(fn)
            self.keep.append(callback)
            setattr(s, name, ctypes.cast(callback, ctypes.c_void_p).value)
        s.release = self._release_of(STREAM_RELEASE, s)
        self.keep.append(s)
        return s

    def released_once(self):
        """Every struct the consumer took (it cleared the producer's release
        field, or was handed it directly) was released exactly once, and no
        other struct was released."""
        for struct, index in self.structs:
            taken = struct is None or struct.release is None
            if self.releases[index] != int(taken):
                return False
        return True


class ArrayColumn:
    """Exports a forged (schema, array) pair through __arrow_c_array__."""

    def __init__(self, forgery, schema, array):
        self.forgery, self.schema, self.array = forgery, schema, array

    def __arrow_c_array__(self, requested_schema=None):
        return (self.forgery.capsule(self.schema, b"arrow_schema"),
                self.forgery.capsule(self.array, b"arrow_array"))


class StreamColumn:
    """Exports a forged stream through __arrow_c_stream__."""

    def __init__(self, forgery, stream, name=b"arrow_array_stream"):
        self.forgery, self.stream, self.name = forgery, stream, name

    def __arrow_c_stream__(self, requested_schema=None):
        return self.forgery.capsule(self.stream, self.name)


def int32s(*values):
    return (ctypes.c_int32, values)


def int64s(*values):
    return (ctypes.c_int64, values)


def view(length, data=b"", buffer=0, at=0):
    """One 16-byte string_view slot: inline up to 12 bytes, else a reference."""
    import struct
    if length <= 12:
        return struct.pack("<i12s", length, data[:12])
    return struct.pack("<i4sii", length, data[:4], buffer, at)


requires_ctypes_callbacks = pytest.mark.skipif(
    not hasattr(ctypes, "CFUNCTYPE"), reason="ctypes callbacks are not available")
