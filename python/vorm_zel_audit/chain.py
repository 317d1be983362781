"""Untangling the chains in a log: segments, open heads, breaks.

Several engines may write to one log, and every new engine starts a chain
at the genesis root, so a log holds several interleaved chains. The walker
keeps the *open heads*: the latest ``merkle_root`` of every chain seen so
far, with no limit on their number. A record whose ``merkle_root`` is BLAKE3
of the chain text of an open head and its own ``hash`` extends that chain;
one that chains from the genesis root starts a new *segment*; one that does
neither is a chain break.

What the chains show, and what they do not: the chain step is unkeyed, so a
consistent chain proves nothing about completeness or order (whoever edits a
log can recompute every root). A break is evidence of a change; the absence
of breaks is not evidence of its absence.

Which head a record extends cannot be looked up, only tried: BLAKE3 of the
chain text for each candidate. Heads are tried most recently used first. The
``RECENT_HEADS`` most recent are always tried; trying older ones draws on a
budget that successful searches pay back and every record adds to, so honest
logs (every search succeeds) never run short, however many engines wrote
them, while a log whose roots are all broken costs a bounded number of tries
per line. A break found after the budget ran out says that not every open
chain was tried.

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

import dataclasses
from collections import OrderedDict
from typing import Any, Callable, Dict, List, Optional, Tuple

from blake3 import blake3

from . import failures
from .linecheck import LINK_GENESIS, LINK_NONE, LINK_PREVIOUS
from .seal import next_root_hex

GENESIS = "genesis"
UNLINKED = "unlinked"

RECENT_HEADS = 8
SEARCH_BUDGET = 1 << 16
SEARCH_BUDGET_PER_RECORD = 2


@dataclasses.dataclass
class Segment:
    """One chain in the log: where it starts and ends and how many records
    it holds. ``start`` is ``"genesis"`` (a new engine) or ``"unlinked"`` (it
    follows a chain break)."""

    start: str
    first_line: int
    first_offset: Optional[int]
    first_id: Optional[str]
    first_root: Optional[str]
    last_line: int = 0
    last_root: Optional[str] = None
    records: int = 0

    def __post_init__(self) -> None:
        if not self.last_line:
            self.last_line = self.first_line
        if self.last_root is None:
            self.last_root = self.first_root

    def to_dict(self) -> Dict[str, object]:
        return {"start": self.start, "first_line": self.first_line, "first_offset": self.first_offset,
                "first_id": self.first_id, "first_merkle_root": self.first_root, "last_line": self.last_line,
                "last_merkle_root": self.last_root, "records": self.records}

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "Segment":
        return cls(str(data["start"]), int(data["first_line"]), data.get("first_offset"), data.get("first_id"),
                   data.get("first_merkle_root"), int(data["last_line"]), str(data["last_merkle_root"]),
                   int(data["records"]))


@dataclasses.dataclass
class _Repair:
    """For the root a broken record would have had: its failure, the segment
    the broken record was put in, and the root it holds."""

    failure: failures.Failure
    unlinked: Segment
    stored_root: str


class _Head:
    __slots__ = ("segment", "repair")

    def __init__(self, segment: Segment, repair: Optional[_Repair] = None) -> None:
        self.segment = segment
        self.repair = repair


class ChainWalker:
    """Walks the records in file order; ``report(failure)`` receives every
    chain failure it finds."""

    def __init__(self, report: Callable[[failures.Failure], None]) -> None:
        self._report = report
        self.segments: List[Segment] = []
        self._heads: "OrderedDict[str, List[_Head]]" = OrderedDict()  # root hex -> heads, most recent last
        self._genesis_ids: Dict[str, int] = {}  # record id -> line of a record that started a chain
        self._previous_root: Optional[str] = None
        self._current: Optional[Segment] = None  # segment of the last record
        self._budget = SEARCH_BUDGET
        self.cut_searches = 0  # breaks for which not every open head was tried

    # -- state from a checkpoint ---------------------------------------------
    def resume(self, segments: List[Segment]) -> None:
        for segment in sorted(segments, key=lambda s: s.last_line):
            self.segments.append(segment)
            self._open(str(segment.last_root), _Head(segment))
            if segment.start == GENESIS and segment.first_id is not None:
                self._genesis_ids.setdefault(segment.first_id, segment.first_line)

    @property
    def current_segment(self) -> Optional[Segment]:
        """The segment of the record placed last (its run included)."""
        return self._current

    @property
    def open_heads(self) -> int:
        return len(self._heads)

    def _open(self, root: str, head: _Head) -> None:
        entries = self._heads.get(root)
        if entries is None:
            self._heads[root] = [head]
        else:
            entries.append(head)
            self._heads.move_to_end(root)

    def _close(self, root: str, head: _Head) -> None:
        entries = self._heads.get(root)
        if entries is None:
            return
        try:
            entries.remove(head)
        except ValueError:
            return
        if not entries:
            del self._heads[root]

    def _find(self, digest: str, root: str, skip: Optional[str]) -> Tuple[Optional[str], bool]:
        """The open head that ``root`` extends with ``digest``, and whether
        every open head was tried."""
        tried = 0
        # The chain text is Hash("<head>")Hash("<digest>"): only the head varies.
        suffix = ('")Hash("' + digest + '")').encode("ascii")
        for candidate in reversed(self._heads):
            if tried >= RECENT_HEADS:
                if tried - RECENT_HEADS >= self._budget:
                    self._budget = 0
                    return None, False
            tried += 1
            if candidate != skip and blake3(b'Hash("' + candidate.encode("ascii") + suffix).hexdigest() == root:
                return candidate, True
        self._budget -= max(0, tried - RECENT_HEADS)
        return None, True

    def record(self, line: int, offset: int, record_id: str, digest: str, root: str, link: int,
               authentic: bool) -> None:
        """Place one record (1-based ``line``) in the chains."""
        self._budget += SEARCH_BUDGET_PER_RECORD
        extended = None
        complete_search = True
        if link == LINK_PREVIOUS and self._previous_root in self._heads:
            extended = self._previous_root
        elif link != LINK_GENESIS:
            extended, complete_search = self._find(digest, root, self._previous_root if link == LINK_NONE else None)

        if extended is not None:
            head = self._heads[extended][-1]
            segment = head.segment
            if head.repair is not None:
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
            detail = ("merkle_root extends no open chain and does not start one from the genesis root: "
                      "a record before it is missing, moved or altered, or its merkle_root was changed")
            if not complete_search:
                self.cut_searches += 1
                detail += (" (only the %d most recently extended chains were tried: this log has so many "
                           "breaks that trying every open chain for each was stopped)" % RECENT_HEADS)
            failure = failures.Failure(failures.CHAIN_BREAK, line, offset, detail, record_id)
            self._report(failure)
            if self._previous_root is not None and self._previous_root in self._heads:
                would_be = next_root_hex(self._previous_root, digest)
                previous = self._heads[self._previous_root][-1].segment
                self._open(would_be, _Head(previous, _Repair(failure, segment, root)))
        segment.records += 1
        segment.last_line = line
        segment.last_root = root
        self._open(root, _Head(segment))
        self._previous_root = root
        self._current = segment

    def _repair(self, head: _Head, segment: Segment, line: int, would_be: str) -> None:
        repair = head.repair
        assert repair is not None
        head.repair = None
        repair.failure.detail = ("merkle_root was changed: the record extends the chain of the records "
                                 "before it (the root it should hold is %s, as the record on line %d "
                                 "confirms)" % (would_be, line))
        unlinked = repair.unlinked
        if unlinked.records == 1 and unlinked.last_root == repair.stored_root:
            # Nothing followed the stored root: the record belongs to the chain it extends.
            unlinked.records = 0
            for entries_head in list(self._heads.get(repair.stored_root, ())):
                if entries_head.segment is unlinked:
                    self._close(repair.stored_root, entries_head)
            segment.records += 1

    def run(self, count: int, last_root: str, last_line: int) -> None:
        """``count`` more records, each extending the one before, all valid."""
        if not count:
            return
        self._budget += SEARCH_BUDGET_PER_RECORD * count
        segment = self._current
        assert segment is not None and self._previous_root is not None
        for head in list(self._heads.get(self._previous_root, ())):
            if head.segment is segment and head.repair is None:
                self._close(self._previous_root, head)
                break
        segment.records += count
        segment.last_line = last_line
        segment.last_root = last_root
        self._open(last_root, _Head(segment))
        self._previous_root = last_root

    def final_segments(self) -> List[Segment]:
        return [segment for segment in self.segments if segment.records > 0]

    @property
    def genesis_ids(self) -> Dict[str, int]:
        return dict(self._genesis_ids)
