"""Public keys: from hex text or derived from a 32-byte key file.

A key of small order (the identity point and the other seven points of order
dividing 8, in any of their encodings) is refused: with such a key, a
signature can verify over many messages without anyone holding a secret.
"""
from __future__ import annotations

import re

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from .regular_file import PathLike, read_regular_file

_HEX64 = re.compile(r"[0-9a-fA-F]{64}\Z")

# The y-coordinates (little-endian, sign bit cleared) of the Edwards25519 points
# of small order, canonical or not: 0 (order 4), 1 (the identity), the two of
# order 8, p - 1 (order 2), p (= 0) and p + 1 (= 1). The same list libsodium
# checks before it verifies a signature.
_SMALL_ORDER_Y = tuple(bytes.fromhex(text) for text in (
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0100000000000000000000000000000000000000000000000000000000000000",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
))


class InvalidKey(ValueError):
    """A public key or key file that cannot be used; ``str()`` says why."""


def has_small_order(key: bytes) -> bool:
    """True for an encoding of a point of small order."""
    return key[:31] + bytes([key[31] & 0x7F]) in _SMALL_ORDER_Y


def normalise_public_key_hex(text: str) -> str:
    """64 hex digits (either case, surrounding blanks ignored) as lower case;
    InvalidKey for anything else, and for a key of small order."""
    text = (text or "").strip()
    if not _HEX64.match(text):
        raise InvalidKey("a public key is 64 hexadecimal digits (32 bytes); got %r" % text[:80])
    if has_small_order(bytes.fromhex(text)):
        raise InvalidKey("the public key %s is a point of small order: signatures made for it prove nothing"
                         % text.lower())
    return text.lower()


def read_seed(path: PathLike) -> bytes:
    """The 32-byte Ed25519 seed in the key file ``path`` (only a regular file
    is read); InvalidKey when it cannot be read or has another length."""
    try:
        seed = read_regular_file(path, 33, "key file")
    except OSError as error:
        raise InvalidKey("cannot read the key file %s: %s" % (path, error.strerror or error)) from None
    if len(seed) != 32:
        raise InvalidKey("the key file %s does not hold exactly 32 bytes" % path)
    return seed


def public_key_from_key_file(path: PathLike) -> str:
    """The public key (hex) of the 32-byte Ed25519 seed in ``path``, as the
    engine keeps it in ``wal_path + ".key"``."""
    public = Ed25519PrivateKey.from_private_bytes(read_seed(path)).public_key()
    return public.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex()
