"""How fast the log verifier runs, next to the Ed25519 verification rate.

Seals N decisions with the real module into a temporary log, then measures
in the same run:

- the single-core rate of ``Ed25519PublicKey.verify`` (cryptography) over
  the log's own signatures, the floor cost of any verifier;
- ``verify_log`` in-process (jobs=1) and with one worker per core.

- the same signature checks alone in as many worker processes: what the
  machine's cores really give together (shared or hyper-threaded cores give
  less than cores x one core).

It reports lines/s and the ratio of the parallel verifier to cores x the
single-core signature rate (target: at least 0.8), and to that ceiling.

    pip install .            # vorm_zel and vorm_zel_audit
    python benchmarks/bench_verify.py [--lines 20000] [--jobs N] [--repeat 3]
"""
import argparse
import json
import multiprocessing
import os
import shutil
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import vorm_zel
from vorm_zel_audit import verify_log
from vorm_zel_audit.verify import default_jobs


def seal(path, lines):
    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("triage-agent/v3", "eu-west-1/worker-2", "resolve customer ticket")
    review = vorm_zel.HumanDeltaChain("ticket", True, "supervisor-ana")
    for number in range(lines):
        engine.capture({"ticket": number, "customer": "Ada", "channel": "email", "priority": number % 5},
                       "Ticket %d from Ada about billing: order #%d, urgent, see attachment" % (number, 1000 + number),
                       [{"step": "classify", "topic": "billing", "confidence": 0.93},
                        {"step": "policy", "rule": "billing-standard", "applies": True}],
                       "Decision: adjust the invoice and notify finance.", triplet, review)
    return engine.public_key_hex()


def signature_pairs(path, samples):
    pairs = []
    with open(path, "rb") as handle:
        for _, line in zip(range(samples), handle):
            record = json.loads(line)
            pairs.append((bytes(record["signature"]), bytes.fromhex(record["hash"])))
    return pairs


def verify_signatures(public_key_hex, pairs, rounds=1):
    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(public_key_hex))
    for _ in range(rounds):
        for signature, message in pairs:
            key.verify(signature, message)
    return len(pairs) * rounds


def signature_rate(public_key_hex, pairs, repeat):
    best = 0.0
    for _ in range(repeat):
        started = time.perf_counter()
        verify_signatures(public_key_hex, pairs)
        best = max(best, len(pairs) / (time.perf_counter() - started))
    return best


def parallel_signature_rate(public_key_hex, pairs, jobs, rounds, repeat):
    """Signatures per second when ``jobs`` processes do nothing else."""
    best = 0.0
    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods()
                                          else "spawn")
    with ProcessPoolExecutor(jobs, mp_context=context) as pool:
        list(pool.map(verify_signatures, [public_key_hex] * jobs, [pairs[:10]] * jobs))  # start them
        for _ in range(repeat):
            started = time.perf_counter()
            done = sum(pool.map(verify_signatures, [public_key_hex] * jobs, [pairs] * jobs, [rounds] * jobs))
            best = max(best, done / (time.perf_counter() - started))
    return best


def verifier_rate(path, public_key_hex, jobs, repeat):
    best = 0.0
    for _ in range(repeat):
        report = verify_log(path, public_key_hex, jobs=jobs)
        assert report.passed, report.format_text()
        best = max(best, report.lines / report.elapsed)
    return best, report.jobs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--jobs", type=int, default=default_jobs())
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="bench_verify_")
    try:
        path = os.path.join(directory, "audit.wal")
        public_key_hex = seal(path, args.lines)
        pairs = signature_pairs(path, min(args.lines, 3000))
        signature = signature_rate(public_key_hex, pairs, args.repeat)
        single, _ = verifier_rate(path, public_key_hex, 1, args.repeat)
        parallel, jobs = verifier_rate(path, public_key_hex, args.jobs, args.repeat)
        rounds = max(1, int(args.lines / args.jobs / len(pairs)))
        ceiling = parallel_signature_rate(public_key_hex, pairs, jobs, rounds, args.repeat)
        size = os.path.getsize(path)
    finally:
        shutil.rmtree(directory)

    print("log: %d lines, %.0f bytes per line" % (args.lines, size / args.lines))
    print("Ed25519 verify, one core (cryptography): %10.0f signatures/s" % signature)
    print("verify_log, jobs=1:                      %10.0f lines/s  (%.2fx one core's signature rate)"
          % (single, single / signature))
    print("verify_log, jobs=%d:                      %10.0f lines/s" % (jobs, parallel))
    print("ratio to %d cores x signature rate:        %10.2f  (target >= 0.8)"
          % (jobs, parallel / (jobs * signature)))
    print("Ed25519 verify alone, %d processes:        %10.0f signatures/s  (%.2fx one core: what %d cores give)"
          % (jobs, ceiling, ceiling / signature, jobs))
    print("ratio to that:                            %10.2f" % (parallel / ceiling))


if __name__ == "__main__":
    main()
