"""vorm_zel_audit: verify the write-ahead logs that vorm_zel writes.

An independent, pure-Python verifier: it rebuilds each record's seal text and
checks its BLAKE3 hash and Ed25519 signature against a public key, checks
that the hash chains are consistent (several engines may write one log) and,
with a checkpoint, that the bytes it covered are unchanged. It never imports
``vorm_zel``. Every report states what it proved and what it did not
(``report.proven``): without a checkpoint, a pass proves each record's hash
and signature, not that the log is complete or in order.

    from vorm_zel_audit import verify_log
    report = verify_log("audit.wal", "<public key hex>")
    report.passed, report.proven.statement, report.failures, report.segments
"""
from __future__ import annotations

from .chain import Segment
from .checkpoint import Checkpoint, InvalidCheckpoint
from .checkpointing import make_checkpoint
from .failures import (BAD_SIGNATURE, CHAIN_BREAK, DUPLICATE, HASH_MISMATCH, KEY_MISMATCH, KINDS,
                       MALFORMED_LINE, REWRITTEN, TORN_TAIL, TRUNCATED, UNREADABLE, Failure)
from .keys import InvalidKey, public_key_from_key_file
from .proven import NOT_SEALED, SEALED, Proven
from .regular_file import NotARegularFile
from .report import VerifyReport
from .verify import verify_log
from .version import __version__

__all__ = [
    "verify_log", "VerifyReport", "Proven", "Failure", "Segment", "Checkpoint", "InvalidCheckpoint", "InvalidKey",
    "NotARegularFile", "make_checkpoint", "public_key_from_key_file", "KINDS", "TORN_TAIL", "MALFORMED_LINE",
    "HASH_MISMATCH", "BAD_SIGNATURE", "CHAIN_BREAK", "DUPLICATE", "TRUNCATED", "REWRITTEN", "KEY_MISMATCH",
    "UNREADABLE", "SEALED", "NOT_SEALED", "__version__",
]
