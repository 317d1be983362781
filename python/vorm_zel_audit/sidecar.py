"""The checkpoint sidecar (``LOG.checkpoints``): signed notes, appended.

Each entry is one signed note (a checkpoint text, a blank line, its
signature lines) followed by a blank line, so the file is a plain sequence
of standard notes that any note tool can read. A new entry is written with
one ``O_APPEND`` write: it is there whole, or (after a crash or a full disk)
as a torn piece at the end of the file. Reading stops short of a torn last
entry and reports it; the next append first closes it with blank lines, so
that it stays a separate (malformed) entry instead of spoiling the next one.

Only regular files are read or written: a FIFO, device or directory is
refused without blocking, and the writer does not follow a symbolic link at
the sidecar's own path.
"""
from __future__ import annotations

import io
import os
import stat
from dataclasses import dataclass, field
from typing import BinaryIO, Iterator, List, Optional, Tuple

from .signed_note import SIGNATURE_PREFIX

# A note this package writes is some 300 bytes; witnesses add a line each.
MAX_ENTRY_BYTES = 1 << 16
_SIGNATURE_LINE = SIGNATURE_PREFIX.encode("utf-8")
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


@dataclass(frozen=True)
class SidecarEntry:
    number: int  # 1-based, in file order
    offset: int  # byte offset in the sidecar
    data: bytes  # the note; empty when it was too long to keep
    problem: Optional[str] = None  # why this is not a note, when it is not one


@dataclass
class SidecarContents:
    entries: List[SidecarEntry] = field(default_factory=list)
    torn_tail: Optional[Tuple[int, int]] = None  # (offset, length) of a torn last entry


def default_path(log_path: str) -> str:
    return os.fspath(log_path) + ".checkpoints"


def _open_regular(path: str, flags: int) -> int:
    descriptor = os.open(path, flags | os.O_NONBLOCK | _CLOEXEC, 0o644)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError(0, "not a regular file", path)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


@dataclass
class _Paragraph:
    offset: int
    lines: List[bytes]
    size: int
    complete: bool  # ended with a line feed
    too_long: bool


def _paragraphs(handle: BinaryIO) -> Iterator[_Paragraph]:
    offset = 0
    current: Optional[_Paragraph] = None
    continues = False  # the last piece read ended inside a (too long) line
    while True:
        line = handle.readline(MAX_ENTRY_BYTES + 1)
        if not line:
            break
        start = offset
        offset += len(line)
        if line == b"\n" and not continues:
            if current is not None:
                yield current
                current = None
            continue
        continues = not line.endswith(b"\n")
        if current is None:
            current = _Paragraph(start, [], 0, True, False)
        current.size += len(line)
        if current.size > MAX_ENTRY_BYTES:
            current.too_long = True
            current.lines = []
        elif not current.too_long:
            current.lines.append(line)
        current.complete = not continues
    if current is not None:
        yield current


def _is_signature_block(paragraph: _Paragraph) -> bool:
    return bool(paragraph.lines) and all(line.startswith(_SIGNATURE_LINE) for line in paragraph.lines)


def read_sidecar(path: str) -> SidecarContents:
    """The entries of the sidecar at ``path``. Raises OSError when it cannot
    be read (or is not a regular file)."""
    descriptor = _open_regular(path, os.O_RDONLY)
    with io.open(descriptor, "rb", buffering=1 << 16) as handle:
        return _entries(_paragraphs(handle))


def _entries(paragraphs: Iterator[_Paragraph]) -> SidecarContents:
    contents = SidecarContents()
    pending: Optional[_Paragraph] = None

    def add(offset: int, data: bytes, problem: Optional[str] = None) -> None:
        contents.entries.append(SidecarEntry(len(contents.entries) + 1, offset, data, problem))

    for paragraph in paragraphs:
        if not paragraph.complete and not paragraph.too_long:
            start = pending.offset if pending is not None else paragraph.offset
            contents.torn_tail = (start, paragraph.offset + paragraph.size - start)
            pending = None
            break
        if paragraph.too_long:
            if pending is not None:
                add(pending.offset, b"".join(pending.lines), "a checkpoint text without signature lines")
                pending = None
            add(paragraph.offset, b"", "an entry longer than %d bytes" % MAX_ENTRY_BYTES)
        elif _is_signature_block(paragraph):
            if pending is None:
                add(paragraph.offset, b"".join(paragraph.lines), "signature lines without a checkpoint text")
            elif pending.size + 1 + paragraph.size > MAX_ENTRY_BYTES:
                add(pending.offset, b"", "an entry longer than %d bytes" % MAX_ENTRY_BYTES)
            else:
                add(pending.offset, b"".join(pending.lines) + b"\n" + b"".join(paragraph.lines))
            pending = None
        else:
            if pending is not None:
                add(pending.offset, b"".join(pending.lines), "a checkpoint text without signature lines")
            pending = paragraph
    if pending is not None:
        # A text whose signatures were never written: the last write was torn.
        contents.torn_tail = (pending.offset, pending.size)
    return contents


def append_note(path: str, note: str) -> None:
    """Append one note as one write. Raises OSError when the file cannot be
    written, is not a regular file, is a symbolic link, or the write was
    short (the piece written is then a torn entry)."""
    data = note.encode("utf-8") + b"\n"
    descriptor = _open_regular(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW)
    try:
        size = os.fstat(descriptor).st_size
        if size:
            end = os.pread(descriptor, 2, max(0, size - 2))
            if end != b"\n\n":
                data = (b"\n" if end.endswith(b"\n") else b"\n\n") + data
        written = os.write(descriptor, data)
        if written != len(data):
            raise OSError(0, "only %d of %d bytes of a checkpoint were written (a full disk?)"
                          % (written, len(data)), path)
    finally:
        os.close(descriptor)
