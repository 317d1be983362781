"""What can be wrong with a log: the failure kinds and one found failure."""
from __future__ import annotations

# The last line has no line feed: a write that did not complete (a crash, a
# full disk) or a writer still busy. Not a failure unless verification is
# strict; a checkpoint never covers it.
TORN_TAIL = "torn_tail"
# A line (or a piece of one) that is not a record: not UTF-8 or JSON, members
# missing, surplus, repeated or out of order, or a member of the wrong type.
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
# genesis root: a record before it was removed, moved or altered, or its own
# ``merkle_root`` was changed.
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

# Notarised logs (LOG.checkpoints): an entry that is not a checkpoint of this
# log, or a sidecar that cannot be read.
MALFORMED_CHECKPOINT = "malformed_checkpoint"
# A checkpoint not signed by the pinned key: changed after signing, or signed
# by another key.
CHECKPOINT_SIGNATURE = "checkpoint_signature"
# A checkpoint whose origin names another log file than the others do.
ORIGIN_MISMATCH = "origin_mismatch"
# Two signed checkpoints that cannot both be heads of one append-only log.
INCONSISTENT_CHECKPOINTS = "inconsistent_checkpoints"
# Lines after the latest checkpoint (or no checkpoint at all), when every
# line must be notarised.
NOT_NOTARIZED = "not_notarized"

KINDS = (TORN_TAIL, MALFORMED_LINE, HASH_MISMATCH, BAD_SIGNATURE, CHAIN_BREAK, DUPLICATE,
         TRUNCATED, REWRITTEN, KEY_MISMATCH, MALFORMED_CHECKPOINT, CHECKPOINT_SIGNATURE, ORIGIN_MISMATCH,
         INCONSISTENT_CHECKPOINTS, NOT_NOTARIZED)


class Failure(object):
    """One failure: its kind, where it is and what was found.

    ``line`` is the 1-based line number (None for failures of the file as a
    whole), ``offset`` the byte offset of the record (or the line) in the
    file, ``detail`` a sentence, ``record_id`` the record's id when known.
    """

    __slots__ = ("kind", "line", "offset", "detail", "record_id")

    def __init__(self, kind, line, offset, detail, record_id=None):
        self.kind = kind
        self.line = line
        self.offset = offset
        self.detail = detail
        self.record_id = record_id

    def to_dict(self):
        return {"kind": self.kind, "line": self.line, "offset": self.offset,
                "detail": self.detail, "record_id": self.record_id}

    def __repr__(self):
        return "Failure(%r, line=%r, offset=%r, %r)" % (self.kind, self.line, self.offset, self.detail)

    def __str__(self):
        where = "log" if self.line is None else "line %d (byte %d)" % (self.line, self.offset)
        return "%s: %s: %s" % (where, self.kind, self.detail)
