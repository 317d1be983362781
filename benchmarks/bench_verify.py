"""How fast the log verifier runs, next to the Ed25519 verification rate.

Seals N decisions with the real module into a temporary log, then measures
in the same run, each figure the best of ``--repeat`` rounds taken in turn
(so that a busy moment of a shared machine hits every candidate alike):

- the single-core rate of every Ed25519 verify at hand over the log's own
  signatures: ``cryptography`` (OpenSSL), PyNaCl (libsodium, through
  ``crypto_sign_open`` and through ``VerifyKey.verify``) and, when it loads,
  ``pysodium`` (ctypes over the system's libsodium);
- the per-line cost of decoding: the strict standard-library decoder the
  verifier falls back to, the verifier's parse (orjson with the byte-for-byte
  re-encoding check), and the bare decode (and encode) of orjson and msgspec;
- ``verify_log`` in-process (jobs=1) and with one worker per core, and the
  same two with the previous configuration (the standard-library decoder
  and cryptography's verify) patched in;
- the fastest signature check alone in as many worker processes: what the
  machine's cores really give together (shared or hyper-threaded cores give
  less than cores x one core).

It reports lines/s and the ratio of the parallel verifier to cores x the
single-core rate of the fastest library (target: at least 0.8).

    pip install .            # vorm_zel and vorm_zel_audit
    python benchmarks/bench_verify.py [--lines 20000] [--jobs N] [--repeat 3]
"""
import argparse
import contextlib
import json
import multiprocessing
import os
import shutil
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import nacl.bindings
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
from nacl.exceptions import BadSignatureError
from nacl.signing import VerifyKey

import vorm_zel
from vorm_zel_audit import linecheck, record, verify_log
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
            member = json.loads(line)
            pairs.append((bytes(member["signature"]), bytes.fromhex(member["hash"])))
    return pairs


# -- Ed25519 verifiers: each checks every pair, raising on a bad one ----------
def _cryptography(key_bytes):
    key = Ed25519PublicKey.from_public_bytes(key_bytes)

    def check(pairs):
        for signature, message in pairs:
            key.verify(signature, message)
    return check


def _nacl_open(key_bytes):
    sign_open = nacl.bindings.crypto_sign_open

    def check(pairs):
        for signature, message in pairs:
            sign_open(signature + message, key_bytes)
    return check


def _nacl_verify_key(key_bytes):
    key = VerifyKey(key_bytes)

    def check(pairs):
        for signature, message in pairs:
            key.verify(message, signature)
    return check


def _pysodium(key_bytes):
    import pysodium  # ctypes over the system's libsodium; not a dependency

    def check(pairs):
        for signature, message in pairs:
            pysodium.crypto_sign_verify_detached(signature, message, key_bytes)
    return check


SIGNATURE_LIBRARIES = {
    "cryptography (OpenSSL)": _cryptography,
    "PyNaCl crypto_sign_open (libsodium)": _nacl_open,
    "PyNaCl VerifyKey.verify (libsodium)": _nacl_verify_key,
    "pysodium (system libsodium, ctypes)": _pysodium,
}
FASTEST_IN_USE = "PyNaCl crypto_sign_open (libsodium)"  # what the verifier calls


def available_verifiers(key_bytes, pairs):
    found = {}
    for name, make in SIGNATURE_LIBRARIES.items():
        try:
            check = make(key_bytes)
            check(pairs[:2])
        except Exception as error:  # a library that is not installed, or fails here
            print("(%s not measured: %s)" % (name, error))
            continue
        found[name] = check
    return found


# -- decoders: each turns every line into something -------------------------
def decoders():
    found = {
        "stdlib json, strict (members in order, repeats seen)": lambda lines: [
            record._parse_strictly(line) for line in lines],
        "parse_record (orjson, re-encoded and compared)": lambda lines: [
            record.parse_record(line) for line in lines],
    }
    try:
        import orjson
        found["orjson decode only"] = lambda lines: [orjson.loads(line) for line in lines]
        found["orjson decode + encode only"] = lambda lines: [orjson.dumps(orjson.loads(line)) for line in lines]
    except ImportError:
        pass
    try:
        import msgspec
        decoder, encoder = msgspec.json.Decoder(), msgspec.json.Encoder()
        found["msgspec decode only"] = lambda lines: [decoder.decode(line) for line in lines]
        found["msgspec decode + encode only"] = lambda lines: [
            encoder.encode(decoder.decode(line)) for line in lines]
    except ImportError:
        pass
    return found


def best_rates(candidates, argument, count, repeat):
    """Items per second, the best of ``repeat`` rounds taken in turn."""
    best = dict.fromkeys(candidates, 0.0)
    for _ in range(repeat):
        for name, run in candidates.items():
            started = time.perf_counter()
            run(argument)
            best[name] = max(best[name], count / (time.perf_counter() - started))
    return best


