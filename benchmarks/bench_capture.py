"""Cost of one capture next to the floor of the primitives it is made of.

The work of a capture is fixed: two host json.dumps, 64 sinf (with their
fmodf), 500 x 64 single-precision multiply-adds once the history is full, two
BLAKE3 hashes (the seal text and the 144-byte chain text), one Ed25519
signature of 32 bytes and, for a file-backed engine, one open-append-close.
This script measures, in one run, on the same machine and inputs:

- the floor: the median of each primitive as the module calls them (native,
  Google Benchmark: benchmarks/bench_primitives.cpp) plus the two json.dumps
  calls on this benchmark's ctx and reasoning_trace, summed;
- capture end to end from Python, median and p99, in memory and file-backed,
  at three input sizes (prompt + output of about 100 B, 2 KB and 64 KB);
- the ratio capture / floor for each: the figure to drive down;
- the memory of an engine and the RSS after 1,000,000 captures versus after
  10,000 (it must stay flat).

Absolute times move with the machine's load; the ratios, measured side by
side, much less. Run it through scripts/bench.sh, which builds the native
half first:

    bash scripts/bench.sh [--quick]
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import vorm_zel

CTX = {"ticket": 4711, "customer": "Ada", "channel": "email", "priority": 3,
       "tags": ["billing", "urgent"]}
TRACE = [{"step": "classify", "topic": "billing", "confidence": 0.93},
         {"step": "policy", "rule": "billing-standard", "applies": True}]
SIZES = (("100 B", 100), ("2 KB", 2048), ("64 KB", 65536))
PROVENANCE, PLACE, PURPOSE = "triage-agent/v3", "eu-west-1/worker-2", "resolve customer ticket"
SENTENCE = ('Ticket 4711 from Ada about billing: "charged twice" for order #1234, '
            "please refund.\tThe customer wrote again on Monday. ")


def texts(total):
    """A prompt and an output of `total` bytes together, 60:40, with the
    occasional quote and tab that the log line must escape."""
    body = (SENTENCE * (total // len(SENTENCE) + 1))[:total]
    cut = total * 6 // 10
    return body[:cut], body[cut:]


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, int(round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def time_calls(fn, n):
    """Per-call times in microseconds, sorted."""
    clock = time.perf_counter_ns
    times = []
    append = times.append
    for _ in range(n):
        start = clock()
        fn()
        append(clock() - start)
    times.sort()
    return [t / 1000.0 for t in times]


def native_medians(binary, seal_bytes, line_bytes, log_dir, quick):
    """Median wall time in microseconds of every native benchmark, by name."""
    command = [
        binary,
        "--seal-bytes=" + ",".join(map(str, seal_bytes)),
        "--line-bytes=" + ",".join(map(str, line_bytes)),
        "--log-dir=" + log_dir,
        "--benchmark_format=json",
        "--benchmark_repetitions=%d" % (3 if quick else 7),
        "--benchmark_report_aggregates_only=true",
    ]
    if quick:
        command.append("--benchmark_min_time=0.05")
    report = json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout)
    medians = {}
    for row in report["benchmarks"]:
        if row.get("aggregate_name") == "median":
            scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[row["time_unit"]]
            medians[row["run_name"]] = row["real_time"] * scale
    return medians


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def memory_report(captures):
    """Runs in a child process so that nothing else shares its heap."""
    triplet = vorm_zel.PPPTriplet(PROVENANCE, PLACE, PURPOSE)
    review = vorm_zel.HumanDeltaChain("ticket-4711", True, "supervisor-ana")
    prompt, output = texts(2048)
    before = rss_kib()
    engines = [vorm_zel.ZELEngine(":memory:") for _ in range(100)]
    for engine in engines:  # a full history in every engine
        for _ in range(500):
            engine.capture(CTX, prompt, TRACE, output, triplet, review)
    per_engine = (rss_kib() - before) / len(engines)
    del engines
    engine = vorm_zel.ZELEngine(":memory:")
    rss = {}
    for done in range(1, captures + 1):
        engine.capture(CTX, prompt, TRACE, output, triplet, review)
        if done in (10000, captures):
            rss[done] = rss_kib()
    return {"engine_kib": per_engine, "rss_kib": rss}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", required=True, help="path of vorm_zel_bench_primitives")
    parser.add_argument("--captures", type=int, default=20000, help="timed captures per row")
    parser.add_argument("--rss-captures", type=int, default=1000000)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, for a smoke run")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        print(json.dumps(memory_report(args.memory_child)))
        return
    workdir = tempfile.mkdtemp(prefix="vorm-zel-bench-")
    try:
        run(args, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def run(args, workdir):
    triplet = vorm_zel.PPPTriplet(PROVENANCE, PLACE, PURPOSE)
    review = vorm_zel.HumanDeltaChain("ticket-4711", True, "supervisor-ana")
    n = max(1000, args.captures // (10 if args.quick else 1))

    # Capture end to end, both engines interleaved in blocks so that they
    # share whatever the machine is doing.
    captures = {}
    seal_bytes, line_bytes = [], []
    for label, total in SIZES:
        prompt, output = texts(total)
        wal = os.path.join(workdir, "bench-%d.wal" % total)
        engines = {"memory": vorm_zel.ZELEngine(":memory:"), "file": vorm_zel.ZELEngine(wal)}
        calls = {}
        for kind, engine in engines.items():
            calls[kind] = (lambda e=engine: e.capture(CTX, prompt, TRACE, output, triplet, review))
            for _ in range(600):  # a full 500-entry history first
                record = calls[kind]()
        samples = {"memory": [], "file": []}
        blocks = 10
        for _ in range(blocks):
            for kind in ("memory", "file"):
                samples[kind] += time_calls(calls[kind], n // blocks)
            os.truncate(wal, 0)
        for kind in samples:
            samples[kind].sort()
            captures[(label, kind)] = (statistics.median(samples[kind]),
                                       percentile(samples[kind], 0.99))
        seal_text = (PROVENANCE + PLACE + PURPOSE + prompt).encode() + b"0" * 36
        seal_bytes.append(len(seal_text))
        line_bytes.append(line_length(calls["file"], wal))
        del record

    # The host half of the floor: json.dumps of this benchmark's inputs.
    dumps = statistics.median(time_calls(lambda: (json.dumps(CTX), json.dumps(TRACE)), n))
    native = native_medians(args.native, seal_bytes, line_bytes, workdir, args.quick)

    print("machine: %s, %s, %d cores; Python %s" % (
        platform.machine(), platform.processor() or platform.platform(), os.cpu_count(),
        platform.python_version()))
    print()
    print("floor primitives (median, us)")
    shared = [("json.dumps(ctx) + json.dumps(reasoning_trace)", dumps),
              ("64 x (fmodf + sinf)", native["floor/sinf_fmodf_x64"]),
              ("500 x 64 single multiply-adds", native["floor/multiply_add_500x64"]),
              ("BLAKE3 of the 144-byte chain text", native["floor/blake3_chain_text/144"]),
              ("Ed25519 sign of 32 bytes", native["floor/ed25519_sign_32"])]
    for name, value in shared:
        print("  %-52s %9.2f" % (name, value))
    for (label, _), seal, line in zip(SIZES, seal_bytes, line_bytes):
        print("  %-52s %9.2f" % ("BLAKE3 of the seal text (%s, %d B)" % (label, seal),
                                 native["floor/blake3_seal_text/%d" % seal]))
        print("  %-52s %9.2f" % ("open + append + close (%s, %d B line)" % (label, line),
                                 native["floor/open_append_close/%d" % line]))
    print("  %-52s %9.2f" % ("(501 x powf: once per process, not in the floor)",
                             native["once/powf_x501"]))
    print()
    print("%-8s %-7s %10s %10s %10s %8s %8s" % (
        "size", "engine", "floor us", "median us", "p99 us", "median/", "p99/"))
    print("%-8s %-7s %10s %10s %10s %8s %8s" % ("", "", "", "", "", "floor", "floor"))
    common = sum(value for _, value in shared)
    for (label, _), seal, line in zip(SIZES, seal_bytes, line_bytes):
        for kind in ("memory", "file"):
            floor = common + native["floor/blake3_seal_text/%d" % seal]
            if kind == "file":
                floor += native["floor/open_append_close/%d" % line]
            median, p99 = captures[(label, kind)]
            print("%-8s %-7s %10.2f %10.2f %10.2f %7.2fx %7.2fx" % (
                label, kind, floor, median, p99, median / floor, p99 / floor))
    print()
    print("the module's own pieces (median, us)")
    print("  %-52s %9.2f   (floor: %.2f)" % (
        "assess (full history)", native["module/assess"],
        native["floor/sinf_fmodf_x64"] + native["floor/multiply_add_500x64"]))
    for (label, _), seal, line in zip(SIZES, seal_bytes, line_bytes):
        print("  %-52s %9.2f   (floor: %.2f)" % (
            "seal_payload (%s)" % label, native["module/seal_payload/%d" % seal],
            native["floor/ed25519_sign_32"] + native["floor/blake3_seal_text/%d" % seal]))
        print("  %-52s %9.2f" % ("log line built (%s)" % label, native["module/log_line/%d" % line]))
        print("  %-52s %9.2f   (floor: %.2f)" % (
            "append_log_line (%s)" % label, native["module/append_log_line/%d" % line],
            native["floor/open_append_close/%d" % line]))

    rss_captures = max(20000, args.rss_captures // (50 if args.quick else 1))
    child = subprocess.run([sys.executable, __file__, "--native", args.native,
                            "--memory-child", str(rss_captures)],
                           check=True, stdout=subprocess.PIPE)
    memory = json.loads(child.stdout)
    after_10k = memory["rss_kib"]["10000"]
    after_all = memory["rss_kib"][str(rss_captures)]
    print()
    print("memory")
    print("  one engine with a full history (2 KB inputs)        %9.1f KiB" % memory["engine_kib"])
    print("  RSS after 10,000 captures                           %9d KiB" % after_10k)
    print("  RSS after %-9s captures                         %9d KiB  (%+d KiB)" % (
        "{:,}".format(rss_captures), after_all, after_all - after_10k))


def line_length(call, wal):
    """Length in bytes of the log line of one capture at this size."""
    os.truncate(wal, 0)
    call()
    with open(wal, "rb") as log:
        return len(log.read())


if __name__ == "__main__":
    main()
