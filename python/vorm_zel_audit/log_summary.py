"""Looking into a log without a key: a summary, and one line decoded.

Both read the log as the verifier does: only a regular file, lines longer
than the line cap are counted as malformed without being read, every line is
parsed once, and whatever a hostile line provokes is counted against that
line, never raised.
"""
from __future__ import annotations

import collections
import json
import os
from typing import Any, BinaryIO, Callable, Dict, List, Optional

from . import bounded_json
from .chain import ChainWalker
from .linecheck import MalformedEvent, RecordEvent, check_bytes
from .logfile import (DEFAULT_MAX_LINE_BYTES, Span, complete_length, count_line_feeds, file_size, plan_spans,
                      read_span)
from .chain import Segment
from .record import FIELDS, MalformedRecord, Record, parse_record, split_line
from .regular_file import PathLike, open_regular
from .seal import GENESIS_ROOT_HEX, next_root_hex, payload_digest

# Members that hold JSON text, decoded for display.
JSON_TEXT_MEMBERS = ("ppp_json", "ctx_json", "reasoning_trace_json", "human_delta_chain_json",
                     "core_insight_json")
# Deeper JSON texts are shown as the text they are.
DISPLAY_DEPTH = 64
_TOP = 5
_SPAN = 1 << 22


class _Tally:
    """The figures a summary gathers from each record, in file order."""

    def __init__(self) -> None:
        self.counts: Dict[str, "collections.Counter[str]"] = {
            name: collections.Counter() for name in ("provenance", "place", "purpose")}
        self.first_timestamp: Optional[str] = None
        self.last_timestamp: Optional[str] = None
        self.core_insights = 0
        self.reviews = {"resolved": 0, "open": 0, "unreadable": 0}
        self.reputation: Dict[str, Optional[float]] = {"first": None, "last": None, "min": None, "max": None}

    def __call__(self, _index: int, record: Record) -> None:
        timestamp = record.values[1]
        if self.first_timestamp is None or timestamp < self.first_timestamp:
            self.first_timestamp = timestamp
        if self.last_timestamp is None or timestamp > self.last_timestamp:
            self.last_timestamp = timestamp
        self.counts["provenance"][record.provenance] += 1
        self.counts["place"][record.place] += 1
        self.counts["purpose"][record.purpose] += 1
        if record.values[14] is not None:
            self.core_insights += 1
        value = record.reputation
        reputation = self.reputation
        if reputation["first"] is None:
            reputation["first"] = reputation["min"] = reputation["max"] = value
        reputation["last"] = value
        reputation["min"] = min(reputation["min"], value)  # type: ignore[type-var]
        reputation["max"] = max(reputation["max"], value)  # type: ignore[type-var]
        self.reviews[review_state(record.values[13])] += 1


def _observed(tally: _Tally, observer: SummaryObserver, first_line: int) -> Callable[[int, Record], None]:
    def visit(index: int, record: Record) -> None:
        tally(index, record)
        observer.record(first_line + index, record)
    return visit


def review_state(text: str) -> str:
    """"resolved", "open" or "unreadable": a human_delta_chain_json text."""
    try:
        review = bounded_json.loads(text, DISPLAY_DEPTH)
        resolved = review["resolved"] if isinstance(review, dict) else None
    except ValueError:
        return "unreadable"
    if resolved is True:
        return "resolved"
    return "open" if resolved is False else "unreadable"


class SummaryObserver(object):
    """Sees every record of a summary pass as it is parsed, and the chain
    each lands in: what a caller needs beyond the summary, without a second
    read of the log."""

    def record(self, line: int, record: Record) -> None:
        """A record on ``line`` (from 1) parsed; called in file order."""

    def placed(self, line: int, count: int, segment: Optional[Segment]) -> None:
        """The record opening a run on ``line`` and the ``count`` records
        after it went to ``segment``."""

    def finished(self, segments: List[Segment]) -> None:
        """The pass is over; ``segments`` are the chains that hold records."""


