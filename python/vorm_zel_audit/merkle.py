"""The RFC 6962 / RFC 9162 Merkle tree over a log's lines, with SHA-256.

A leaf is one complete line without its line feed; its hash is
SHA-256(0x00 || line), an interior node is SHA-256(0x01 || left || right),
and the empty tree's hash is SHA-256 of nothing. ``RightEdge`` keeps only
the roots of the perfect subtrees along the tree's right edge (one per set
bit of the size, so O(log n) hashes): appending a leaf costs one leaf hash
plus, on average, one interior hash, and the root at the current size is
folded from the edge.

Proofs are lists of node hashes, leaf to root, as RFC 9162 defines them.
Building one needs the roots of a few disjoint ranges of leaves
(``inclusion_ranges``, ``consistency_ranges``); ``range_roots`` computes them
while the leaves stream past, so a proof over a large log costs one pass and
O(log n) memory.
"""
from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Sequence, Tuple

HASH_SIZE = 32
EMPTY_ROOT = hashlib.sha256(b"").digest()

_sha256 = hashlib.sha256


def leaf_hash(entry: bytes) -> bytes:
    return _sha256(b"\x00" + entry).digest()


def node_hash(left: bytes, right: bytes) -> bytes:
    return _sha256(b"\x01" + left + right).digest()


@dataclass
class RightEdge:
    """A tree of ``size`` leaves, kept as the roots of its perfect subtrees
    from the largest (leftmost) to the smallest."""

    size: int = 0
    hashes: List[bytes] = field(default_factory=list)

    def append_hash(self, leaf: bytes) -> None:
        """Append a leaf given by its leaf hash."""
        hashes = self.hashes
        merges = self.size
        while merges & 1:
            leaf = _sha256(b"\x01" + hashes.pop() + leaf).digest()
            merges >>= 1
        hashes.append(leaf)
        self.size += 1

    def append(self, entry: bytes) -> None:
        self.append_hash(_sha256(b"\x00" + entry).digest())

    def extend(self, entries: Iterable[bytes]) -> None:
        """Append many entries; the same as ``append`` for each, faster."""
        hashes = self.hashes
        size = self.size
        sha256 = _sha256
        for entry in entries:
            value = sha256(b"\x00" + entry).digest()
            merges = size
            while merges & 1:
                value = sha256(b"\x01" + hashes.pop() + value).digest()
                merges >>= 1
            hashes.append(value)
            size += 1
        self.size = size

    def root(self) -> bytes:
        hashes = self.hashes
        if not hashes:
            return EMPTY_ROOT
        value = hashes[-1]
        for left in reversed(hashes[:-1]):
            value = _sha256(b"\x01" + left + value).digest()
        return value

    def copy(self) -> "RightEdge":
        return RightEdge(self.size, list(self.hashes))

    def is_well_formed(self) -> bool:
        """One 32-byte hash per set bit of the size."""
        return (self.size >= 0 and len(self.hashes) == bin(self.size).count("1")
                and all(isinstance(value, bytes) and len(value) == HASH_SIZE for value in self.hashes))


def root_of(entries: Iterable[bytes]) -> bytes:
    edge = RightEdge()
    edge.extend(entries)
    return edge.root()


def _split(count: int) -> int:
    """The largest power of two smaller than ``count`` (count >= 2)."""
    return 1 << ((count - 1).bit_length() - 1)


Range = Tuple[int, int]


def inclusion_ranges(index: int, size: int) -> List[Range]:
    """The leaf ranges ``[low, high)`` whose roots form the inclusion path of
    leaf ``index`` in a tree of ``size`` leaves, leaf to root."""
    if not 0 <= index < size:
        raise ValueError("leaf index %d is outside a tree of %d leaves" % (index, size))
    ranges = []
    low, high = 0, size
    while high - low > 1:
        middle = low + _split(high - low)
        if index < middle:
            ranges.append((middle, high))
            high = middle
        else:
            ranges.append((low, middle))
            low = middle
    ranges.reverse()
    return ranges


