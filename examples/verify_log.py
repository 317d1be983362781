"""Verify a vorm_zel write-ahead log with tools that share no code with it.

For every line it rebuilds the seal text from the line's own members, checks
the BLAKE3 hash, the Ed25519 signature (against the public key of the log's
key file, or one given with --public-key) and the chained merkle root. A new
engine opened on an existing log starts its chain again from the genesis
root; such restarts are reported, not treated as breaks.

    pip install blake3 cryptography
    python examples/verify_log.py audit.wal [--public-key HEX]

Exit status 0 when every line verifies, 1 otherwise.
"""
import argparse
import json
import sys

import blake3
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

GENESIS = blake3.blake3(b"genesis").hexdigest()
MEMBERS = ["id", "timestamp", "monotonic_nanos", "hash", "signature", "merkle_root",
           "coherence_score", "reputation_scalar", "ppp_json", "ctx_json", "prompt",
           "reasoning_trace_json", "output", "human_delta_chain_json", "core_insight_json"]


def seal_number(x):
    """The number form of the seal text: positional for 0 and 1e-4 <= |x| < 1e16."""
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "inf" if x > 0 else "-inf"
    if x == 0 or 1e-4 <= abs(x) < 1e16:
        text = repr(x)
        if "e" in text or "E" in text:  # repr switches to exponents outside 1e-4..1e16
            text = format(x, "f")
        return text if "." in text else text + ".0"
    mantissa, exponent = repr(x).split("e")
    if mantissa.endswith(".0"):
        mantissa = mantissa[:-2]
    return "%se%d" % (mantissa, int(exponent))


def chain(previous_hex, digest_hex):
    text = ('Hash("%s")Hash("%s")' % (previous_hex, digest_hex)).encode("ascii")
    return blake3.blake3(text).hexdigest()


def public_key_from(args):
    if args.public_key:
        return Ed25519PublicKey.from_public_bytes(bytes.fromhex(args.public_key))
    with open(args.log + ".key", "rb") as handle:
        seed = handle.read()
    return Ed25519PrivateKey.from_private_bytes(seed).public_key()


def main():
    parser = argparse.ArgumentParser(description="Verify a vorm_zel write-ahead log.")
    parser.add_argument("log")
    parser.add_argument("--public-key", help="64 hex digits (default: derived from LOG.key)")
    args = parser.parse_args()
    key = public_key_from(args)
    print("public key: %s" % key.public_bytes(serialization.Encoding.Raw,
                                               serialization.PublicFormat.Raw).hex())

    failures = restarts = lines = 0
    previous = None
    with open(args.log, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            lines += 1
            problems = []
            pairs = json.loads(line, object_pairs_hook=list)
            if [name for name, _ in pairs] != MEMBERS:
                problems.append("members are not the fifteen record fields in order")
            record = dict(pairs)
            ppp = json.loads(record["ppp_json"])
            seal_text = (ppp["provenance"] + ppp["place"] + ppp["purpose"] + record["prompt"]
                         + seal_number(record["coherence_score"])
                         + seal_number(record["reputation_scalar"])).encode("utf-8")
            if blake3.blake3(seal_text).hexdigest() != record["hash"]:
                problems.append("hash does not match the seal text")
            try:
                key.verify(bytes(record["signature"]), bytes.fromhex(record["hash"]))
            except (InvalidSignature, ValueError):
                problems.append("signature does not verify")
            if previous is not None and chain(previous, record["hash"]) == record["merkle_root"]:
                pass
            elif chain(GENESIS, record["hash"]) == record["merkle_root"]:
                if previous is not None:
                    restarts += 1
                    print("line %d: a new engine starts its chain from genesis" % number)
            else:
                problems.append("merkle_root does not chain from the previous line")
            previous = record["merkle_root"]
            for problem in problems:
                print("line %d: %s" % (number, problem))
            failures += bool(problems)

    print("%d lines, %d verified, %d failed, %d chain restarts" % (lines, lines - failures, failures, restarts))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
