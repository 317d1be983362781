"""The name a log's checkpoints carry: their origin and signing key name.

A log is named by the file name it was notarised under and by its public
key (each log has its own key, ``LOG.key``)::

    vorm-zel/<file name>/<public key, 64 hex digits>

for example ``vorm-zel/audit.wal/3b6a27bc...``. Bytes of the file name other
than ASCII letters, digits and ``.-_~`` are percent-encoded, so the name holds
no space, plus or line feed. The same text is the origin line of every
checkpoint and the key name of its signature, as transparency-log witnesses
expect (they look a log's key up by its origin). The public key in it makes
the origin unique: checkpoints of two logs never share an origin, even when
the logs share a file name.
"""
from __future__ import annotations

import os
import re
import urllib.parse
from dataclasses import dataclass
from typing import Optional, Union

from .signed_note import VerifierKey

PREFIX = "vorm-zel/"
_ORIGIN = re.compile(r"vorm-zel/([A-Za-z0-9._~%-]+)/([0-9a-f]{64})\Z")


def escape_file_name(path: Union[str, bytes, "os.PathLike[str]"]) -> str:
    name = os.path.basename(os.fsencode(path)) or b"log"
    return urllib.parse.quote_from_bytes(name, safe=b"")


@dataclass(frozen=True)
class LogIdentity:
    file_name: str  # escaped
    public_key: bytes

    @classmethod
    def for_log(cls, log_path: Union[str, "os.PathLike[str]"], public_key: bytes) -> "LogIdentity":
        return cls(escape_file_name(log_path), public_key)

    @classmethod
    def from_origin(cls, origin: str) -> Optional["LogIdentity"]:
        """The identity an origin line names, or None when it is not one of
        this package's origins."""
        match = _ORIGIN.match(origin)
        if match is None:
            return None
        return cls(match.group(1), bytes.fromhex(match.group(2)))

    @property
    def origin(self) -> str:
        return "%s%s/%s" % (PREFIX, self.file_name, self.public_key.hex())

    @property
    def key_name(self) -> str:
        return self.origin

    @property
    def verifier_key(self) -> VerifierKey:
        return VerifierKey(self.key_name, self.public_key)

    @property
    def display_name(self) -> str:
        return urllib.parse.unquote(self.file_name, errors="replace")
