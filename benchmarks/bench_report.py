"""How long ``vorm-zel report`` takes for a large log, and how big the page is.

The log is made cheaply and stays valid: ``--runs`` engine runs seal
``--base`` records each with the real module, and every run's lines are
then repeated until the log has ``--lines`` lines. A repeated line keeps its
hash and signature (they cover no id, time or root); its ``merkle_root`` is
recomputed so that it extends the line before it (the chain step is
unkeyed) and its ``timestamp`` is moved on, so every line verifies and each
run stays one chain from genesis.

Measured in one run, side by side: the verification pass, the inspector's
summary pass alone, the same pass gathering the timelines, and the page. It
prints the seconds of each, the summary pass's cost with the timelines as a
ratio of it without them, and the page's size.

    pip install '.[report]'
    python benchmarks/bench_report.py [--lines 1000000] [--keep PATH]
"""
import argparse
import datetime
import json
import os
import shutil
import tempfile
import time

import vorm_zel
from vorm_zel_audit import verify_log
from vorm_zel_audit.html_report import write_html_report
from vorm_zel_audit.log_summary import summarize
from vorm_zel_audit.seal import GENESIS_ROOT_HEX, next_root_hex
from vorm_zel_audit.timeline import Timeline


def seal_runs(path, runs, base):
    for run in range(runs):
        engine = vorm_zel.ZELEngine(path)
        review = vorm_zel.HumanDeltaChain("ticket", run % 2 == 0, "supervisor-ana")
        for number in range(base):
            triplet = vorm_zel.PPPTriplet("agent-%d" % (number % 4), "eu-west-1/worker-%d" % (number % 3),
                                          "resolve ticket")
            engine.capture({"ticket": number, "run": run}, "Ticket %d about billing, run %d" % (number, run),
                           [{"step": "classify", "n": number}], "Decision %d" % number, triplet, review)
        del engine
    return vorm_zel.ZELEngine(path).public_key_hex()


def grow(path, target, out_path, spacing):
    """Repeat each run's lines (runs in turn) until ``target`` lines."""
    with open(path, "rb") as handle:
        records = [json.loads(line) for line in handle]
    runs, current = [], None
    for record in records:
        if next_root_hex(GENESIS_ROOT_HEX, record["hash"]) == record["merkle_root"]:
            current = []
            runs.append(current)
        current.append(record)
    roots = [run[-1]["merkle_root"] for run in runs]
    start = datetime.datetime.now(datetime.timezone.utc)
    written = 0
    with open(out_path, "w", encoding="utf-8") as out:
        for record in records:
            out.write(json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n")
            written += 1
        cycle = 0
        while written < target:
            cycle += 1
            for number, run in enumerate(runs):
                for record in run:
                    if written >= target:
                        break
                    copy = dict(record)
                    roots[number] = copy["merkle_root"] = next_root_hex(roots[number], copy["hash"])
                    copy["timestamp"] = (start + datetime.timedelta(seconds=written * spacing)).isoformat()
                    out.write(json.dumps(copy, separators=(",", ":"), ensure_ascii=False) + "\n")
                    written += 1
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--base", type=int, default=2000)
    parser.add_argument("--keep", help="write the log here (reused if it exists)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="bench-report-")
    try:
        log = args.keep or os.path.join(work, "big.wal")
        if not os.path.exists(log):
            seed = os.path.join(work, "seed.wal")
            seal_runs(seed, args.runs, args.base)
            started = time.perf_counter()
            grow(seed, args.lines, log, 0.05)
            shutil.copy(seed + ".key", log + ".key")
            print("made %d lines in %.1f s" % (args.lines, time.perf_counter() - started))
        key = _key_of(log)
        size = os.path.getsize(log)
        started = time.perf_counter()
        report = verify_log(log, key)
        verify_seconds = time.perf_counter() - started
        started = time.perf_counter()
        summarize(log)
        summary_seconds = time.perf_counter() - started
        started = time.perf_counter()
        summarize(log, observer=Timeline())
        observed_seconds = time.perf_counter() - started
        output = os.path.join(work, "report.html")
        written = write_html_report(report, output)
        print("log: %d lines, %d bytes; verified: %s (%d jobs)" % (report.lines, size, report.passed, report.jobs))
        print("verify pass: %.1f s" % verify_seconds)
        print("summary pass alone: %.1f s; with the timelines: %.1f s (ratio %.2f)" % (
            summary_seconds, observed_seconds, observed_seconds / summary_seconds))
        print("report after verification (summary pass with timelines + page): %.1f s" % written.seconds)
        print("total for vorm-zel report: %.1f s" % (verify_seconds + written.seconds))
        print("page: %d bytes (%.1f MB), binned: %s, points: %s" % (
            written.bytes_written, written.bytes_written / 1e6, written.binned, written.points))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _key_of(log):
    from vorm_zel_audit.keys import public_key_from_key_file
    return public_key_from_key_file(log + ".key")


if __name__ == "__main__":
    main()