def consistency_ranges(old_size: int, new_size: int) -> List[Range]:
    """The leaf ranges whose roots form the consistency proof from a tree of
    ``old_size`` leaves to one of ``new_size`` leaves (RFC 9162 2.1.4.1)."""
    if not 0 < old_size <= new_size:
        raise ValueError("a consistency proof needs 0 < old size <= new size; got %d and %d"
                         % (old_size, new_size))
    ranges: List[Range] = []
    low, high, old, whole = 0, new_size, old_size, True
    while old != high - low:
        middle = _split(high - low)
        if old <= middle:
            ranges.append((low + middle, high))
            high = low + middle
        else:
            ranges.append((low, low + middle))
            low, old, whole = low + middle, old - middle, False
    if not whole:
        ranges.append((low, high))
    ranges.reverse()
    return ranges


def range_roots(leaf_hashes: Iterable[bytes], ranges: Sequence[Range]) -> List[bytes]:
    """The root of each range (disjoint ranges, in any order) over the
    stream of leaf hashes, which must reach the end of the last range."""
    order = sorted(range(len(ranges)), key=lambda number: ranges[number][0])
    roots: List[Optional[bytes]] = [None] * len(ranges)
    position = 0
    pending = iter(order)
    current = next(pending, None)
    edge = RightEdge()
    for value in leaf_hashes:
        if current is None:
            break
        low, high = ranges[current]
        if low <= position < high:
            edge.append_hash(value)
            if position + 1 == high:
                roots[current] = edge.root()
                edge = RightEdge()
                current = next(pending, None)
        position += 1
    if current is not None:
        raise ValueError("the leaves end at %d, before the end of the range %r" % (position, ranges[current]))
    return [root for root in roots if root is not None]


def root_from_inclusion(leaf: bytes, index: int, size: int, path: Sequence[bytes]) -> Optional[bytes]:
    """The root that ``path`` leads to from the leaf hash ``leaf`` at
    ``index`` in a tree of ``size`` leaves (RFC 9162 2.1.3.2), or None when
    the path cannot be one for that position (wrong length)."""
    if not 0 <= index < size:
        return None
    position, last = index, size - 1
    value = leaf
    for sibling in path:
        if last == 0:
            return None
        if position & 1 or position == last:
            value = node_hash(sibling, value)
            if not position & 1:
                while position and not position & 1:
                    position >>= 1
                    last >>= 1
        else:
            value = node_hash(value, sibling)
        position >>= 1
        last >>= 1
    return value if last == 0 else None


def verify_inclusion(leaf: bytes, index: int, size: int, path: Sequence[bytes], root: bytes) -> bool:
    return root_from_inclusion(leaf, index, size, path) == root


def verify_consistency(old_size: int, new_size: int, old_root: bytes, new_root: bytes,
                       proof: Sequence[bytes]) -> bool:
    """RFC 9162 2.1.4.2: does ``proof`` show that the tree of ``old_size``
    leaves with ``old_root`` is a prefix of the one of ``new_size`` leaves
    with ``new_root``? Sizes equal: the proof must be empty and the roots
    equal. From the empty tree: the proof must be empty (any tree extends
    it)."""
    if old_size < 0 or new_size < old_size:
        return False
    if old_size == new_size:
        return not proof and old_root == new_root
    if old_size == 0:
        return not proof and old_root == EMPTY_ROOT
    if not proof:
        return False
    nodes = list(proof)
    if old_size & (old_size - 1) == 0:
        nodes.insert(0, old_root)
    position, last = old_size - 1, new_size - 1
    while position & 1:
        position >>= 1
        last >>= 1
    old_value = new_value = nodes[0]
    for node in nodes[1:]:
        if last == 0:
            return False
        if position & 1 or position == last:
            old_value = node_hash(node, old_value)
            new_value = node_hash(node, new_value)
            if not position & 1:
                while position and not position & 1:
                    position >>= 1
                    last >>= 1
        else:
            new_value = node_hash(new_value, node)
        position >>= 1
        last >>= 1
    return last == 0 and old_value == old_root and new_value == new_root
