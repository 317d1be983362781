"""C2SP signed notes with Ed25519: signing, opening, key IDs, verifier keys.

A note is a text (UTF-8, ending in a line feed, no other control
characters), a blank line, and one line per signature::

    — <key name> <base64(4-byte key ID || 64-byte Ed25519 signature)>

The signature is over the text, its final line feed included. The key ID is
the first 4 bytes of SHA-256(key name || 0x0A || 0x01 || 32-byte public
key), where 0x01 names the Ed25519 algorithm. A verifier key is written
``<name>+<8 hex digits of the key ID>+<base64(0x01 || public key)>``.

This is the format of Go's ``golang.org/x/mod/sumdb/note``, of the Go
checksum database and of today's transparency-log witnesses.
"""
from __future__ import annotations

import base64
import binascii
import hashlib
import re
from dataclasses import dataclass, field
from typing import Any, List, Tuple

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

ALGORITHM_ED25519 = 0x01
SIGNATURE_PREFIX = "\u2014 "
MAX_SIGNATURES = 100
# Valid UTF-8 is decoded before this runs: a control character other than a
# line feed, or any Unicode space or plus in a key name, makes a note malformed.
_CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f]")
_BAD_NAME = re.compile(r"[\s+]")


class MalformedNote(ValueError):
    """Text that is not a signed note; ``str()`` says why."""


def is_valid_key_name(name: str) -> bool:
    return bool(name) and not _BAD_NAME.search(name)


def key_id(name: str, public_key: bytes) -> bytes:
    return hashlib.sha256(name.encode("utf-8") + b"\n" + bytes([ALGORITHM_ED25519]) + public_key).digest()[:4]


@dataclass(frozen=True)
class VerifierKey:
    """A key name and the Ed25519 public key (32 bytes) it stands for."""

    name: str
    public_key: bytes

    def __post_init__(self) -> None:
        if not is_valid_key_name(self.name):
            raise ValueError("a key name is not empty and holds no space or plus: %r" % self.name)
        if len(self.public_key) != 32:
            raise ValueError("an Ed25519 public key is 32 bytes")

    @property
    def key_id(self) -> bytes:
        return key_id(self.name, self.public_key)

    def to_string(self) -> str:
        return "%s+%s+%s" % (self.name, self.key_id.hex(),
                             base64.b64encode(bytes([ALGORITHM_ED25519]) + self.public_key).decode("ascii"))

    @classmethod
    def parse(cls, text: str) -> "VerifierKey":
        """Parse ``<name>+<hex key ID>+<base64 key>``; ValueError if it is
        not one or its key ID does not match its name and key."""
        name, _, rest = text.strip().partition("+")
        hex_id, _, encoded = rest.partition("+")
        try:
            raw = base64.b64decode(encoded, validate=True)
            given_id = bytes.fromhex(hex_id) if len(hex_id) == 8 else b""
        except (binascii.Error, ValueError):
            raise ValueError("not a verifier key (name+hex key ID+base64 key): %r" % text[:120])
        if len(given_id) != 4 or len(raw) != 33 or raw[0] != ALGORITHM_ED25519:
            raise ValueError("not an Ed25519 verifier key (name+hex key ID+base64 key): %r" % text[:120])
        key = cls(name, raw[1:])
        if key.key_id != given_id:
            raise ValueError("the verifier key's ID does not match its name and public key")
        return key

    def verify(self, message: bytes, signature: bytes) -> bool:
        try:
            Ed25519PublicKey.from_public_bytes(self.public_key).verify(signature, message)
            return True
        except InvalidSignature:
            return False


@dataclass(frozen=True)
class NoteSignature:
    name: str
    key_id: bytes
    signature: bytes


@dataclass
class Note:
    """A parsed signed note: its text and its signature lines, unchecked."""

    text: str
    signatures: List[NoteSignature] = field(default_factory=list)

    def signed_by(self, key: VerifierKey) -> Tuple[bool, str]:
        """Whether a signature line of ``key`` (its name and key ID) is
        present and verifies: ``(True, "")``, or ``(False, why not)``."""
        wanted = key.key_id
        lines = [s for s in self.signatures if s.name == key.name and s.key_id == wanted]
        if not lines:
            found = ", ".join("%s (key ID %s)" % (s.name, s.key_id.hex()) for s in self.signatures)
            return False, "no signature by %s (key ID %s); signed by: %s" % (key.name, wanted.hex(), found or "none")
        message = self.text.encode("utf-8")
        for line in lines:
            if not key.verify(message, line.signature):
                return False, "the signature of %s does not verify over the note's text" % key.name
        return True, ""


def sign_note(text: str, name: str, private_key: Ed25519PrivateKey) -> str:
    """The signed note of ``text`` with one signature."""
    _check_text(text)
    if not is_valid_key_name(name):
        raise ValueError("a key name is not empty and holds no space or plus: %r" % name)
    from cryptography.hazmat.primitives import serialization

    public = private_key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    signature = private_key.sign(text.encode("utf-8"))
    line = base64.b64encode(key_id(name, public) + signature).decode("ascii")
    return "%s\n%s%s %s\n" % (text, SIGNATURE_PREFIX, name, line)


def _check_text(text: str) -> None:
    if not text.endswith("\n"):
        raise MalformedNote("a note's text ends with a line feed")
    if _CONTROL.search(text):
        raise MalformedNote("a note's text holds a control character other than a line feed")


def parse_note(data: bytes) -> Note:
    """Split a signed note into its text and signature lines (nothing is
    verified); MalformedNote when it is not one."""
    try:
        message = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise MalformedNote("not UTF-8 (byte %d)" % error.start)
    if _CONTROL.search(message):
        raise MalformedNote("holds a control character other than a line feed")
    split = message.rfind("\n\n")
    if split < 0:
        raise MalformedNote("no blank line before the signatures")
    text, block = message[:split + 1], message[split + 2:]
    if not block.endswith("\n"):
        raise MalformedNote("the signature lines do not end with a line feed")
    signatures: List[Any] = []
    for line in block[:-1].split("\n"):
        if len(signatures) >= MAX_SIGNATURES:
            raise MalformedNote("more than %d signatures" % MAX_SIGNATURES)
        if not line.startswith(SIGNATURE_PREFIX):
            raise MalformedNote("a signature line does not start with an em dash and a space")
        name, _, encoded = line[len(SIGNATURE_PREFIX):].partition(" ")
        try:
            raw = base64.b64decode(encoded, validate=True)
        except (binascii.Error, ValueError):
            raw = b""
        # Only the canonical base64 of the bytes: one signature, one spelling.
        if not is_valid_key_name(name) or len(raw) < 5 or base64.b64encode(raw).decode("ascii") != encoded:
            raise MalformedNote("a signature line is not a key name and a base64 signature")
        signatures.append(NoteSignature(name, raw[:4], raw[4:]))
    return Note(text, signatures)
