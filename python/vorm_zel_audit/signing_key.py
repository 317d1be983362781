"""The log's own Ed25519 key, read from its 32-byte seed file (``LOG.key``),
for signing checkpoints."""
from __future__ import annotations

from dataclasses import dataclass

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from .keys import read_seed


@dataclass(frozen=True)
class SigningKey:
    private_key: Ed25519PrivateKey

    @classmethod
    def from_seed_file(cls, path: str) -> "SigningKey":
        return cls(Ed25519PrivateKey.from_private_bytes(read_seed(path)))

    @property
    def public_key(self) -> bytes:
        return self.private_key.public_key().public_bytes(serialization.Encoding.Raw,
                                                          serialization.PublicFormat.Raw)
