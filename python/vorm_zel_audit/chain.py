"""Untangling the chains in a log: segments, open heads, breaks.

Several engines may write to one log, and every new engine starts a chain
at the genesis root, so a log holds several interleaved chains. The walker
keeps the *open heads*: the latest ``merkle_root`` of every chain seen so
far. A record whose ``merkle_root`` is BLAKE3 of the chain text of an open
head and its own ``hash`` extends that chain; one that chains from the
genesis root starts a new *segment*; one that does neither is a chain break.

Resynchronisation after a break, so that one bad line does not cascade:

- the broken record starts a new segment (start ``"unlinked"``) and its own
  ``merkle_root`` becomes an open head, so the records after it verify
  (this is the right guess when records before it are missing or moved);
- the root it *would* have had if it extended the record before it is
  opened as well. If a later record extends that root, the break was an
  altered ``merkle_root`` member of that one line: the record is moved back
  into the chain it belongs to and the failure says so.

A record whose signature does not verify is not authentic: it never closes
the head it extends (so an inserted forgery does not break the chain of the
genuine records around it); its own root is opened like any other.
"""
from __future__ import annotations

from collections import OrderedDict

from . import failures
from .linecheck import LINK_GENESIS, LINK_NONE, LINK_PREVIOUS
from .seal import next_root_hex

# Open heads kept at most; beyond this the least recently extended are
# dropped (a chain that resumes after this many newer chains opened reads as
# a break).
MAX_OPEN_HEADS = 4096

GENESIS = "genesis"
UNLINKED = "unlinked"


class Segment(object):
    """One chain in the log: where it starts and ends and how many records
    it holds. ``start`` is ``"genesis"`` (a new engine) or ``"unlinked"`` (it
    follows a chain break)."""

    __slots__ = ("start", "first_line", "first_offset", "first_id", "first_root",
                 "last_line", "last_root", "records")

    def __init__(self, start, first_line, first_offset, first_id, first_root):
        self.start = start
        self.first_line = first_line
        self.first_offset = first_offset
        self.first_id = first_id
        self.first_root = first_root
        self.last_line = first_line
        self.last_root = first_root
        self.records = 0

    def to_dict(self):
        return {"start": self.start, "first_line": self.first_line, "first_offset": self.first_offset,
                "first_id": self.first_id, "first_merkle_root": self.first_root, "last_line": self.last_line,
                "last_merkle_root": self.last_root, "records": self.records}

    @classmethod
    def from_dict(cls, data):
        segment = cls(data["start"], data["first_line"], data.get("first_offset"), data.get("first_id"),
                      data.get("first_merkle_root"))
        segment.last_line = data["last_line"]
        segment.last_root = data["last_merkle_root"]
        segment.records = data["records"]
        return segment


class _Head(object):
    __slots__ = ("segment", "repairs")

    def __init__(self, segment, repairs=None):
        self.segment = segment
        # For the root a broken record would have had: (failure, the
        # segment the broken record was put in, its stored root, line).
        self.repairs = repairs


class ChainWalker(object):
    """Walks the records in file order; ``report(failure)`` receives every
    chain failure it finds."""

    def __init__(self, report):
        self._report = report
        self.segments = []
        self._heads = OrderedDict()  # root hex -> list of _Head (twins share a root)
        self._genesis_ids = {}  # record id -> line of a record that started a chain
        self._previous_root = None
        self._current = None  # segment of the last record

    # -- state from a checkpoint ---------------------------------------------
    def resume(self, segments):
        for segment in sorted(segments, key=lambda s: s.last_line):
            self.segments.append(segment)
            self._open(segment.last_root, _Head(segment))
            if segment.start == GENESIS and segment.first_id is not None:
                self._genesis_ids.setdefault(segment.first_id, segment.first_line)

    def _open(self, root, head):
        entries = self._heads.get(root)
        if entries is None:
            self._heads[root] = [head]
            if len(self._heads) > MAX_OPEN_HEADS:
                self._heads.popitem(last=False)
        else:
            entries.append(head)
            self._heads.move_to_end(root)

    def _close(self, root, head):
        entries = self._heads.get(root)
        if entries is None:
            return
        try:
            entries.remove(head)
        except ValueError:
            return
        if not entries:
            del self._heads[root]

    def _find(self, digest, root, skip):
        for candidate in reversed(self._heads):
            if candidate != skip and next_root_hex(candidate, digest) == root:
                return candidate
        return None

    def record(self, line, offset, record_id, digest, root, link, authentic):
        """Place one record (1-based ``line``) in the chains."""
        extended = None
        if link == LINK_PREVIOUS and self._previous_root in self._heads:
            extended = self._previous_root
        elif link != LINK_GENESIS:
            extended = self._find(digest, root, self._previous_root if link == LINK_NONE else None)

        if extended is not None:
            head = self._heads[extended][-1]
            segment = head.segment
            if head.repairs is not None:
                self._repair(head, segment, line, extended)
            if authentic:
                self._close(extended, head)
        elif link == LINK_GENESIS:
            segment = Segment(GENESIS, line, offset, record_id, root)
            self.segments.append(segment)
            first = self._genesis_ids.get(record_id)
            if first is not None:
                self._report(failures.Failure(
                    failures.DUPLICATE, line, offset,
                    "this record starts a chain with the same id as the chain start on line %d: "
                    "a copied line" % first, record_id))
            else:
                self._genesis_ids[record_id] = line
        else:
            segment = Segment(UNLINKED, line, offset, record_id, root)
            self.segments.append(segment)
            failure = failures.Failure(
                failures.CHAIN_BREAK, line, offset,
                "merkle_root extends no open chain and does not start one from the genesis root: "
                "a record before it is missing, moved or altered, or its merkle_root was changed",
                record_id)
            self._report(failure)
            if self._previous_root is not None and self._previous_root in self._heads:
                would_be = next_root_hex(self._previous_root, digest)
                previous = self._heads[self._previous_root][-1].segment
                self._open(would_be, _Head(previous, (failure, segment, root, line)))
        segment.records += 1
        segment.last_line = line
        segment.last_root = root
        self._open(root, _Head(segment))
        self._previous_root = root
        self._current = segment

    def _repair(self, head, segment, line, would_be):
        failure, unlinked, stored_root, broken_line = head.repairs
        head.repairs = None
        failure.detail = ("merkle_root was changed: the record extends the chain of the records "
                          "before it (the root it should hold is %s, as the record on line %d "
                          "confirms)" % (would_be, line))
        if unlinked.records == 1 and unlinked.last_root == stored_root:
            # Nothing followed the stored root: the record belongs to the chain it extends.
            unlinked.records = 0
            for entries_head in list(self._heads.get(stored_root, ())):
                if entries_head.segment is unlinked:
                    self._close(stored_root, entries_head)
            segment.records += 1

    def run(self, count, last_root, last_line):
        """``count`` more records, each extending the one before, all valid."""
        if not count:
            return
        segment = self._current
        for head in list(self._heads.get(self._previous_root, ())):
            if head.segment is segment and head.repairs is None:
                self._close(self._previous_root, head)
                break
        segment.records += count
        segment.last_line = last_line
        segment.last_root = last_root
        self._open(last_root, _Head(segment))
        self._previous_root = last_root

    def final_segments(self):
        return [segment for segment in self.segments if segment.records > 0]

    @property
    def genesis_ids(self):
        return dict(self._genesis_ids)
