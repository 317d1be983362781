"""The log's own Ed25519 key, read from its 32-byte seed file (``LOG.key``),
for signing checkpoints."""
from __future__ import annotations

from dataclasses import dataclass

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from .keys import InvalidKey
from .regular_file import open_regular


def read_regular_file(path: str, limit: int) -> bytes:
    """At most ``limit`` bytes of the regular file at ``path``. A FIFO,
    device or directory is refused without blocking (OSError)."""
    with open_regular(path) as handle:
        return handle.read(limit)


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