def _signatures_in_worker(key_bytes, pairs, rounds):
    check = _nacl_open(key_bytes)
    for _ in range(rounds):
        check(pairs)
    return len(pairs) * rounds


def parallel_signature_rate(key_bytes, pairs, jobs, rounds, repeat):
    """Signatures per second when ``jobs`` processes do nothing else."""
    best = 0.0
    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods()
                                          else "spawn")
    with ProcessPoolExecutor(jobs, mp_context=context) as pool:
        list(pool.map(_signatures_in_worker, [key_bytes] * jobs, [pairs[:10]] * jobs, [1] * jobs))
        for _ in range(repeat):
            started = time.perf_counter()
            done = sum(pool.map(_signatures_in_worker, [key_bytes] * jobs, [pairs] * jobs, [rounds] * jobs))
            best = max(best, done / (time.perf_counter() - started))
    return best


@contextlib.contextmanager
def previous_configuration():
    """The verifier as it was: every line through the standard library's
    decoder, every signature through cryptography. Worker processes are
    forked from this one, so they inherit the patch."""
    keys = {}

    def sign_open(signed, key_bytes):
        key = keys.get(key_bytes) or keys.setdefault(key_bytes, Ed25519PublicKey.from_public_bytes(key_bytes))
        try:
            key.verify(signed[:64], signed[64:])
        except InvalidSignature:
            raise BadSignatureError("bad signature") from None
        return signed[64:]

    saved = record._orjson, linecheck.crypto_sign_open
    record._orjson, linecheck.crypto_sign_open = None, sign_open
    try:
        yield
    finally:
        record._orjson, linecheck.crypto_sign_open = saved


def verifier_rates(path, public_key_hex, jobs, repeat):
    """lines/s of verify_log for (jobs=1, jobs) x (previous, current), in turn."""
    best = {}
    workers = 1
    for _ in range(repeat):
        for label, patch in (("previous", previous_configuration), ("current", contextlib.nullcontext)):
            for count in (1, jobs):
                with patch():
                    report = verify_log(path, public_key_hex, jobs=count)
                assert report.passed, report.format_text()
                key = (label, count)
                best[key] = max(best.get(key, 0.0), report.lines / report.elapsed)
                if count == jobs:
                    workers = report.jobs
    return best, workers


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
        key_bytes = bytes.fromhex(public_key_hex)
        pairs = signature_pairs(path, min(args.lines, 3000))
        with open(path, "rb") as handle:
            lines = [line.rstrip(b"\n") for _, line in zip(range(3000), handle)]
        signatures = best_rates(available_verifiers(key_bytes, pairs), pairs, len(pairs), args.repeat)
        parsing = best_rates(decoders(), lines, len(lines), args.repeat)
        verifier, jobs = verifier_rates(path, public_key_hex, args.jobs, args.repeat)
        rounds = max(1, int(args.lines / jobs / len(pairs)))
        ceiling = parallel_signature_rate(key_bytes, pairs, jobs, rounds, args.repeat)
        size = os.path.getsize(path)
    finally:
        shutil.rmtree(directory)

    fastest_name = max(signatures, key=signatures.get)
    fastest = signatures[fastest_name]
    print("log: %d lines, %.0f bytes per line; %d cores used" % (args.lines, size / args.lines, jobs))
    print("\nEd25519 verify, one core:")
    for name, rate in signatures.items():
        print("  %-40s %9.0f signatures/s  %6.1f us  (%.2fx cryptography)"
              % (name, rate, 1e6 / rate, rate / signatures["cryptography (OpenSSL)"]))
    print("\ndecoding one line, one core:")
    for name, rate in parsing.items():
        print("  %-55s %6.1f us" % (name, 1e6 / rate))
    print("\nverify_log:")
    for (label, count), rate in sorted(verifier.items()):
        print("  %-8s jobs=%d: %9.0f lines/s  (%.2fx one core's rate of the fastest library)"
              % (label, count, rate, rate / fastest))
    current = verifier[("current", jobs)]
    print("\nfastest library: %s, %.0f signatures/s" % (fastest_name, fastest))
    print("verifier in use: %s" % FASTEST_IN_USE)
    print("speed-up over the previous configuration: %.2fx (jobs=1), %.2fx (jobs=%d)" % (
        verifier[("current", 1)] / verifier[("previous", 1)], current / verifier[("previous", jobs)], jobs))
    print("ratio to %d cores x the fastest single-core rate: %.2f  (target >= 0.8)" % (jobs, current / (jobs * fastest)))
    print("signature checks alone, %d processes: %9.0f signatures/s  (%.2fx one core: what %d cores give)"
          % (jobs, ceiling, ceiling / fastest, jobs))
    print("ratio to that:                                  %.2f" % (current / ceiling))


if __name__ == "__main__":
    main()
