"""The log's own Ed25519 key, read from its 32-byte seed file (``LOG.key``),
for signing checkpoints."""
from __future__ import annotations

import os
import stat
from dataclasses import dataclass

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from .keys import InvalidKey


def read_regular_file(path: str, limit: int) -> bytes:
    """At most ``limit`` bytes of the regular file at ``path``. A FIFO,
    device or directory is refused without blocking (OSError)."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError(0, "not a regular file", path)
        chunks = []
        remaining = limit
        while remaining > 0:
            chunk = os.read(descriptor, remaining)
            if not chunk:
                break
            chunks.append(chunk)
            remaining -= len(chunk)
        return b"".join(chunks)
    finally:
        os.close(descriptor)


@dataclass(frozen=True)
class SigningKey:
    private_key: Ed25519PrivateKey

    @classmethod
    def from_seed_file(cls, path: str) -> "SigningKey":
        try:
            seed = read_regular_file(path, 33)
        except OSError as error:
            raise InvalidKey("cannot read the key file %s: %s" % (path, error.strerror or error))
        if len(seed) != 32:
            raise InvalidKey("the key file %s does not hold exactly 32 bytes" % path)
        return cls(Ed25519PrivateKey.from_private_bytes(seed))

    @property
    def public_key(self) -> bytes:
        return self.private_key.public_key().public_bytes(serialization.Encoding.Raw,
                                                          serialization.PublicFormat.Raw)
