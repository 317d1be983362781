"""Public keys: from hex text or derived from a 32-byte key file."""
from __future__ import annotations

import re

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

_HEX64 = re.compile(r"[0-9a-fA-F]{64}\Z")


class InvalidKey(ValueError):
    """A public key or key file that cannot be used; ``str()`` says why."""


def normalise_public_key_hex(text):
    """64 hex digits (either case, surrounding blanks ignored) as lower case."""
    text = (text or "").strip()
    if not _HEX64.match(text):
        raise InvalidKey("a public key is 64 hexadecimal digits (32 bytes); got %r" % text[:80])
    return text.lower()


def public_key_from_key_file(path):
    """The public key (hex) of the 32-byte Ed25519 seed in ``path``, as the
    engine keeps it in ``wal_path + ".key"``."""
    try:
        with open(path, "rb") as handle:
            seed = handle.read(33)
    except OSError as error:
        raise InvalidKey("cannot read the key file %s: %s" % (path, error.strerror or error))
    if len(seed) != 32:
        raise InvalidKey("the key file %s does not hold exactly 32 bytes" % path)
    public = Ed25519PrivateKey.from_private_bytes(seed).public_key()
    return public.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex()
