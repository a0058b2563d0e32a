"""A small, deliberately literal model of extraction and replacement, used as
the oracle for randomized tests. Slow (the approximate search is exponential),
so only for short texts."""

import struct

TRIM = frozenset(b"\t\n\r ")
DEFAULT_WORD_CHARS = frozenset(map(ord, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"))


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def round2(v):
    scaled = f32(v * 100)
    whole = float(int(scaled + 0.5)) if scaled >= 0 else -float(int(-scaled + 0.5))
    return f32(whole / 100)


class Node:
    __slots__ = ("children", "name")

    def __init__(self):
        self.children = {}
        self.name = None


class Model:
    def __init__(self, case_sensitive=False, allow_overlaps=False, word_chars=DEFAULT_WORD_CHARS):
        self.case_sensitive = case_sensitive
        self.allow_overlaps = allow_overlaps
        self.word_chars = set(word_chars)
        self.root = Node()

    def add_keyword(self, keyword, clean_name=None):
        k = keyword if self.case_sensitive else keyword.lower()
        node = self.root
        for b in k.encode():
            node = node.children.setdefault(b, Node())
        node.name = k if clean_name is None else clean_name

    def remove_keyword(self, keyword):
        # Nodes left without a name stay: they never hold a candidate, so results are the same.
        k = keyword if self.case_sensitive else keyword.lower()
        node = self.root
        for b in k.encode():
            node = node.children.get(b)
            if node is None:
                return False
        removed = node.name is not None
        node.name = None
        return removed

    def _is_word(self, byte):
        return byte in self.word_chars

    def extract(self, text, threshold=None):
        t = 1.0 if threshold is None else f32(threshold)
        if not 0 <= t <= 1:
            raise ValueError("Threshold must be between 0 and 1")
        scan = (text if self.case_sensitive else text.lower()).encode()
        n, ao, out, i = len(scan), self.allow_overlaps, [], 0
        while i < n:
            if i > 0 and not ao and self._is_word(scan[i - 1]):
                i += 1
                continue
            found = self._exact(scan, i) if t == 1.0 else self._approximate(scan, i, t)
            if found is None:
                i += 1
                continue
            name, similarity, end, resume = found
            if not self._end_ok(scan, end, exact=t == 1.0):
                i += 1
                continue
            start = i + 1 if scan[i] in TRIM else i
            out.append((name, round2(similarity), start, end))
            i = resume
        return out

    def _end_ok(self, scan, end, exact):
        n = len(scan)
        if end == n or self.allow_overlaps:
            return True
        probe = [end] if exact else [j for j in (end, end + 1, end + 2) if j < n]
        return any(not self._is_word(scan[j]) for j in probe)

    def _exact(self, scan, i):
        node, found, cur, n = self.root, None, i, len(scan)
        while node.children:
            b = scan[cur]
            cur += 1
            if b not in node.children:
                break
            node = node.children[b]
            if node.name is not None:
                found = (node.name, cur - i)
            if cur == n:
                break
        if found is None:
            return None
        end = i + found[1]
        return found[0], 1.0, end, end

    def _approximate(self, scan, i, t):
        best, found, remaining = 0.0, None, len(scan) - i
        stack = [(self.root, 0, 0)]
        while stack:
            node, c, e = stack.pop()
            # A candidate that consumed no text never counts.
            if node.name is not None and c > 0:
                s = f32(1 - f32(e / max(c, len(node.name.encode()))))
                if s >= t and s > best:
                    best, found = s, (node.name, c)
            if c >= remaining:
                continue
            x = scan[i + c]
            if x in node.children:
                stack.append((node.children[x], c + 1, e))
            if f32(1 - f32(e / (c + 1))) < t:
                continue
            stack.append((node, c + 1, e + 1))
            for k in sorted(node.children):
                child = node.children[k]
                if k != x:
                    stack.append((child, c + 1, e + 1))
                stack.append((child, c, e + 1))
        if found is None:
            return None
        e_pos = i + found[1]
        end = e_pos - 1 if scan[e_pos - 1] in TRIM else e_pos
        return found[0], best, end, e_pos

    def replace(self, text, threshold=None):
        """Replacement for texts whose scan offsets are input offsets: spans
        widened to whole characters, inverted spans and spans overlapping an
        earlier replaced one skipped."""
        data = text.encode()
        pieces, cursor = [], 0
        for name, _, start, end in self.extract(text, threshold):
            if start > end:
                continue
            while 0 < start < len(data) and data[start] & 0xC0 == 0x80:
                start -= 1
            while end < len(data) and data[end] & 0xC0 == 0x80:
                end += 1
            if start < cursor:
                continue
            pieces += [data[cursor:start], name.encode()]
            cursor = end
        pieces.append(data[cursor:])
        return b"".join(pieces).decode()
