"""vorm_zel_audit: verify the write-ahead logs that vorm_zel writes.

An independent, pure-Python verifier: it rebuilds each record's seal text and
checks its BLAKE3 hash and Ed25519 signature against a public key, checks
that the hash chains are consistent (several engines may write one log) and,
with a checkpoint, that the bytes it covered are unchanged. ``Notary`` signs
Merkle tree checkpoints of a log with its own key, in the standard
transparency-log formats (``LOG.checkpoints``), and ``verify_log`` checks the
log against them: then every byte of the lines they cover is proven. It never imports
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
from .fleet import FleetReport, FleetSummary, LogKey, LogResult, verify_logs
from .failures import (BAD_SIGNATURE, CHAIN_BREAK, CHECKPOINT_SIGNATURE, DUPLICATE, HASH_MISMATCH,
                       INCONSISTENT_CHECKPOINTS, KEY_MISMATCH, KINDS, MALFORMED_CHECKPOINT, MALFORMED_LINE,
                       NOT_NOTARIZED, ORIGIN_MISMATCH, REWRITTEN, TORN_TAIL, TRUNCATED, UNREADABLE, Failure)
from .log_identity import LogIdentity
from .notarized import NotarizedResult, check_notarized
from .notary import Notary, NotaryError
from .proof_file import ProofCheck, ProofError, build_consistency_proof, build_inclusion_proof, check_proof
from .tree_head import TreeHead
from .keys import InvalidKey, public_key_from_key_file
from .proven import NOT_SEALED, SEALED, Proven
from .regular_file import NotARegularFile
from .report import VerifyReport
from .verify import verify_log
from .version import __version__

__all__ = [
    "verify_log", "verify_logs", "FleetReport", "FleetSummary", "LogResult", "LogKey", "VerifyReport", "Proven", "Failure", "Segment", "Checkpoint", "InvalidCheckpoint", "InvalidKey",
    "NotARegularFile", "make_checkpoint", "public_key_from_key_file", "KINDS", "TORN_TAIL", "MALFORMED_LINE",
    "HASH_MISMATCH", "BAD_SIGNATURE", "CHAIN_BREAK", "DUPLICATE", "TRUNCATED", "REWRITTEN", "KEY_MISMATCH",
    "UNREADABLE", "SEALED", "NOT_SEALED", "__version__",
    "Notary", "NotaryError", "check_notarized", "NotarizedResult", "TreeHead", "LogIdentity",
    "build_inclusion_proof", "build_consistency_proof", "check_proof", "ProofCheck", "ProofError",
    "MALFORMED_CHECKPOINT", "CHECKPOINT_SIGNATURE", "ORIGIN_MISMATCH", "INCONSISTENT_CHECKPOINTS",
    "NOT_NOTARIZED",
]
