"""Reading a write-ahead log: complete lines, spans of them, and the tail.

A log is a sequence of lines, each ending in a line feed; the bytes after the
last line feed are its *tail* (empty, a torn write, or something appended
without a line feed). Work is cut into *spans* of whole lines so that it can
be spread over processes. No line is ever read into memory whole when it is
longer than the line cap (``max_line_bytes``): such a line becomes an
*overlong* span of its own, reported without being read, so memory stays
bounded by the cap whatever the file holds.
"""
from __future__ import annotations

import os
from typing import BinaryIO, Iterator, List, NamedTuple, Tuple

from .regular_file import PathLike, open_regular

# Far above anything capture writes in practice (a record carries one
# decision); a verification that needs more can raise it.
DEFAULT_MAX_LINE_BYTES = 256 << 20
_BLOCK = 1 << 20


class Span(NamedTuple):
    """Bytes ``[start, end)`` of the log: whole lines, or (``overlong``) one
    line longer than the cap, line feed included when it has one."""

    start: int
    end: int
    overlong: bool = False


class LogChanged(OSError):
    """The log was shorter when read than when it was measured."""


def complete_length(handle: BinaryIO, size: int) -> int:
    """Byte length of the log up to and including its last line feed."""
    position = size
    while position > 0:
        start = max(0, position - _BLOCK)
        handle.seek(start)
        block = handle.read(position - start)
        index = block.rfind(b"\n")
        if index >= 0:
            return start + index + 1
        position = start
    return 0


def _find_forward(handle: BinaryIO, position: int, end: int) -> int:
    """The offset just after the first line feed at or after ``position``
    (``end`` when there is none before it)."""
    handle.seek(position)
    while position < end:
        block = handle.read(min(_BLOCK, end - position))
        if not block:
            break
        index = block.find(b"\n")
        if index >= 0:
            return position + index + 1
        position += len(block)
    return end


def _find_backward(handle: BinaryIO, low: int, position: int) -> int:
    """The offset just after the last line feed in ``[low, position)``, or
    ``low`` when there is none."""
    while position > low:
        start = max(low, position - _BLOCK)
        handle.seek(start)
        block = handle.read(position - start)
        index = block.rfind(b"\n")
        if index >= 0:
            return start + index + 1
        position = start
    return low


def plan_spans(handle: BinaryIO, start: int, end: int, target: int,
               max_line_bytes: int = DEFAULT_MAX_LINE_BYTES) -> List[Span]:
    """Cut ``[start, end)`` (which ends just after a line feed) into spans of
    about ``target`` bytes that end on line feeds, with every line longer than
    ``max_line_bytes`` (line feed excluded) in an overlong span of its own.

    Reads only around the cuts (and through overlong lines, block by block).
    """
    target = max(1, min(target, max_line_bytes))
    spans: List[Span] = []
    position = start
    while position < end:
        guess = position + target
        if guess >= end:
            cut = end
        else:
            cut = _find_forward(handle, guess - 1, end)
        # The line that runs through the cut begins after the last line feed
        # before it; only that line can be longer than the cap.
        line_start = _find_backward(handle, position, cut - 1)
        if cut - line_start - 1 > max_line_bytes:
            if line_start > position:
                spans.append(Span(position, line_start))
            spans.append(Span(line_start, cut, True))
        else:
            spans.append(Span(position, cut))
        position = cut
    return spans


def read_span(handle: BinaryIO, span: Span) -> bytes:
    handle.seek(span.start)
    data = handle.read(span.end - span.start)
    if len(data) != span.end - span.start:
        raise LogChanged("the log is now shorter than when verification began (%d bytes read of %d from offset %d)"
                         % (len(data), span.end - span.start, span.start))
    return data


def read_path_span(path: PathLike, span: Span) -> bytes:
    with open_regular(path, "log") as handle:
        return read_span(handle, span)


def count_line_feeds(handle: BinaryIO, span: Span) -> int:
    """Line feeds in the span, read block by block."""
    handle.seek(span.start)
    remaining = span.end - span.start
    count = 0
    while remaining > 0:
        block = handle.read(min(_BLOCK, remaining))
        if not block:
            break
        count += block.count(b"\n")
        remaining -= len(block)
    return count


def iter_lines(data: bytes, base_offset: int = 0) -> Iterator[Tuple[int, int, bytes]]:
    """Yield ``(index, offset, line)`` for every line of ``data`` (bytes that
    end with a line feed, or are empty); ``line`` excludes the line feed and
    ``offset`` is ``base_offset`` plus its position in ``data``."""
    position = 0
    index = 0
    length = len(data)
    while position < length:
        cut = data.find(b"\n", position)
        if cut < 0:
            cut = length
        yield index, base_offset + position, data[position:cut]
        index += 1
        position = cut + 1


def file_size(handle: BinaryIO) -> int:
    return os.fstat(handle.fileno()).st_size
