"""vorm_zel_audit: verify the write-ahead logs that vorm_zel writes.

An independent, pure-Python verifier: it rebuilds each record's seal text,
checks its BLAKE3 hash and Ed25519 signature against a public key, walks the
hash chains (several engines may write one log) and, with a checkpoint,
proves the log was only appended to. It never imports ``vorm_zel``.
``Notary`` signs Merkle tree checkpoints of a log with its own key, in the
standard transparency-log formats, and ``verify_log`` checks the log
against them.

    from vorm_zel_audit import verify_log
    report = verify_log("audit.wal", "<public key hex>")
    report.passed, report.failures, report.segments
"""
from __future__ import annotations

from .chain import Segment
from .checkpoint import Checkpoint, InvalidCheckpoint
from .failures import (BAD_SIGNATURE, CHAIN_BREAK, DUPLICATE, HASH_MISMATCH, KEY_MISMATCH, KINDS,
                       MALFORMED_LINE, REWRITTEN, TORN_TAIL, TRUNCATED, Failure)
from .keys import InvalidKey, public_key_from_key_file
from .checkpoint import make_checkpoint
from .failures import (CHECKPOINT_SIGNATURE, INCONSISTENT_CHECKPOINTS, MALFORMED_CHECKPOINT, NOT_NOTARIZED,
                       ORIGIN_MISMATCH)
from .log_identity import LogIdentity
from .notarized import NotarizedResult, check_notarized
from .notary import Notary, NotaryError
from .proof_file import ProofCheck, ProofError, build_consistency_proof, build_inclusion_proof, check_proof
from .tree_head import TreeHead
from .report import COVERED_BY_CHAIN, COVERED_BY_SIGNATURE, NOT_COVERED, VerifyReport
from .verify import verify_log

__version__ = "0.1.0"

__all__ = [
    "verify_log", "VerifyReport", "Failure", "Segment", "Checkpoint", "InvalidCheckpoint", "InvalidKey",
    "make_checkpoint", "public_key_from_key_file", "KINDS", "TORN_TAIL", "MALFORMED_LINE",
    "HASH_MISMATCH", "BAD_SIGNATURE", "CHAIN_BREAK", "DUPLICATE", "TRUNCATED", "REWRITTEN",
    "KEY_MISMATCH", "COVERED_BY_SIGNATURE", "COVERED_BY_CHAIN", "NOT_COVERED",
    "Notary", "NotaryError", "check_notarized", "NotarizedResult", "TreeHead", "LogIdentity",
    "build_inclusion_proof", "build_consistency_proof", "check_proof", "ProofCheck", "ProofError",
    "MALFORMED_CHECKPOINT", "CHECKPOINT_SIGNATURE", "ORIGIN_MISMATCH", "INCONSISTENT_CHECKPOINTS",
    "NOT_NOTARIZED",
]