def summarize(path: PathLike, max_line_bytes: int = DEFAULT_MAX_LINE_BYTES,
              observer: Optional[SummaryObserver] = None) -> Dict[str, Any]:
    """A dict describing the log: size, lines, records, chains (by their
    links alone: no signature is checked), time span, the most frequent
    provenance, place and purpose values, insights and human reviews.
    ``observer`` sees each record and its chain in the same pass."""
    tally = _Tally()
    problems: List[Any] = []
    walker = ChainWalker(problems.append)
    summary: Dict[str, Any] = {"path": os.fspath(path), "lines": 0, "records": 0, "malformed_lines": 0,
                               "overlong_lines": 0, "hash_mismatches": 0}
    with open_regular(path, "log") as handle:
        size = file_size(handle)
        complete = complete_length(handle, size)
        line_base = 0
        for span in plan_spans(handle, 0, complete, _SPAN, max_line_bytes):
            if span.overlong:
                summary["overlong_lines"] += 1
                summary["malformed_lines"] += 1
                line_base += count_line_feeds(handle, span)
                continue
            visit: Callable[[int, Record], None] = tally
            if observer is not None:
                visit = _observed(tally, observer, line_base + 1)
            result = check_bytes(read_span(handle, span), span.start, None, visit=visit)
            for event in result.events:
                if type(event) is MalformedEvent:
                    summary["malformed_lines"] += 1
                    continue
                assert type(event) is RecordEvent
                if event.problems:
                    summary["hash_mismatches"] += len(event.problems)
                walker.record(line_base + event.line + 1, event.offset, event.id, event.hash, event.root,
                              event.link, True)
                if observer is not None:
                    observer.placed(line_base + event.line + 1, event.run_count, walker.current_segment)
                if event.run_count and event.run_last_root is not None and event.run_last_line is not None:
                    walker.run(event.run_count, event.run_last_root, line_base + event.run_last_line + 1)
            line_base += result.lines
            summary["records"] += result.records
    if observer is not None:
        observer.finished(walker.final_segments())
    key_path = os.fspath(path) + ".key"
    summary.update({
        "file_bytes": size, "torn_tail_bytes": size - complete, "lines": line_base,
        "first_timestamp": tally.first_timestamp, "last_timestamp": tally.last_timestamp,
        "core_insights": tally.core_insights, "human_reviews": tally.reviews, "reputation": tally.reputation,
        "insight_rate": tally.core_insights / summary["records"] if summary["records"] else None,
        "key_file": key_path if os.path.exists(key_path) else None,
        "chains": [segment.to_dict() for segment in walker.final_segments()],
        "chain_breaks": len(problems)})
    for name, counter in tally.counts.items():
        summary[name] = [{"value": value, "records": number} for value, number in counter.most_common(_TOP)]
        summary["distinct_" + name] = len(counter)
    return summary


def format_summary(summary: Dict[str, Any]) -> str:
    out = ["log: %s" % summary["path"],
           "size: %d bytes, %d lines, %d records" % (summary["file_bytes"], summary["lines"], summary["records"])]
    if summary["malformed_lines"]:
        out.append("malformed lines: %d%s" % (summary["malformed_lines"], " (%d longer than the line cap)"
                                              % summary["overlong_lines"] if summary["overlong_lines"] else ""))
    if summary["torn_tail_bytes"]:
        out.append("torn tail: %d bytes after the last line feed" % summary["torn_tail_bytes"])
    if summary["first_timestamp"]:
        out.append("time span: %s .. %s" % (summary["first_timestamp"], summary["last_timestamp"]))
    out.append("chains: %d (by their links; signatures not checked)" % len(summary["chains"]))
    for number, chain in enumerate(summary["chains"][:100], 1):
        out.append("  chain %d: %d records, lines %d-%d, %s, last merkle_root %s" % (
            number, chain["records"], chain["first_line"], chain["last_line"],
            "from genesis" if chain["start"] == "genesis" else "after a break", chain["last_merkle_root"]))
    if len(summary["chains"]) > 100:
        out.append("  ... %d more chains" % (len(summary["chains"]) - 100))
    if summary["chain_breaks"]:
        out.append("chain breaks: %d" % summary["chain_breaks"])
    if summary["hash_mismatches"]:
        out.append("hashes that do not match their seal text: %d" % summary["hash_mismatches"])
    for name in ("provenance", "place", "purpose"):
        top = ", ".join("%s (%d)" % (json.dumps(item["value"], ensure_ascii=False), item["records"])
                        for item in summary[name])
        out.append("%s: %d distinct; %s" % (name, summary["distinct_" + name], top))
    reviews = summary["human_reviews"]
    if summary["insight_rate"] is not None:
        out.append("core insights: %d (%.1f%% of records)" % (summary["core_insights"],
                                                               100.0 * summary["insight_rate"]))
        reputation = summary["reputation"]
        out.append("reputation (in file order): first %r, last %r, min %r, max %r" % (
            reputation["first"], reputation["last"], reputation["min"], reputation["max"]))
    out.append("human reviews resolved: %d, open: %d" % (reviews["resolved"], reviews["open"]))
    if summary["key_file"]:
        out.append("key file: %s (verify against a public key kept elsewhere)" % summary["key_file"])
    return "\n".join(out)


class NoSuchLine(LookupError):
    pass


