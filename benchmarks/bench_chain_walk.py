"""What walking the chains costs when every root is broken, next to an honest
log of the same size, measured side by side in one run.

Seals N decisions with the real module, writes a copy of the log whose every
``merkle_root`` is random (each line a chain break, as an attacker who
rewrote the roots without care would leave it), and times in the same run:

- ``verify_log`` on both, in-process (jobs=1) and with the usable CPUs;
- the chain walk alone (``ChainWalker`` fed the same events), on both.

It prints the ratio broken / honest for each (the walk of a broken log must
stay a small constant factor of an honest one, whatever its size).

    pip install .
    python benchmarks/bench_chain_walk.py [--lines 20000] [--repeat 3]
"""
import argparse
import json
import os
import shutil
import tempfile
import time

import vorm_zel
from vorm_zel_audit import verify_log
from vorm_zel_audit.chain import ChainWalker
from vorm_zel_audit.linecheck import RecordEvent, check_bytes
from vorm_zel_audit.verify import default_jobs


def seal(path, lines):
    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("triage-agent/v3", "eu-west-1/worker-2", "resolve customer ticket")
    review = vorm_zel.HumanDeltaChain("ticket", True, "supervisor-ana")
    for number in range(lines):
        engine.capture({"ticket": number, "channel": "email"}, "Ticket %d from Ada about billing" % number,
                       [{"step": "classify", "topic": "billing"}], "Decision: adjust the invoice.", triplet, review)
    return engine.public_key_hex()


def break_every_root(source, target):
    with open(source, "rb") as reader, open(target, "wb") as writer:
        for line in reader:
            record = json.loads(line)
            record["merkle_root"] = os.urandom(32).hex()
            writer.write(json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode() + b"\n")


def walk_only(path):
    """The events of the whole log (computed first), then only the walk, timed."""
    with open(path, "rb") as handle:
        result = check_bytes(handle.read(), 0, None)
    started = time.perf_counter()
    walker = ChainWalker(lambda failure: None)
    for event in result.events:
        if type(event) is RecordEvent:
            walker.record(event.line + 1, event.offset, event.id, event.hash, event.root, event.link, True)
            if event.run_count:
                walker.run(event.run_count, event.run_last_root, event.run_last_line + 1)
    return time.perf_counter() - started


def best(repeat, function):
    return min(function() for _ in range(repeat))


def timed_verify(path, key, jobs):
    def run():
        started = time.perf_counter()
        verify_log(path, key, jobs=jobs, max_failures=10)
        return time.perf_counter() - started
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="bench-chain-walk-")
    try:
        honest = os.path.join(work, "honest.wal")
        broken = os.path.join(work, "broken.wal")
        key = seal(honest, args.lines)
        break_every_root(honest, broken)
        report = verify_log(broken, key, jobs=1, max_failures=0)
        assert report.failure_counts == {"chain_break": args.lines}, report.failure_counts
        print("%d lines; every root of the broken copy is random (%d chain breaks)" % (args.lines, args.lines))
        print("%-32s %12s %12s %8s" % ("", "honest s", "broken s", "ratio"))
        rows = [("chain walk alone", lambda path: (lambda: walk_only(path))),
                ("verify_log, jobs=1", lambda path: timed_verify(path, key, 1)),
                ("verify_log, jobs=%d" % default_jobs(), lambda path: timed_verify(path, key, default_jobs()))]
        for name, make in rows:
            honest_seconds = best(args.repeat, make(honest))
            broken_seconds = best(args.repeat, make(broken))
            print("%-32s %12.3f %12.3f %7.2fx" % (name, honest_seconds, broken_seconds,
                                                  broken_seconds / honest_seconds))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
