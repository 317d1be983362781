"""The result of verifying a log."""
from __future__ import annotations

import dataclasses
import json
from typing import Any, Dict, List, Optional

from . import failures
from .chain import Segment
from .proven import NOT_SEALED, SEALED, Proven

# Chains listed in detail in the text and JSON forms (all are counted); a log
# of many breaks has a chain per break.
SEGMENTS_SHOWN = 1000


@dataclasses.dataclass
class VerifyReport:
    """What verifying a log found.

    ``failures`` holds at most ``max_failures`` failures in file order (the
    failures of the file as a whole first); ``failure_counts`` counts every
    failure found, by kind. ``passed`` is true when nothing failed, a torn
    tail counting only when ``strict``. ``proven`` says in plain words what
    the pass proves and what it does not.
    """

    path: str
    public_key_hex: str
    max_failures: Optional[int] = None
    strict: bool = False
    key_source: Optional[str] = None
    key_pinned: bool = True
    failures: List[failures.Failure] = dataclasses.field(default_factory=list)
    failure_counts: Dict[str, int] = dataclasses.field(default_factory=dict)
    segments: List[Segment] = dataclasses.field(default_factory=list)
    torn_tail: Optional[Dict[str, int]] = None
    file_bytes: int = 0
    bytes_verified: int = 0  # length of the complete lines (through the last line feed)
    lines: int = 0  # complete lines in the log
    records: int = 0  # records in the complete lines (and a complete record in the tail)
    lines_checked: int = 0  # lines whose records were checked in this run
    records_checked: int = 0
    records_failed: int = 0  # records checked whose hash or signature failed
    lines_on_checkpoint_word: int = 0  # lines a checkpoint vouched for, not checked again
    empty_lines: int = 0
    shared_lines: int = 0  # lines holding more than one record
    max_line_bytes: int = 0
    checkpoint: Optional[Dict[str, Any]] = None  # what a checkpoint showed, when one was given
    prefix_blake3: Optional[str] = None  # BLAKE3 of the first ``bytes_verified`` bytes, when computed
    block_size: Optional[int] = None
    block_digests: Optional[List[str]] = None
    proven: Optional[Proven] = None
    notes: List[str] = dataclasses.field(default_factory=list)
    hints: List[str] = dataclasses.field(default_factory=list)
    jobs: int = 1
    elapsed: float = 0.0

    # -- failures ------------------------------------------------------------
    def add(self, failure: failures.Failure) -> None:
        self.failure_counts[failure.kind] = self.failure_counts.get(failure.kind, 0) + 1
        if self.max_failures is None or len(self.failures) < self.max_failures:
            self.failures.append(failure)

    @property
    def failure_total(self) -> int:
        return sum(self.failure_counts.values())

    @property
    def failures_truncated(self) -> bool:
        return self.failure_total > len(self.failures)

    def failures_of(self, kind: str) -> List[failures.Failure]:
        return [failure for failure in self.failures if failure.kind == kind]

    @property
    def passed(self) -> bool:
        for kind, count in self.failure_counts.items():
            if count and (kind != failures.TORN_TAIL or self.strict):
                return False
        return True

    # -- derived -------------------------------------------------------------
    @property
    def chain_starts(self) -> int:
        return sum(1 for segment in self.segments if segment.start == "genesis")

    def to_dict(self) -> Dict[str, Any]:
        return {
            "path": self.path,
            "passed": self.passed,
            "proven": self.proven.to_dict() if self.proven else None,
            "strict": self.strict,
            "public_key": self.public_key_hex,
            "key_source": self.key_source,
            "key_pinned": self.key_pinned,
            "file_bytes": self.file_bytes,
            "bytes_verified": self.bytes_verified,
            "lines": self.lines,
            "records": self.records,
            "lines_checked": self.lines_checked,
            "records_checked": self.records_checked,
            "records_failed": self.records_failed,
            "lines_on_checkpoint_word": self.lines_on_checkpoint_word,
            "empty_lines": self.empty_lines,
            "shared_lines": self.shared_lines,
            "max_line_bytes": self.max_line_bytes,
            "failure_counts": dict(sorted(self.failure_counts.items())),
            "failures": [failure.to_dict() for failure in self.failures],
            "failures_truncated": self.failures_truncated,
            "max_failures": self.max_failures,
            "torn_tail": self.torn_tail,
            "chains": len(self.segments),
            "segments": [segment.to_dict() for segment in self.segments[:SEGMENTS_SHOWN]],
            "segments_truncated": len(self.segments) > SEGMENTS_SHOWN,
            "covered_fields": {"signature": list(SEALED)},
            "not_covered_fields": list(NOT_SEALED),
            "checkpoint": self.checkpoint,
            "notes": list(self.notes),
            "hints": list(self.hints),
            "jobs": self.jobs,
            "elapsed_seconds": round(self.elapsed, 6),
        }

    def to_json(self, indent: Optional[int] = None) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def format_text(self) -> str:
        """The human-readable report the command line prints."""
        out = []
        for failure in self.failures:
            out.append(str(failure))
        if self.failures_truncated:
            out.append("... %d more failures not shown (raise --max-failures)"
                       % (self.failure_total - len(self.failures)))
        out.append("log: %s (%d bytes, %d lines, %d records)" % (self.path, self.file_bytes, self.lines,
                                                                   self.records))
        out.append("public key: %s%s" % (self.public_key_hex,
                                         " (%s)" % self.key_source if self.key_source else ""))
        if self.checkpoint:
            checkpoint = self.checkpoint
            if checkpoint.get("prefix_matches"):
                out.append("checkpoint: the first %d lines (%d bytes) are unchanged since it was made; %s" % (
                    checkpoint["lines"], checkpoint["byte_length"],
                    "every line checked again (--recheck)" if checkpoint.get("rechecked") else
                    "%d lines after them checked; the %d lines it covers were accepted on its word (--recheck "
                    "checks them)" % (self.lines_checked, self.lines_on_checkpoint_word)))
            else:
                out.append("checkpoint: the log no longer matches it; every line checked")
            if not checkpoint.get("key_pinned"):
                out.append("checkpoint: it was made without a pinned key (self-consistency only)")
        for number, segment in enumerate(self.segments[:SEGMENTS_SHOWN], 1):
            out.append("chain %d: %d records, lines %d-%d, %s" % (
                number, segment.records, segment.first_line, segment.last_line,
                "from genesis" if segment.start == "genesis" else "after a break"))
        if len(self.segments) > SEGMENTS_SHOWN:
            out.append("... %d more chains not shown" % (len(self.segments) - SEGMENTS_SHOWN))
        if self.torn_tail:
            out.append("torn tail: %d bytes after the last line feed at byte %d%s" % (
                self.torn_tail["length"], self.torn_tail["offset"],
                " (fails with --strict)" if not self.strict else ""))
        for note in self.notes:
            out.append("note: " + note)
        for hint in self.hints:
            out.append("hint: " + hint)
        if self.failure_counts:
            out.append("failures: " + ", ".join("%s %d" % item for item in sorted(self.failure_counts.items())))
        if self.proven is not None:
            out.append(self.proven.statement)
        out.append("%s: %d lines, %d records checked in %.2f s" % (
            "PASSED" if self.passed else "FAILED", self.lines_checked, self.records_checked, self.elapsed))
        return "\n".join(out)
