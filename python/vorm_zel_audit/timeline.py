"""The per-record series an audit report draws, gathered while the
inspector's summary pass reads the log (``summarize(..., observer=...)``),
so that the report reads no line a third time.

For every record: its time, line, chain (lane), reputation and coherence,
and whether it holds a core insight; the count of every (provenance, place,
purpose) triplet; and the decoded members of the records on the lines the
caller asks for (the lines verification failed). Kept in compact arrays:
about 45 bytes a record.
"""
from __future__ import annotations

import collections
import datetime
import math
import re
from array import array
from typing import Any, Dict, Iterable, List, Optional, Tuple

from .chain import GENESIS, Segment
from .log_summary import SummaryObserver, decoded_members
from .record import Record

# A timestamp as the engine writes it: RFC 3339, up to nanoseconds.
_STAMP = re.compile(r"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})\Z")
_SECONDS_CACHE = 1 << 16
NO_LANE = -1


def epoch_seconds(text: str, cache: Optional[Dict[str, float]] = None) -> float:
    """Seconds since the epoch of an RFC 3339 timestamp, or NaN for a text
    that is not one (the timestamp is sealed by nothing: any text can be
    there)."""
    match = _STAMP.match(text)
    if match is None:
        return math.nan
    whole, fraction, zone = match.groups()
    key = whole + zone
    base = cache.get(key) if cache is not None else None
    if base is None:
        try:
            stamp = datetime.datetime.strptime(whole, "%Y-%m-%dT%H:%M:%S")
        except ValueError:
            return math.nan
        if zone == "Z":
            offset = 0
        else:
            offset = (int(zone[1:3]) * 60 + int(zone[4:6])) * 60 * (1 if zone[0] == "+" else -1)
        base = (stamp - datetime.datetime(1970, 1, 1)).total_seconds() - offset
        if cache is not None:
            if len(cache) >= _SECONDS_CACHE:
                cache.clear()
            cache[key] = base
    return base + (float(fraction) if fraction else 0.0)


class Timeline(SummaryObserver):
    """Collects the series. ``view_lines``: the lines whose records are kept
    decoded (at most ``max_views`` lines)."""

    def __init__(self, view_lines: Iterable[int] = (), max_views: int = 500) -> None:
        self.seconds = array("d")
        self.lines = array("q")
        self.lanes = array("l")
        self.reputation = array("d")
        self.coherence = array("d")
        self.insight = array("b")
        self.triplets: "collections.Counter[Tuple[str, str, str]]" = collections.Counter()
        self.views: Dict[int, List[Dict[str, Any]]] = {}
        self.segments: List[Segment] = []
        self._wanted = set(sorted(set(view_lines))[:max_views])
        self._lane_of: Dict[int, int] = {}  # id(segment) -> its number, in order of first record
        self._lane_segments: List[Segment] = []
        self._placed = 0  # records given a lane so far
        self._cache: Dict[str, float] = {}

    @property
    def records(self) -> int:
        return len(self.lines)

    def record(self, line: int, record: Record) -> None:
        self.seconds.append(epoch_seconds(record.values[1], self._cache))
        self.lines.append(line)
        self.reputation.append(record.reputation)
        self.coherence.append(record.coherence)
        self.insight.append(record.values[14] is not None)
        self.triplets[(record.provenance, record.place, record.purpose)] += 1
        if line in self._wanted:
            self.views.setdefault(line, []).append(decoded_members(record))

    def placed(self, line: int, count: int, segment: Optional[Segment]) -> None:
        lane = NO_LANE
        if segment is not None:
            lane = self._lane_of.get(id(segment), -1)
            if lane < 0:
                lane = self._lane_of[id(segment)] = len(self._lane_segments)
                self._lane_segments.append(segment)
        lines = self.lines
        # A record that parsed but failed a later check has no event: skip it.
        while self._placed < len(lines) and lines[self._placed] < line:
            self.lanes.append(NO_LANE)
            self._placed += 1
        take = min(count + 1, len(lines) - self._placed)
        self.lanes.extend([lane] * take)
        self._placed += take

    def finished(self, segments: List[Segment]) -> None:
        self.lanes.extend([NO_LANE] * (len(self.lines) - len(self.lanes)))
        self.segments = list(self._lane_segments)

    def lane_label(self, lane: int) -> str:
        if lane < 0 or lane >= len(self.segments):
            return "no chain"
        segment = self.segments[lane]
        return "chain %d (line %d, %s)" % (lane + 1, segment.first_line,
                                           "from genesis" if segment.start == GENESIS else "after a break")
