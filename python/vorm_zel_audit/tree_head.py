"""The checkpoint body of the C2SP ``tlog-checkpoint`` format.

::

    <origin>
    <tree size in decimal>
    <base64 of the 32-byte root hash>
    [extension lines]

Each line ends in a line feed. The size has no sign and no leading zero;
the root is standard base64 with padding. Extension lines are kept when
parsing and never written by this package.
"""
from __future__ import annotations

import base64
import binascii
import re
from dataclasses import dataclass, field
from typing import List

from .merkle import HASH_SIZE

_SIZE = re.compile(r"(0|[1-9][0-9]{0,18})\Z")
MAX_SIZE = (1 << 63) - 1


class MalformedTreeHead(ValueError):
    """A note text that is not a checkpoint body; ``str()`` says why."""


@dataclass(frozen=True)
class TreeHead:
    origin: str
    size: int
    root: bytes
    extensions: List[str] = field(default_factory=list)

    def to_text(self) -> str:
        lines = [self.origin, str(self.size), base64.b64encode(self.root).decode("ascii")] + list(self.extensions)
        return "".join(line + "\n" for line in lines)

    @classmethod
    def parse(cls, text: str) -> "TreeHead":
        if not text.endswith("\n"):
            raise MalformedTreeHead("the checkpoint text does not end with a line feed")
        lines = text[:-1].split("\n")
        if len(lines) < 3:
            raise MalformedTreeHead("a checkpoint has an origin, a size and a root hash line")
        origin, size, root = lines[:3]
        if not origin:
            raise MalformedTreeHead("the origin line is empty")
        if not _SIZE.match(size) or int(size) > MAX_SIZE:
            raise MalformedTreeHead("the tree size is not a decimal number: %r" % size[:40])
        try:
            raw = base64.b64decode(root, validate=True)
        except (binascii.Error, ValueError):
            raw = b""
        if len(raw) != HASH_SIZE or base64.b64encode(raw).decode("ascii") != root:
            raise MalformedTreeHead("the root hash is not the base64 of 32 bytes: %r" % root[:60])
        extensions = lines[3:]
        if any(not line for line in extensions):
            raise MalformedTreeHead("an extension line is empty")
        return cls(origin, int(size), raw, extensions)
