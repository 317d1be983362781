"""verify_log: check a whole log against a public key (and a checkpoint).

Signature checks dominate the cost, so the complete lines are cut into
ranges that end on line feeds and checked in worker processes
(``linecheck.check_range``: parsing, seal hash, signature, local chain
links); the parent walks the chains in file order as the results come back
(``chain.ChainWalker``). Small logs, or ``jobs=1``, are checked in-process.
"""
from __future__ import annotations

import collections
import multiprocessing
import os
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor

from . import checkpoint as checkpoint_file
from . import failures
from .chain import ChainWalker
from .keys import normalise_public_key_hex
from .linecheck import MALFORMED, check_range
from .logfile import complete_length, line_boundaries, read_range
from .notarized import check_beside_log
from .report import VerifyReport

PARALLEL_MIN_LINES = 2000
MIN_CHUNK_BYTES = 1 << 16
MAX_CHUNK_BYTES = 1 << 20
IN_PROCESS_CHUNK_BYTES = 1 << 22
DEFAULT_MAX_FAILURES = 1000


def default_jobs():
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _pool_context():
    """The start method for the workers.

    On Linux, when the caller runs a single thread, ``fork``: the fastest
    start, and nothing the caller holds can be left locked in the child.
    Otherwise a fork server (POSIX) or fresh interpreters (``spawn``). Every
    worker function lives in an importable module, so all three work (with
    the usual multiprocessing rule for the latter two: a main script must
    guard its work with ``if __name__ == "__main__"``).
    """
    methods = multiprocessing.get_all_start_methods()
    if sys.platform.startswith("linux") and "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    if "forkserver" in methods:
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["vorm_zel_audit.linecheck"])
        return context
    return multiprocessing.get_context("spawn")


def _estimate_lines(path, start, end):
    sample = read_range(path, start, min(end, start + (1 << 16)))
    newlines = sample.count(b"\n")
    if not newlines:
        return 1
    return int((end - start) * newlines / len(sample))


