"""Seal text, seal number form and chain step, rebuilt independently.

This is a second, independent rendering of what the native module computes
when it seals a decision: nothing here calls ``vorm_zel``. It uses the
``blake3`` package for hashing and plain Python for the text forms.

- seal text: provenance + place + purpose + prompt (UTF-8, unchanged), then
  the coherence and the reputation in the *seal number form*; nothing between;
- payload digest (the record's ``hash``): BLAKE3 of the seal text;
- chain text: ``Hash("<previous root hex>")Hash("<digest hex>")``, 144 ASCII
  bytes; the new root (the record's ``merkle_root``) is its BLAKE3 hash;
- genesis root: BLAKE3 of ``genesis``.
"""
from __future__ import annotations

import blake3

GENESIS_ROOT = blake3.blake3(b"genesis").digest()
GENESIS_ROOT_HEX = GENESIS_ROOT.hex()

CHAIN_TEXT_BYTES = 144


def _shortest_digits(x):
    """(digits, exponent) of a finite, non-zero ``abs(x)``: the shortest
    decimal digit string that reads back to the same double (no leading or
    trailing zeros) and the decimal exponent of its first digit.

    ``repr`` of a float has given the shortest round-trip digits since
    Python 3.1; only its layout varies, so it is taken apart here.
    """
    text = repr(abs(x))
    mantissa, _, exponent = text.partition("e")
    exponent = int(exponent) if exponent else 0
    whole, _, fraction = mantissa.partition(".")
    digits = whole + fraction
    # Position of the first digit relative to the decimal point of ``whole``.
    first = len(whole) - 1 + exponent
    stripped = digits.lstrip("0")
    first -= len(digits) - len(stripped)
    return stripped.rstrip("0"), first


def seal_number(x):
    """The seal number form of a double.

    Plain positional notation with at least one digit after the point for
    zero and for 0.0001 <= |x| < 1e16 (``1.0``, ``0.51``, ``0.0001``);
    scientific notation otherwise, with no ``+`` and no leading zeros in the
    exponent (``5e-5``, ``1.2345e-5``, ``1e16``). NaN and the infinities have
    no seal form (the engine never seals them): ValueError.
    """
    x = float(x)
    if 0.0001 <= abs(x) < 1e16:
        # repr() writes exactly this range positionally, with the shortest
        # round-trip digits and at least one digit after the point.
        return repr(x)
    if x != x or x in (float("inf"), float("-inf")):
        raise ValueError("the seal number form has no text for %r" % x)
    sign = "-" if (x < 0 or (x == 0 and str(x).startswith("-"))) else ""
    if x == 0:
        return sign + "0.0"
    digits, first = _shortest_digits(x)
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return sign + mantissa + "e" + str(first)


def seal_text(provenance, place, purpose, prompt, coherence, reputation):
    """The bytes whose BLAKE3 digest is a record's ``hash``."""
    return (provenance + place + purpose + prompt + seal_number(coherence)
            + seal_number(reputation)).encode("utf-8")


def payload_digest(provenance, place, purpose, prompt, coherence, reputation):
    """The 32-byte BLAKE3 digest of the seal text."""
    return blake3.blake3(
        seal_text(provenance, place, purpose, prompt, coherence, reputation)).digest()


def chain_text(previous_root_hex, digest_hex):
    """The 144 ASCII bytes of the chain step: ``Hash("<prev>")Hash("<digest>")``.

    Both arguments are 64 lower-case hex digits (str).
    """
    text = ('Hash("' + previous_root_hex + '")Hash("' + digest_hex + '")').encode("ascii")
    if len(text) != CHAIN_TEXT_BYTES:
        raise ValueError("chain text needs two 64-digit hex digests")
    return text


def next_root_hex(previous_root_hex, digest_hex):
    """The ``merkle_root`` (hex) that follows ``previous_root_hex`` when a
    record with payload digest ``digest_hex`` is sealed."""
    return blake3.blake3(chain_text(previous_root_hex, digest_hex)).hexdigest()
