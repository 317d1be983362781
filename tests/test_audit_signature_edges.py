"""Which Ed25519 signatures the verifier accepts: libsodium's rules (the
library the module signs with), pinned here where OpenSSL's differ.

Edge signatures are made with the log's own secret key (its ``.key`` seed),
so each one satisfies the verification equation: whoever holds the key can
make them. libsodium refuses an R of small order and a non-canonical S;
OpenSSL (``cryptography``) accepts the first. A record carrying one fails
with ``bad_signature``.
"""
import hashlib
import json

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from audit_logs import edit, kinds, read_lines, seal, write_lines
from vorm_zel_audit import verify_log

ORDER = 2 ** 252 + 27742317777372353535851937790883648493  # the group order L
IDENTITY = (1).to_bytes(32, "little")  # the encoding of the neutral point, of order 1


def secret_scalar(seed):
    digest = hashlib.sha512(seed).digest()
    scalar = int.from_bytes(digest[:32], "little")
    return (scalar & ((1 << 254) - 8)) | (1 << 254)


def small_order_r(seed, public_key, message):
    """R = the identity and S = h*a: then [S]B = R + [h]A holds."""
    challenge = int.from_bytes(hashlib.sha512(IDENTITY + public_key + message).digest(), "little") % ORDER
    return IDENTITY + (challenge * secret_scalar(seed) % ORDER).to_bytes(32, "little")


def s_plus_order(signature):
    """The same signature with S + L in place of S (S + L < 2**256)."""
    return signature[:32] + (int.from_bytes(signature[32:], "little") + ORDER).to_bytes(32, "little")


def openssl_accepts(public_key, signature, message):
    try:
        Ed25519PublicKey.from_public_bytes(public_key).verify(signature, message)
    except InvalidSignature:
        return False
    return True


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    engine = seal(path, 5)
    with open(str(path) + ".key", "rb") as handle:
        seed = handle.read()
    return path, bytes.fromhex(engine.public_key_hex()), seed


@pytest.mark.parametrize("make, openssl", [
    (lambda seed, key, message, signature: small_order_r(seed, key, message), True),
    (lambda seed, key, message, signature: s_plus_order(signature), False),
], ids=["R of small order", "non-canonical S"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_edge_signatures_are_refused(log, make, openssl, jobs):
    path, key, seed = log
    lines = read_lines(path)
    record = json.loads(lines[2])
    message, signature = bytes.fromhex(record["hash"]), bytes(record["signature"])
    edge = make(seed, key, message, signature)
    assert edge != signature
    # Pinned: what OpenSSL makes of the same signature.
    assert openssl_accepts(key, edge, message) is openssl
    lines[2] = edit(lines[2], signature=list(edge))
    write_lines(path, lines)
    report = verify_log(str(path), key.hex(), jobs=jobs, parallel_min_lines=0, chunk_bytes=2000)
    assert kinds(report) == [("bad_signature", 3)]
    assert report.records_failed == 1


def test_signatures_the_module_makes_verify(log):
    path, key, _ = log
    assert verify_log(str(path), key.hex()).passed