def _find_line(handle: BinaryIO, number: int, size: int) -> Span:
    """The span of line ``number`` (1-based; the tail counts as a line), its
    line feed included, found block by block."""
    seen = 0
    position = 0
    handle.seek(0)
    while position < size:
        block = handle.read(min(1 << 20, size - position))
        if not block:
            break
        count = block.count(b"\n")
        if seen + count >= number - 1:
            index = -1
            for _ in range(number - 1 - seen):
                index = block.find(b"\n", index + 1)
            start = position + index + 1
            break
        seen += count
        position += len(block)
    else:
        raise NoSuchLine("the log has no line %d" % number)
    if start >= size:
        raise NoSuchLine("the log has no line %d" % number)
    handle.seek(start)
    end = start
    while end < size:
        block = handle.read(min(1 << 20, size - end))
        if not block:
            break
        index = block.find(b"\n")
        if index >= 0:
            return Span(start, end + index + 1)
        end += len(block)
    return Span(start, size)


def line_view(path: PathLike, number: int, max_line_bytes: int = DEFAULT_MAX_LINE_BYTES) -> Dict[str, Any]:
    """Line ``number`` (1-based) as a dict: its offset, each record on it
    with the JSON-text members decoded, the signature in hex and what the
    line shows without a key (does the hash match the seal text, does the
    root start a chain at genesis or extend the record before)."""
    if number < 1:
        raise NoSuchLine("line numbers start at 1")
    with open_regular(path, "log") as handle:
        span = _find_line(handle, number, file_size(handle))
        length = span.end - span.start
        view: Dict[str, Any] = {"line": number, "offset": span.start, "bytes": length, "records": []}
        if length - 1 > max_line_bytes:
            view["complete"] = None
            view["malformed"] = "longer than the line cap of %d bytes: not read" % max_line_bytes
            return view
        raw = read_span(handle, span)
        previous_root = _root_before(handle, span.start, max_line_bytes) if span.start else None
    view["complete"] = raw.endswith(b"\n")
    for position, piece in split_line(raw.rstrip(b"\n")):
        view["records"].append(_describe(piece, span.start + position, previous_root))
        previous_root = view["records"][-1].get("record", {}).get("merkle_root", previous_root)
    return view


def _root_before(handle: BinaryIO, end: int, max_line_bytes: int) -> Optional[str]:
    """The merkle_root of the last record on the line before offset ``end``."""
    start = 0
    position = end - 1
    while position > 0:
        low = max(0, position - (1 << 16))
        handle.seek(low)
        block = handle.read(position - low)
        index = block.rfind(b"\n")
        if index >= 0:
            start = low + index + 1
            break
        position = low
    if end - 1 - start > max_line_bytes:
        return None
    handle.seek(start)
    root = None
    for _, piece in split_line(handle.read(end - 1 - start)):
        try:
            root = parse_record(piece).merkle_root
        except Exception:
            pass
    return root


def decoded_members(record: Record) -> Dict[str, Any]:
    """The fifteen members in order, the signature in hex and the JSON texts
    decoded (a text that does not decode, or nests deeper than
    ``DISPLAY_DEPTH``, stays the text it is)."""
    members: Dict[str, Any] = collections.OrderedDict()
    for name in FIELDS:
        value = record.members[name]
        if name == "signature":
            value = value.hex()
        elif name in JSON_TEXT_MEMBERS and value is not None:
            try:
                value = bounded_json.loads(value, DISPLAY_DEPTH)
            except ValueError:
                pass  # shown as the text it is
        members[name] = value
    return members


def _describe(piece: bytes, offset: int, previous_root: Optional[str]) -> Dict[str, Any]:
    entry: Dict[str, Any] = {"offset": offset}
    try:
        record = parse_record(piece)
    except Exception as error:
        entry["malformed"] = str(error) if isinstance(error, MalformedRecord) else repr(error)
        entry["text"] = piece[:4096].decode("utf-8", "replace") + ("..." if len(piece) > 4096 else "")
        return entry
    members = decoded_members(record)
    digest = payload_digest(record.provenance, record.place, record.purpose, record.prompt,
                            record.coherence, record.reputation).hex()
    entry["record"] = members
    entry["hash_matches_seal_text"] = digest == record.hash
    if next_root_hex(GENESIS_ROOT_HEX, record.hash) == record.merkle_root:
        entry["chain"] = "starts a chain at the genesis root"
    elif previous_root is not None and next_root_hex(previous_root, record.hash) == record.merkle_root:
        entry["chain"] = "extends the record before it"
    else:
        entry["chain"] = "extends another chain (or none): see verify"
    return entry


def format_line_view(view: Dict[str, Any]) -> str:
    # A decoded JSON text may hold a lone surrogate escape: shown escaped.
    text = json.dumps(view, indent=2, ensure_ascii=False)
    return text.encode("utf-8", "backslashreplace").decode("utf-8")
