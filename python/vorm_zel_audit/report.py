"""The result of verifying a log."""
from __future__ import annotations

import json

from . import failures

# What a record's signature covers: the payload digest (``hash``) is BLAKE3 of
# the seal text built from these members, and the signature is over it.
COVERED_BY_SIGNATURE = ("ppp_json (its provenance, place and purpose values)", "prompt",
                        "coherence_score", "reputation_scalar", "hash", "signature")
# Covered by the chain: the order of one engine's records and that none is
# missing between two of them (not after the last: see checkpoints).
COVERED_BY_CHAIN = ("merkle_root",)
# Carried in the line but sealed by nothing: changes to these are not found
# by a signature or chain check, only by a checkpoint's digest of the bytes.
NOT_COVERED = ("id", "timestamp", "monotonic_nanos", "ctx_json", "reasoning_trace_json", "output",
               "human_delta_chain_json", "core_insight_json")


class VerifyReport(object):
    """What verifying a log found.

    ``failures`` holds at most ``max_failures`` failures in file order (the
    failures of the file as a whole first); ``failure_counts`` counts every
    failure found, by kind. ``passed`` is true when nothing failed, a torn
    tail counting only when ``strict``.
    """

    def __init__(self, path, public_key_hex, max_failures=None, strict=False):
        self.path = path
        self.public_key_hex = public_key_hex
        self.key_source = None
        self.strict = strict
        self.max_failures = max_failures
        self.failures = []
        self.failure_counts = {}
        self.segments = []
        self.torn_tail = None
        self.file_bytes = 0
        self.bytes_verified = 0  # length of the complete lines (through the last line feed)
        self.lines = 0  # complete lines in the log
        self.records = 0  # records in the complete lines
        self.lines_checked = 0  # lines whose records were checked in this run
        self.records_checked = 0
        self.empty_lines = 0
        self.shared_lines = 0  # lines holding more than one record
        self.checkpoint = None  # what a checkpoint showed, when one was given
        self.notarized = None  # NotarizedResult: the signed checkpoints (LOG.checkpoints), when checked
        self.prefix_blake3 = None  # BLAKE3 of the first ``bytes_verified`` bytes, when computed
        self.block_size = None
        self.block_digests = None
        self.notes = []
        self.hints = []
        self.jobs = 1
        self.elapsed = 0.0

    # -- failures ------------------------------------------------------------
    def add(self, failure):
        self.failure_counts[failure.kind] = self.failure_counts.get(failure.kind, 0) + 1
        if self.max_failures is None or len(self.failures) < self.max_failures:
            self.failures.append(failure)

    @property
    def failure_total(self):
        return sum(self.failure_counts.values())

    @property
    def failures_truncated(self):
        return self.failure_total > len(self.failures)

    def failures_of(self, kind):
        return [failure for failure in self.failures if failure.kind == kind]

    @property
    def passed(self):
        for kind, count in self.failure_counts.items():
            if count and (kind != failures.TORN_TAIL or self.strict):
                return False
        return True

    # -- derived -------------------------------------------------------------
    @property
    def chain_starts(self):
        return sum(1 for segment in self.segments if segment.start == "genesis")

    def to_dict(self):
        return {
            "path": self.path,
            "passed": self.passed,
            "strict": self.strict,
            "public_key": self.public_key_hex,
            "key_source": self.key_source,
            "file_bytes": self.file_bytes,
            "bytes_verified": self.bytes_verified,
            "lines": self.lines,
            "records": self.records,
            "lines_checked": self.lines_checked,
            "records_checked": self.records_checked,
            "empty_lines": self.empty_lines,
            "shared_lines": self.shared_lines,
            "failure_counts": dict(sorted(self.failure_counts.items())),
            "failures": [failure.to_dict() for failure in self.failures],
            "failures_truncated": self.failures_truncated,
            "max_failures": self.max_failures,
            "torn_tail": self.torn_tail,
            "segments": [segment.to_dict() for segment in self.segments],
            "covered_fields": {"signature": list(COVERED_BY_SIGNATURE), "chain": list(COVERED_BY_CHAIN)},
            "not_covered_fields": list(NOT_COVERED),
            "checkpoint": self.checkpoint,
            "notarized": self.notarized.to_dict() if self.notarized else None,
            "notes": list(self.notes),
            "hints": list(self.hints),
            "jobs": self.jobs,
            "elapsed_seconds": round(self.elapsed, 6),
        }

    def to_json(self, indent=None):
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def format_text(self):
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
                out.append("checkpoint: the first %d lines (%d bytes) are unchanged since it was made; "
                           "%d lines after them checked" % (checkpoint["lines"], checkpoint["byte_length"],
                                                            self.lines_checked))
            else:
                out.append("checkpoint: the log no longer matches it; every line checked")
        if self.notarized:
            out.append("notarised: " + self.notarized.statement)
            out.extend("note: " + note for note in self.notarized.notes)
        for number, segment in enumerate(self.segments, 1):
            out.append("chain %d: %d records, lines %d-%d, %s" % (
                number, segment.records, segment.first_line, segment.last_line,
                "from genesis" if segment.start == "genesis" else "after a break"))
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
        out.append("not covered by the signature: %s" % ", ".join(NOT_COVERED))
        out.append("%s: %d lines, %d records checked in %.2f s" % (
            "PASSED" if self.passed else "FAILED", self.lines_checked, self.records_checked, self.elapsed))
        return "\n".join(out)
