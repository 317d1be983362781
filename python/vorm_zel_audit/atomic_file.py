"""Replacing a file whole: a new temporary file beside it, created
exclusively and never through a link, then renamed over it. A reader sees
the old file or the new one, never a part; a link planted at the temporary
name makes the write fail instead of writing where the link points."""
from __future__ import annotations

import os
import secrets

from .regular_file import PathLike


def write_atomically(path: PathLike, data: bytes, mode: int = 0o644, durable: bool = True) -> None:
    """Replace ``path`` by ``data``; ``durable``: on disk (fsync) before the
    rename, so a crash leaves the old file or the new one, whole."""
    path = os.fspath(path)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    temporary = "%s.tmp-%s" % (path, secrets.token_hex(8))
    descriptor = os.open(temporary, flags, mode)
    try:
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(data)
            handle.flush()
            if durable:
                os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
