"""What notarising costs, measured side by side in one run.

1. Notarising: ``Notary.notarize()`` over a whole log (reading it, hashing
   every line into the tree, signing one checkpoint), and the tree alone over
   the lines in memory, next to the floor: one SHA-256 of each line
   (0x00 || line) plus one interior-node hash per line. Target: at most 1.2x
   the floor.
2. Following: 8 processes capture at full speed into one log, first alone,
   then with a notary thread checkpointing every 0.05 s; the capture rate
   with and without it, and how far behind the notary's last checkpoint was
   when the writers stopped (lines it had still to sign).
3. Verifying: ``verify_log`` of a notarised log without and with its
   checkpoints (best of ``--repeat``, alternated). Target: at most 1.1x.

    pip install .
    python benchmarks/bench_notary.py [--lines 20000] [--repeat 5]
"""
import argparse
import hashlib
import multiprocessing
import os
import shutil
import tempfile
import time

import vorm_zel
from vorm_zel_audit import verify_log
from vorm_zel_audit.merkle import RightEdge
from vorm_zel_audit.notary import Notary


def capture(engine, number, triplet, review):
    engine.capture({"ticket": number, "customer": "Ada", "channel": "email", "priority": number % 5},
                   "Ticket %d from Ada about billing: order #%d, urgent, see attachment" % (number, 1000 + number),
                   [{"step": "classify", "topic": "billing", "confidence": 0.93}],
                   "Decision: adjust the invoice and notify finance.", triplet, review)


def seal(path, lines):
    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("triage-agent/v3", "eu-west-1/worker-2", "resolve customer ticket")
    review = vorm_zel.HumanDeltaChain("ticket", True, "supervisor-ana")
    for number in range(lines):
        capture(engine, number, triplet, review)
    return engine.public_key_hex()


def floor_seconds(lines):
    sha256 = hashlib.sha256
    node = b"\x01" + bytes(64)
    started = time.perf_counter()
    for line in lines:
        sha256(b"\x00" + line).digest()
        sha256(node).digest()
    return time.perf_counter() - started


def bench_notarize(directory, lines, repeat):
    path = os.path.join(directory, "notarize.wal")
    seal(path, lines)
    with open(path, "rb") as handle:
        entries = handle.read().split(b"\n")[:-1]
    floors, notaries, trees = [], [], []
    for attempt in range(repeat):
        floors.append(floor_seconds(entries))
        started = time.perf_counter()
        RightEdge().extend(entries)
        trees.append(time.perf_counter() - started)
        sidecar = os.path.join(directory, "n%d.checkpoints" % attempt)
        notary = Notary(path, checkpoints_path=sidecar)
        started = time.perf_counter()
        notary.notarize()
        notaries.append(time.perf_counter() - started)
    floor, notarize = min(floors), min(notaries)
    size = os.path.getsize(path)
    print("notarize: %d lines (%.1f MB): floor %.3f s; the tree alone (lines in memory) %.3f s, ratio %.2f; "
          "the notary (reading the file, tree, signing) %.3f s, ratio %.2f (target <= 1.2); %.0f lines/s"
          % (lines, size / 1e6, floor, min(trees), min(trees) / floor, notarize, notarize / floor,
             lines / notarize))


def writer(path, index, count, barrier):
    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("proc-%d" % index, "host", "load")
    review = vorm_zel.HumanDeltaChain("d", True, "n")
    barrier.wait()
    for number in range(count):
        capture(engine, number, triplet, review)


def run_writers(path, per_process, processes=8):
    context = multiprocessing.get_context("fork")
    barrier = context.Barrier(processes + 1)
    workers = [context.Process(target=writer, args=(path, index, per_process, barrier))
               for index in range(processes)]
    for worker in workers:
        worker.start()
    barrier.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - started


def bench_follow(directory, per_process):
    alone_path = os.path.join(directory, "alone.wal")
    vorm_zel.ZELEngine(alone_path)
    alone = run_writers(alone_path, per_process)
    path = os.path.join(directory, "followed.wal")
    vorm_zel.ZELEngine(path)
    notary = Notary(path, interval=0.05)
    notary.start()
    followed = run_writers(path, per_process)
    behind_lines = sum(1 for _ in open(path, "rb")) - (notary.last_checkpoint.size if notary.last_checkpoint else 0)
    started = time.perf_counter()
    final = notary.stop()
    catch_up = time.perf_counter() - started
    total = 8 * per_process
    print("follow: 8 processes x %d captures: %.0f lines/s alone, %.0f lines/s with the notary running (%.2fx); "
          "%d checkpoints; when the writers stopped the notary was %d lines behind, signed them %.3f s later "
          "(last checkpoint: %d lines)" % (per_process, total / alone, total / followed, alone / followed,
                                           notary.checkpoints_written, behind_lines, catch_up,
                                           final.size if final else notary.last_checkpoint.size))


def bench_verify(directory, lines, repeat):
    path = os.path.join(directory, "verify.wal")
    key = seal(path, lines)
    Notary(path).notarize()
    without, with_ = [], []
    for _ in range(repeat):
        started = time.perf_counter()
        plain = verify_log(path, key, checkpoints=False)
        without.append(time.perf_counter() - started)
        started = time.perf_counter()
        notarised = verify_log(path, key)
        with_.append(time.perf_counter() - started)
        assert plain.passed and notarised.passed and notarised.notarized.proven
    print("verify: %d lines, %d jobs: without checkpoints %.3f s, with %.3f s, ratio %.3f (target <= 1.1)"
          % (lines, plain.jobs, min(without), min(with_), min(with_) / min(without)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--per-process", type=int, default=5000, help="captures per writer in the follow test")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="bench-notary-")
    try:
        bench_notarize(directory, args.lines, args.repeat)
        bench_follow(directory, args.per_process)
        bench_verify(directory, args.lines, args.repeat)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
