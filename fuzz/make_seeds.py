"""Writes the small seed corpus of each fuzz target into corpus/<target>/."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def u64(n):
    return struct.pack("<Q", n)


def text(b):
    return u64(len(b)) + b


def key(k):
    return chr(k).encode()


def node(children=(), name=None):
    out = u64(len(children))
    for k, child in children:
        out += key(k) + child
    return out + (b"\x00" if name is None else b"\x01" + text(name))


def chain(word, name):
    """The trie bytes of a store holding one keyword."""
    inner = node(name=name)
    for b in reversed(word):
        inner = node([(b, inner)])
    return inner


def extract_seed(flags, word_char, store, text_bytes):
    return bytes([flags, word_char, len(store)]) + store + text_bytes


STORES = [
    node(),
    chain(b"ab", b"ab"),
    chain("café".encode(), b"cafe"),
    node([(0x61, node([(0x62, node(name=b"AB"))], name=b"A")), (0x100, node(name=b"far"))]),
    node([(0x20, chain(b"go", b"went"))], name=b""),
]

SEEDS = {
    "fuzz_processor_state": [b"\x00" + s + b"\x00\x00" for s in STORES]
    + [b"\x01" + u64(17408) + b"\x00" * 16, b"\x01"],
    "fuzz_match_state": [text(b"tea") + struct.pack("<f", 1.0) + u64(7) + u64(13),
                         text("é".encode()) + struct.pack("<f", 0.8) + u64(0) + u64(2)],
    "fuzz_extract": [
        extract_seed(0, 0, b"new york|ny=N", b"I love New York and ny"),
        extract_seed(8 * 4, 0, b"hello", b"helo world he llo"),
        extract_seed(4, 0, STORES[3], b"ab a \xc4\x80x"),
        extract_seed(8 * 6 | 2, ord("_"), "go|géo".encode(), "a, go gÉo _go".encode()),
        extract_seed(1, 0, "İ|K".encode(), "İstanbul K".encode()),
    ],
}

for target, seeds in SEEDS.items():
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for i, seed in enumerate(seeds):
        (folder / f"seed{i}").write_bytes(seed)