def verify_log(path, public_key_hex=None, checkpoint=None, jobs=None, max_failures=DEFAULT_MAX_FAILURES,
               strict=False, progress=None, digest=False, parallel_min_lines=PARALLEL_MIN_LINES,
               chunk_bytes=None, mp_context=None, checkpoints=None, require_notarized=False):
    """Verify the log at ``path``; returns a VerifyReport.

    - ``public_key_hex``: the engine's public key (64 hex digits). May be None
      only with a checkpoint, whose pinned key is then used.
    - ``checkpoint``: a Checkpoint, its dict or the path of its file. When the
      log still starts with the bytes it covered, only the lines after them
      are checked; otherwise the whole log is, and ``truncated`` or
      ``rewritten`` is reported.
    - ``jobs``: worker processes (default: the usable CPUs); logs under
      ``parallel_min_lines`` lines are checked in-process.
    - ``max_failures``: failures kept in detail (None: all); all are counted.
    - ``strict``: a torn tail fails verification.
    - ``progress``: called as ``progress(bytes_done, bytes_total, lines_done)``.
    - ``digest``: also compute the BLAKE3 digests a new checkpoint needs.
    - ``checkpoints``: the signed checkpoints (``Notary``) to check the log
      against: a path; None for ``LOG.checkpoints`` when it exists; False
      for none. ``require_notarized``: lines no checkpoint covers fail.

    Raises OSError when the log cannot be read, ValueError (InvalidKey,
    InvalidCheckpoint) for an unusable key or checkpoint.
    """
    started = time.perf_counter()
    checkpoint = checkpoint_file.coerce(checkpoint)
    if public_key_hex is None:
        if checkpoint is None:
            raise ValueError("a public key is needed (or a checkpoint that pins one)")
        public_key_hex = checkpoint.public_key
    public_key_hex = normalise_public_key_hex(public_key_hex)
    key_bytes = bytes.fromhex(public_key_hex)
    jobs = default_jobs() if jobs is None else max(1, int(jobs))

    report = VerifyReport(os.fspath(path), public_key_hex, max_failures=max_failures, strict=strict)
    file_size = os.stat(path).st_size
    complete = complete_length(path, file_size)
    report.file_bytes = file_size
    report.bytes_verified = complete

    report.notarized = check_beside_log(path, checkpoints, key_bytes, complete, require_notarized)
    for failure in report.notarized.failures if report.notarized else ():
        report.add(failure)

    walker = ChainWalker(report.add)
    start = 0
    line_base = 0
    if checkpoint is not None:
        key_matches = checkpoint.public_key == public_key_hex
        if not key_matches:
            report.add(failures.Failure(
                failures.KEY_MISMATCH, None, 0,
                "the public key given (%s) is not the one the checkpoint pinned (%s): the key may have been "
                "replaced" % (public_key_hex, checkpoint.public_key)))
        prefix_matches, found = checkpoint_file.compare(checkpoint, path, file_size)
        for failure in found:
            report.add(failure)
        report.checkpoint = {"byte_length": checkpoint.byte_length, "lines": checkpoint.line_count,
                             "records": checkpoint.record_count, "created": checkpoint.created,
                             "public_key": checkpoint.public_key, "prefix_matches": prefix_matches}
        if prefix_matches and key_matches and complete >= checkpoint.byte_length:
            start = checkpoint.byte_length
            line_base = checkpoint.line_count
            report.records = checkpoint.record_count
            walker.resume(checkpoint.segment_objects())

    state = _Walk(report, walker, line_base)
    total = complete - start
    if progress is not None:
        progress(0, total, 0)
    if total > 0:
        if jobs == 1 or _estimate_lines(path, start, complete) < parallel_min_lines:
            report.jobs = 1
            for low, high in line_boundaries(path, start, complete, IN_PROCESS_CHUNK_BYTES):
                state.take(check_range(path, low, high, key_bytes))
                if progress is not None:
                    progress(high - start, total, state.lines_checked)
        else:
            report.jobs = jobs
            # Many small ranges keep every worker busy to the end.
            target = chunk_bytes or min(MAX_CHUNK_BYTES, max(MIN_CHUNK_BYTES, total // (jobs * 32)))
            ranges = line_boundaries(path, start, complete, target)
            _run_pool(path, ranges, key_bytes, jobs, mp_context or _pool_context(), state, progress,
                      start, total)

    report.lines = state.line_base
    report.lines_checked = state.lines_checked
    report.records_checked = state.records_checked
    report.records += state.records_checked
    report.empty_lines = state.empty_lines
    report.shared_lines = state.shared_lines
    if complete < file_size:
        report.torn_tail = {"offset": complete, "length": file_size - complete, "line": report.lines + 1}
        report.add(failures.Failure(
            failures.TORN_TAIL, report.lines + 1, complete,
            "%d bytes after the last line feed: a write that did not complete, or a writer still busy"
            % (file_size - complete)))
    report.segments = walker.final_segments()
    if digest:
        report.prefix_blake3, report.block_digests, _ = checkpoint_file.digest_prefix(path, complete)
        report.block_size = checkpoint_file.BLOCK_SIZE
    _explain(report)
    report.elapsed = time.perf_counter() - started
    return report


def _run_pool(path, ranges, key_bytes, jobs, context, state, progress, start, total):
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        pending = collections.deque()
        upcoming = iter(ranges)
        for low, high in upcoming:
            pending.append((high, pool.submit(check_range, path, low, high, key_bytes)))
            if len(pending) >= jobs * 3:
                break
        while pending:
            high, future = pending.popleft()
            result = future.result()
            for low, next_high in upcoming:
                pending.append((next_high, pool.submit(check_range, path, low, next_high, key_bytes)))
                break
            state.take(result)
            if progress is not None:
                progress(high - start, total, state.lines_checked)


class _Walk(object):
    """Feeds the results of consecutive runs of lines to the chain walker."""

    def __init__(self, report, walker, line_base):
        self.report = report
        self.walker = walker
        self.line_base = line_base
        self.lines_checked = 0
        self.records_checked = 0
        self.empty_lines = 0
        self.shared_lines = 0

    def take(self, result):
        report = self.report
        walker = self.walker
        base = self.line_base + 1
        for event in result.events:
            if event[0] == MALFORMED:
                _, index, offset, detail = event
                report.add(failures.Failure(failures.MALFORMED_LINE, base + index, offset, detail))
                continue
            _, index, offset, record_id, digest, root, link, problems, count, last_root, last_index = event
            authentic = True
            if problems:
                for kind, detail in problems:
                    report.add(failures.Failure(kind, base + index, offset, detail, record_id))
                    if kind == failures.BAD_SIGNATURE:
                        authentic = False
            walker.record(base + index, offset, record_id, digest, root, link, authentic)
            if count:
                walker.run(count, last_root, base + last_index)
        self.line_base += result.lines
        self.lines_checked += result.lines
        self.records_checked += result.records
        self.empty_lines += result.empty_lines
        self.shared_lines += result.shared_lines


def _explain(report):
    counts = report.failure_counts
    records = report.records_checked
    if records and counts.get(failures.BAD_SIGNATURE, 0) >= records and not counts.get(failures.HASH_MISMATCH):
        report.hints.append(
            "no record's signature verifies with the public key %s although every hash matches its seal "
            "text: the log was most likely sealed with another key; check which key you pinned"
            % report.public_key_hex)
    if report.shared_lines or report.empty_lines:
        report.notes.append(
            "%d lines hold more than one record and %d lines are empty: concurrent writers interleaved "
            "their writes; every record was checked" % (report.shared_lines,
                                                                                report.empty_lines))
    if sum(1 for segment in report.segments if segment.start == "genesis") > 1:
        report.notes.append(
            "%d chains start from genesis: one per engine that wrote to this log; a chain cannot show "
            "records cut off after its last one, a checkpoint can" % report.chain_starts)
