"""Opening inputs that must be regular files, without ever blocking.

A log, a key file or a checkpoint given on the command line may be anything
a path can name: a FIFO (whose plain ``open`` waits for a writer forever), a
character device such as ``/dev/zero`` (endless), a directory or a socket.
Each is opened non-blocking and refused unless it is a regular file; symbolic
links are followed, and the file they lead to is what is checked.
"""
from __future__ import annotations

import os
import stat
from typing import BinaryIO, Union

PathLike = Union[str, "os.PathLike[str]"]


class NotARegularFile(OSError):
    """The path names something other than a regular file."""


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def open_regular(path: PathLike, what: str = "file") -> BinaryIO:
    """``path`` opened for binary reading; NotARegularFile (an OSError) when
    it is not a regular file. ``what`` names it in the message ("log", "key
    file", ...)."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOCTTY", 0)
    descriptor = os.open(path, flags)
    try:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            raise NotARegularFile("the %s %s is %s; only a regular file can be read" % (what, os.fspath(path), _kind(mode)))
        # Regular files ignore O_NONBLOCK; clear it all the same.
        if hasattr(os, "set_blocking"):
            os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_regular_file(path: PathLike, limit: int, what: str = "file") -> bytes:
    """At most ``limit`` bytes of the regular file at ``path`` (refusing
    anything else, without blocking)."""
    with open_regular(path, what) as handle:
        return handle.read(limit)


def regular_size(path: PathLike, what: str = "file") -> int:
    """The size of the regular file at ``path`` (refusing anything else)."""
    with open_regular(path, what) as handle:
        return os.fstat(handle.fileno()).st_size
