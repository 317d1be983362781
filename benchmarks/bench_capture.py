"""Cost of one capture, side by side with the primitives it is made of.

The work of a capture is fixed: two host json.dumps, the scoring (64 sinf,
32,000 single-precision multiply-adds once the history is full), two BLAKE3
hashes, one Ed25519 signature and, for a file-backed engine, one append. This
script times a capture and, in the same run, the same primitives done from
Python with independent packages (json, blake3, cryptography, plain file
appends). The figures to read are the ratios: absolute times move with the
machine's load, ratios measured side by side much less.

    python benchmarks/bench_capture.py [--captures N] [--repeat R]
"""
import argparse
import json
import os
import statistics
import tempfile
import time

import blake3
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

try:  # libsodium through PyNaCl: the same signature code the module links
    import nacl.signing
except ImportError:  # pragma: no cover - optional
    nacl = None

import vorm_zel

CTX = {"ticket": 4711, "customer": "Ada", "channel": "email", "priority": 3, "tags": ["billing", "urgent"]}
TRACE = [{"step": "classify", "topic": "billing", "confidence": 0.93},
         {"step": "policy", "rule": "billing-standard", "applies": True}]
PROMPT = "Ticket 4711 from Ada about billing: charged twice for order #1234, please refund"
OUTPUT = "Decision: refund the duplicate charge and notify finance."


def per_call(fn, n, repeat):
    """Best of `repeat` runs of n calls, in microseconds per call."""
    best = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        best.append((time.perf_counter() - start) / n * 1e6)
    return min(best), statistics.median(best)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--captures", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, repeat = args.captures, args.repeat

    triplet = vorm_zel.PPPTriplet("triage-agent/v3", "eu-west-1/worker-2", "resolve customer ticket")
    review = vorm_zel.HumanDeltaChain("ticket-4711", True, "supervisor-ana")
    workdir = tempfile.mkdtemp(prefix="vorm-zel-bench-")
    wal = os.path.join(workdir, "bench.wal")

    memory_engine = vorm_zel.ZELEngine(":memory:")
    file_engine = vorm_zel.ZELEngine(wal)
    for engine in (memory_engine, file_engine):  # fill the 500-entry history first
        for _ in range(600):
            engine.capture(CTX, PROMPT, TRACE, OUTPUT, triplet, review)
    line = open(wal, "rb").read().splitlines(True)[-1]
    seal_text = (b"triage-agent/v3eu-west-1/worker-2resolve customer ticket" + PROMPT.encode()
                 + b"0.99999999999999990.9975)")
    key = Ed25519PrivateKey.generate()
    digest = blake3.blake3(seal_text).digest()
    chain_text = b'Hash("' + b"a" * 64 + b'")Hash("' + b"b" * 64 + b'")'
    append_path = os.path.join(workdir, "append.log")

    def append_line():
        with open(append_path, "ab", buffering=0) as handle:
            handle.write(line)

    rows = [
        ("capture, :memory:", lambda: memory_engine.capture(CTX, PROMPT, TRACE, OUTPUT, triplet, review)),
        ("capture, file-backed", lambda: file_engine.capture(CTX, PROMPT, TRACE, OUTPUT, triplet, review)),
        ("json.dumps(ctx) + json.dumps(trace)", lambda: (json.dumps(CTX), json.dumps(TRACE))),
        ("blake3 seal text + chain text", lambda: (blake3.blake3(seal_text).digest(), blake3.blake3(chain_text).digest())),
        ("Ed25519 sign 32 bytes (cryptography)", lambda: key.sign(digest)),
        ("open-append-close one log line", append_line),
    ]
    if nacl is not None:
        sodium_key = nacl.signing.SigningKey.generate()
        rows.append(("Ed25519 sign 32 bytes (libsodium/PyNaCl)", lambda: sodium_key.sign(digest)))
    results = {name: per_call(fn, n, repeat) for name, fn in rows}

    print("%-40s %12s %12s" % ("operation", "best us", "median us"))
    for name, (best, median) in results.items():
        print("%-40s %12.2f %12.2f" % (name, best, median))
    sign_row = rows[6][0] if nacl is not None else rows[4][0]
    primitives = results[rows[2][0]][0] + results[rows[3][0]][0] + results[sign_row][0]
    print()
    print("primitives: json.dumps x2 + blake3 x2 + %s" % sign_row.split("(")[1].rstrip(")"))
    print("host + crypto primitives:                           %8.2f us" % primitives)
    print("capture :memory: / primitives                       %8.2f x" % (results[rows[0][0]][0] / primitives))
    with_append = primitives + results[rows[5][0]][0]
    print("capture file-backed / (primitives + append)         %8.2f x" % (results[rows[1][0]][0] / with_append))
    print("log line: %d bytes; captures per second (:memory:): %.0f" % (len(line), 1e6 / results[rows[0][0]][0]))


if __name__ == "__main__":
    main()
