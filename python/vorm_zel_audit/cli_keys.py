"""Which public key the ``vorm-zel`` commands verify a log with."""
from __future__ import annotations

import argparse
import os
from typing import Optional, Tuple

from .arguments import UsageError
from .checkpoint import Checkpoint
from .keys import normalise_public_key_hex, public_key_from_key_file

SELF_CONSISTENCY = (
    "self-consistency only: the public key was derived from the key file next to the log (%s), so whoever "
    "could rewrite the log could also have replaced that key and re-signed it. Pin the key: --public-key "
    "with the engine's public_key_hex() kept elsewhere, or a checkpoint made with a pinned key.")


def resolve_key(args: argparse.Namespace, log: str, checkpoint: Optional[Checkpoint]
                ) -> Tuple[Optional[str], str, bool]:
    """(public key hex, where it came from, pinned?) for ``log``. The key is
    None when the checkpoint's is to be used."""
    next_to_log = log + ".key"
    if args.public_key:
        return normalise_public_key_hex(args.public_key), "given with --public-key", True
    if args.key_file:
        own = os.path.exists(next_to_log) and os.path.exists(args.key_file) and os.path.samefile(
            args.key_file, next_to_log)
        key = public_key_from_key_file(args.key_file)
        if own:
            return key, "derived from %s, the key file beside the log" % args.key_file, False
        return key, "derived from %s" % args.key_file, True
    if checkpoint is not None:
        return None, "", checkpoint.key_pinned
    if not os.path.exists(next_to_log):
        raise UsageError("no public key: give --public-key, --key-file or --checkpoint (%s does not exist)"
                         % next_to_log)
    return public_key_from_key_file(next_to_log), "derived from %s, the key file beside the log" % next_to_log, False
