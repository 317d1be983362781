"""make_checkpoint: verify a log and, when it passes, describe it in a new
checkpoint."""
from __future__ import annotations

import os
from typing import Any, Optional, Tuple

from .checkpoint import BLOCK_SIZE, Checkpoint, CheckpointLike, coerce, utc_now_text
from .regular_file import PathLike
from .report import VerifyReport
from .verify import verify_log
from .version import __version__


def make_checkpoint(path: PathLike, public_key_hex: Optional[str] = None, previous: CheckpointLike = None,
                    **options: Any) -> Tuple[Optional[Checkpoint], VerifyReport]:
    """Verify the log at ``path`` (against ``previous``, an earlier checkpoint,
    when given) and, if it passed, build a checkpoint of it.

    Returns ``(checkpoint, report)``; ``checkpoint`` is None when the log did
    not pass (a torn tail alone does not stop it: the checkpoint ends at the
    last line feed). ``options`` go to ``verify_log``; its ``key_pinned`` and
    ``key_source`` are recorded in the checkpoint, so that one made without a
    pinned key says so wherever it is used.
    """
    previous = coerce(previous)
    report = verify_log(path, public_key_hex, checkpoint=previous, digest=True, **options)
    if not report.passed:
        return None, report
    assert report.prefix_blake3 is not None and report.block_digests is not None
    checkpoint = Checkpoint(
        report.public_key_hex, report.bytes_verified, report.lines, report.records, report.prefix_blake3,
        BLOCK_SIZE, report.block_digests, [segment.to_dict() for segment in report.segments],
        created=utc_now_text(), log=os.path.abspath(report.path), tool="vorm_zel_audit " + __version__,
        key_pinned=report.key_pinned, key_source=report.key_source)
    return checkpoint, report
