"""Complete lines of a log, read in large blocks."""
from __future__ import annotations

from typing import BinaryIO, Iterator, List, Tuple

BLOCK = 1 << 20


def line_batches(handle: BinaryIO, start: int, end: int, block: int = BLOCK) -> Iterator[Tuple[int, List[bytes]]]:
    """``(offset, lines)`` for the complete lines of ``handle`` between the
    byte offsets ``start`` and ``end`` (a line feed ends the range, or it is
    cut at the last one): each batch holds whole lines without their line
    feeds, ``offset`` is where the first one starts. Reads stop at ``end``
    or at the end of the file, whichever comes first."""
    handle.seek(start)
    position = start
    carry: List[bytes] = []  # the pieces of a line longer than one block
    while position < end:
        data = handle.read(min(block, end - position))
        if not data:
            break
        position += len(data)
        cut = data.rfind(b"\n")
        if cut < 0:
            carry.append(data)
            continue
        if carry:
            carry.append(data)
            data = b"".join(carry)
            cut = data.rfind(b"\n")
            carry = []
        lines = data[:cut].split(b"\n")
        yield position - len(data), lines
        if cut + 1 < len(data):
            carry.append(data[cut + 1:])
