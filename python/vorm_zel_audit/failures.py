"""What can be wrong with a log: the failure kinds and one found failure."""
from __future__ import annotations

import dataclasses
from typing import Dict, Optional

# Bytes after the last line feed that start a record but do not finish one: a
# write that did not complete (a crash, a full disk) or a writer still busy.
# Not a failure unless verification is strict. A tail that is anything else
# (a complete record fails or passes like any line; more than one record, or
# bytes that do not start a record, are malformed) is not a torn tail.
TORN_TAIL = "torn_tail"
# A line (or a piece of one) that is not a record: not UTF-8 or JSON, nested
# or longer than a record can be, members missing, surplus, repeated or out of
# order, a member of the wrong type or form, a score outside [0, 1], or a
# line that could not be checked at all (the detail says why).
MALFORMED_LINE = "malformed_line"
# BLAKE3 of the seal text rebuilt from the line differs from its ``hash``: a
# sealed member (provenance, place, purpose, prompt, coherence_score,
# reputation_scalar) was changed.
HASH_MISMATCH = "hash_mismatch"
# The Ed25519 signature does not verify over the 32 bytes of ``hash`` with the
# public key: the hash or signature was changed or forged, or the log was
# sealed by another key.
BAD_SIGNATURE = "bad_signature"
# ``merkle_root`` extends no open chain and does not start one from the
# genesis root. Evidence that a record before it was removed, moved or
# altered, or that its own ``merkle_root`` was changed. Its absence proves
# nothing: the chain step is unkeyed, so whoever edits a log can recompute
# every root after a removal, a reordering or a splice.
CHAIN_BREAK = "chain_break"
# A record that starts a chain from genesis repeats the id of an earlier
# chain start: a copied (replayed) line.
DUPLICATE = "duplicate"
# The log is shorter than a checkpoint says it was.
TRUNCATED = "truncated"
# The bytes a checkpoint covered have changed.
REWRITTEN = "rewritten"
# The public key given differs from the one a checkpoint pinned.
KEY_MISMATCH = "key_mismatch"
# Bytes of the log could not be read while it was verified (it shrank, or an
# I/O error): the lines from there on were not checked.
UNREADABLE = "unreadable"

KINDS = (TORN_TAIL, MALFORMED_LINE, HASH_MISMATCH, BAD_SIGNATURE, CHAIN_BREAK, DUPLICATE,
         TRUNCATED, REWRITTEN, KEY_MISMATCH, UNREADABLE)


@dataclasses.dataclass
class Failure:
    """One failure: its kind, where it is and what was found.

    ``line`` is the 1-based line number (None for failures of the file as a
    whole), ``offset`` the byte offset of the record (or the line) in the
    file, ``detail`` a sentence, ``record_id`` the record's id when known.
    """

    kind: str
    line: Optional[int]
    offset: Optional[int]
    detail: str
    record_id: Optional[str] = None

    def to_dict(self) -> Dict[str, object]:
        return dataclasses.asdict(self)

    def __str__(self) -> str:
        where = "log" if self.line is None else "line %d (byte %d)" % (self.line, self.offset or 0)
        return "%s: %s: %s" % (where, self.kind, self.detail)
