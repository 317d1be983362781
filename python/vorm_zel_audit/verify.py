"""verify_log: check a whole log against a public key (and a checkpoint).

Signature checks dominate the cost, so the complete lines are cut into spans
that end on line feeds and checked in worker processes
(``linecheck.check_span``: parsing, seal hash, signature, local chain links);
the parent walks the chains in file order as the results come back
(``chain.ChainWalker``). Small logs, or ``jobs=1``, are checked in-process.
Lines longer than the line cap are reported without being read, and the
bytes after the last line feed are read and judged (see ``failures``).
``LogVerification`` holds these steps for one log, so that other engines
(``fleet``: a Dask cluster) can check the spans while the walk stays here.
"""
from __future__ import annotations

import collections
import multiprocessing
import os
import sys
import threading
import time
from concurrent.futures import Future, ProcessPoolExecutor
from typing import Any, BinaryIO, Callable, Deque, Dict, List, Optional, Tuple, Union

from . import failures, proven
from .chain import ChainWalker
from .checkpoint import BLOCK_SIZE, CheckpointLike, coerce, compare, digest_prefix
from .keys import normalise_public_key_hex
from .linecheck import MalformedEvent, RecordEvent, SpanResult, check_bytes, check_span
from .log_source import LocalLog, LogSource, UrlLog, log_source
from .notarized import check_beside_log
from .logfile import DEFAULT_MAX_LINE_BYTES, Span, complete_length, plan_spans, read_span
from .record import RECORD_START, MalformedRecord, parse_record, split_line
from .regular_file import PathLike
from .report import VerifyReport

PARALLEL_MIN_LINES = 2000
MIN_CHUNK_BYTES = 1 << 16
MAX_CHUNK_BYTES = 1 << 20
IN_PROCESS_CHUNK_BYTES = 1 << 22
DEFAULT_MAX_FAILURES = 1000

Progress = Callable[[int, int, int], None]


def default_jobs() -> int:
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _pool_context() -> multiprocessing.context.BaseContext:
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


def _estimate_lines(handle: BinaryIO, start: int, end: int) -> int:
    handle.seek(start)
    sample = handle.read(min(end - start, 1 << 16))
    newlines = sample.count(b"\n")
    if not newlines:
        return 1
    return int((end - start) * newlines / len(sample))


def _check_jobs(jobs: Optional[int]) -> int:
    if jobs is None:
        return default_jobs()
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError("jobs must be a whole number of at least 1, not %r" % (jobs,))
    return jobs


def verify_log(path: PathLike, public_key_hex: Optional[str] = None, checkpoint: CheckpointLike = None,
               jobs: Optional[int] = None, max_failures: Optional[int] = DEFAULT_MAX_FAILURES,
               strict: bool = False, progress: Optional[Progress] = None, digest: bool = False,
               parallel_min_lines: int = PARALLEL_MIN_LINES, chunk_bytes: Optional[int] = None,
               mp_context: Optional[multiprocessing.context.BaseContext] = None,
               max_line_bytes: int = DEFAULT_MAX_LINE_BYTES, recheck: bool = False,
               key_source: Optional[str] = None, key_pinned: Optional[bool] = None,
               checkpoints: Union[PathLike, None, bool] = None, require_notarized: bool = False,
               storage_options: Optional[Dict[str, Any]] = None) -> VerifyReport:
    """Verify the log at ``path``; returns a VerifyReport.

    - ``path``: a local path, or any fsspec URL (``file://``, ``memory://``,
      ``s3://``, ...; needs ``pip install vorm_zel[dask]``, and
      ``storage_options`` are passed to fsspec). Signed checkpoints are
      checked only for local logs (see ``checkpoints``).
    - ``public_key_hex``: the engine's public key (64 hex digits). May be None
      only with a checkpoint, whose key is then used (and is pinned only if
      the checkpoint's was).
    - ``key_source``, ``key_pinned``: where the key came from, for the report
      (default: "given by the caller", pinned).
    - ``checkpoint``: a Checkpoint, its dict or the path of its file. When the
      log still starts with the bytes it covered, only the lines after them
      are checked (all of them with ``recheck``); otherwise the whole log is,
      and ``truncated`` or ``rewritten`` is reported.
    - ``jobs``: worker processes, at least 1 (default: the usable CPUs); no
      more are started than there are spans of lines or usable CPUs, and logs
      under ``parallel_min_lines`` lines are checked in-process.
    - ``max_failures``: failures kept in detail (None: all); all are counted.
    - ``strict``: a torn tail fails verification.
    - ``progress``: called as ``progress(bytes_done, bytes_total, lines_done)``.
    - ``digest``: also compute the BLAKE3 digests a new checkpoint needs.
    - ``max_line_bytes``: a longer line is a ``malformed_line``, never read.
    - ``checkpoints``: the signed checkpoints (``Notary``) to check the log
      against: a path; None for ``LOG.checkpoints`` when it exists; False
      for none. ``require_notarized``: lines no checkpoint covers fail. For a
      URL, None checks nothing and a note says when ``LOG.checkpoints``
      exists beside it; a path, or ``require_notarized``, is a ValueError.

    Raises OSError when the log cannot be opened (NotARegularFile when it is
    not a regular file), ValueError (InvalidKey, InvalidCheckpoint) for an
    unusable key, checkpoint or option. Nothing in the log's content raises:
    every problem is a failure in the report.
    """
    jobs = _check_jobs(jobs)
    verification = LogVerification(
        log_source(path, storage_options), public_key_hex, checkpoint, max_failures=max_failures, strict=strict,
        digest=digest, max_line_bytes=max_line_bytes, recheck=recheck, key_source=key_source,
        key_pinned=key_pinned, checkpoints=checkpoints, require_notarized=require_notarized)
    with verification:
        total = verification.total
        if progress is not None:
            progress(0, total, 0)
        if total > 0:
            few = verification.estimate_lines() < parallel_min_lines
            target = IN_PROCESS_CHUNK_BYTES if jobs == 1 or few else (
                chunk_bytes or min(MAX_CHUNK_BYTES, max(MIN_CHUNK_BYTES, total // (jobs * 32))))
            spans = verification.plan(target)
            workers = min(jobs, sum(1 for span in spans if not span.overlong), default_jobs())
            if jobs == 1 or few or workers < 2:
                _run_in_process(verification, spans, progress)
            else:
                verification.report.jobs = workers
                _run_pool(verification, spans, workers, mp_context or _pool_context(), progress)
        return verification.finish()


class LogVerification:
    """One log's verification in steps, whoever checks its spans: opened and
    compared with its checkpoints (``with``), cut into spans (``plan``), the
    spans' results taken in file order (``take``, ``unreadable``), then the
    tail judged and the report completed (``finish``). The chain walk runs
    here, once, over the results in order."""

    def __init__(self, source: LogSource, public_key_hex: Optional[str], checkpoint: CheckpointLike = None,
                 max_failures: Optional[int] = DEFAULT_MAX_FAILURES, strict: bool = False, digest: bool = False,
                 max_line_bytes: int = DEFAULT_MAX_LINE_BYTES, recheck: bool = False,
                 key_source: Optional[str] = None, key_pinned: Optional[bool] = None,
                 checkpoints: Union[PathLike, None, bool] = None, require_notarized: bool = False) -> None:
        self.started = time.perf_counter()
        if max_line_bytes < 1:
            raise ValueError("max_line_bytes must be at least 1")
        if isinstance(source, UrlLog) and (require_notarized or checkpoints not in (None, False)):
            raise ValueError("signed checkpoints are checked only for a log on a local path, not for %s"
                             % source.url)
        checkpoint = coerce(checkpoint)
        if public_key_hex is None:
            if checkpoint is None:
                raise ValueError("a public key is needed (or a checkpoint that pins one)")
            public_key_hex = checkpoint.public_key
            key_pinned = checkpoint.key_pinned
            key_source = "recorded in the checkpoint, %s" % (
                "which was made with a pinned key" if checkpoint.key_pinned else
                "which was made without a pinned key: self-consistency only")
        public_key_hex = normalise_public_key_hex(public_key_hex)
        self.source = source
        self.key_bytes = bytes.fromhex(public_key_hex)
        self.checkpoint = checkpoint
        self.recheck = recheck
        self.digest = digest
        self.checkpoints = checkpoints
        self.require_notarized = require_notarized
        self.report = VerifyReport(source.name, public_key_hex, max_failures=max_failures, strict=strict,
                                   key_source=key_source or "given by the caller",
                                   key_pinned=True if key_pinned is None else key_pinned,
                                   max_line_bytes=max_line_bytes)
        self.walker = ChainWalker(self.report.add)
        self.state = _Walk(self.report, self.walker, 0)
        self.handle: Optional[BinaryIO] = None
        self.start = self.complete = self.size = 0

    # -- opening ---------------------------------------------------------------
    def __enter__(self) -> "LogVerification":
        self.handle = self.source.open()
        try:
            self._open(self.handle)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        if self.handle is not None:
            self.handle.close()
            self.handle = None

    def _open(self, handle: BinaryIO) -> None:
        report = self.report
        self.size = size = self.source.size(handle)
        self.complete = complete = complete_length(handle, size)
        report.file_bytes = size
        report.bytes_verified = complete
        if isinstance(self.source, LocalLog):
            report.notarized = check_beside_log(self.source.path, self.checkpoints, self.key_bytes, complete,
                                                self.require_notarized)
            for failure in report.notarized.failures if report.notarized else ():
                report.add(failure)
        elif self.checkpoints is None and self.source.exists_beside(".checkpoints"):
            report.notes.append(
                "%s.checkpoints exists but was not checked: signed checkpoints are checked only for a log on a "
                "local path; copy both to a local disk to check them" % self.source.url)
        start = line_base = 0
        if self.checkpoint is not None:
            start, line_base = _use_checkpoint(report, self.checkpoint, handle, size, complete, self.walker,
                                               self.recheck)
        self.start = start
        self.state.line_base = line_base

    @property
    def total(self) -> int:
        """Bytes of complete lines still to check."""
        return self.complete - self.start

    def estimate_lines(self) -> int:
        assert self.handle is not None
        return _estimate_lines(self.handle, self.start, self.complete)

    def plan(self, target: int) -> List[Span]:
        """The spans of about ``target`` bytes to check, in file order."""
        assert self.handle is not None
        return plan_spans(self.handle, self.start, self.complete, target, self.report.max_line_bytes)

    # -- results -----------------------------------------------------------------
    def overlong(self, span: Span) -> SpanResult:
        return _overlong(span, self.report.max_line_bytes)

    def read(self, span: Span) -> bytes:
        assert self.handle is not None
        return read_span(self.handle, span)

    def take(self, result: SpanResult) -> None:
        self.state.take(result)

    def unreadable(self, span: Span, error: BaseException) -> None:
        self.state.unreadable(span, error)

    @property
    def stopped(self) -> bool:
        return self.state.stopped

    def finish(self) -> VerifyReport:
        """Judge the tail, compute the digests asked for and complete the report."""
        assert self.handle is not None
        report, state, walker = self.report, self.state, self.walker
        report.lines = state.line_base
        if self.complete < self.size and not state.stopped:
            _judge_tail(self.handle, self.complete, self.size, self.key_bytes, report.max_line_bytes, state)
        if self.digest:
            report.prefix_blake3, report.block_digests, _ = digest_prefix(self.handle, self.complete)
            report.block_size = BLOCK_SIZE
        report.lines_checked = state.lines_checked
        report.records_checked = state.records_checked
        report.records_failed = state.records_failed
        report.records += state.records_checked
        report.empty_lines = state.empty_lines
        report.shared_lines = state.shared_lines
        report.segments = walker.final_segments()
        _explain(report, walker)
        report.elapsed = time.perf_counter() - self.started
        return report


def _use_checkpoint(report: VerifyReport, checkpoint, handle: BinaryIO, size: int, complete: int,
                    walker: ChainWalker, recheck: bool) -> Tuple[int, int]:
    """Compare the log with the checkpoint; where to start checking, and the
    line number before that."""
    key_matches = checkpoint.public_key == report.public_key_hex
    if not key_matches:
        report.add(failures.Failure(
            failures.KEY_MISMATCH, None, 0,
            "the public key given (%s) is not the one the checkpoint recorded (%s): the key may have been "
            "replaced" % (report.public_key_hex, checkpoint.public_key)))
    prefix_matches, found = compare(checkpoint, handle, size)
    for failure in found:
        report.add(failure)
    report.checkpoint = {"byte_length": checkpoint.byte_length, "lines": checkpoint.line_count,
                         "records": checkpoint.record_count, "created": checkpoint.created,
                         "public_key": checkpoint.public_key, "key_pinned": checkpoint.key_pinned,
                         "prefix_matches": prefix_matches, "rechecked": recheck}
    if prefix_matches and key_matches and complete >= checkpoint.byte_length and not recheck:
        report.records = checkpoint.record_count
        report.lines_on_checkpoint_word = checkpoint.line_count
        walker.resume(checkpoint.segment_objects())
        return checkpoint.byte_length, checkpoint.line_count
    return 0, 0


def _overlong(span: Span, max_line_bytes: int) -> SpanResult:
    length = span.end - span.start - 1
    detail = ("the line is %d bytes long, more than the line cap of %d bytes: not read, not checked "
              "(raise --max-line-bytes to check it)" % (length, max_line_bytes))
    return SpanResult(1, 0, [MalformedEvent(0, span.start, detail)], 0, 0, span.end - span.start)


def _run_in_process(verification: LogVerification, spans: List[Span], progress: Optional[Progress]) -> None:
    for span in spans:
        if span.overlong:
            result = verification.overlong(span)
        else:
            try:
                result = check_bytes(verification.read(span), span.start, verification.key_bytes)
            except OSError as error:
                verification.unreadable(span, error)
                return
        verification.take(result)
        if progress is not None:
            progress(span.end - verification.start, verification.total, verification.state.lines_checked)


def _run_pool(verification: LogVerification, spans: List[Span], workers: int,
              context: multiprocessing.context.BaseContext, progress: Optional[Progress]) -> None:
    """Spans checked by worker processes, taken in order as they come back.
    A worker reads a local log's span itself; for a URL this process reads
    the span and the worker checks its bytes (so any fsspec file system
    works, an in-memory one too)."""
    key_bytes = verification.key_bytes
    source = verification.source
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        pending: Deque[Tuple[Span, Union[SpanResult, "Future[SpanResult]"]]] = collections.deque()
        upcoming = iter(spans)

        def submit_next() -> None:
            for span in upcoming:
                if span.overlong:
                    pending.append((span, verification.overlong(span)))
                    continue
                if isinstance(source, LocalLog):
                    pending.append((span, pool.submit(check_span, source.path, span, key_bytes)))
                else:
                    try:
                        data = verification.read(span)
                    except OSError as error:
                        pending.append((span, _failed(error)))
                        return
                    pending.append((span, pool.submit(check_bytes, data, span.start, key_bytes)))
                return

        for _ in range(workers * 3):
            submit_next()
        while pending:
            span, work = pending.popleft()
            try:
                result = work.result() if isinstance(work, Future) else work
            except Exception as error:  # a worker that could not read its span, or died
                verification.unreadable(span, error)
                for _, other in pending:
                    if isinstance(other, Future):
                        other.cancel()
                return
            if isinstance(work, Future):
                submit_next()
            verification.take(result)
            if progress is not None:
                progress(span.end - verification.start, verification.total, verification.state.lines_checked)


def _failed(error: BaseException) -> "Future[SpanResult]":
    future: "Future[SpanResult]" = Future()
    future.set_exception(error)
    return future


def _starts_like_a_record(piece: bytes) -> bool:
    return piece.startswith(RECORD_START) or RECORD_START.startswith(piece)


def _judge_tail(handle: BinaryIO, complete: int, size: int, key_bytes: bytes, max_line_bytes: int,
                state: "_Walk") -> None:
    """The bytes after the last line feed. A torn write leaves at most one
    unfinished record; anything else there is checked and judged."""
    report = state.report
    line = report.lines + 1
    length = size - complete
    if length > max_line_bytes:
        report.add(failures.Failure(
            failures.MALFORMED_LINE, line, complete,
            "%d bytes after the last line feed, more than the line cap of %d bytes: not read, not checked"
            % (length, max_line_bytes)))
        return
    try:
        tail = read_span(handle, Span(complete, size))
    except OSError as error:
        state.unreadable(Span(complete, size), error)
        return
    pieces = split_line(tail)
    if len(pieces) == 1 and _starts_like_a_record(tail):
        try:
            parse_record(tail)
        except MalformedRecord as error:
            if error.incomplete:
                report.torn_tail = {"offset": complete, "length": length, "line": line}
                report.add(failures.Failure(
                    failures.TORN_TAIL, line, complete,
                    "%d bytes after the last line feed begin a record that does not end: a write that did not "
                    "complete, or a writer still busy" % length))
                return
        except Exception:
            pass  # judged below, where the same check reports it
    if len(pieces) > 1:
        report.add(failures.Failure(
            failures.MALFORMED_LINE, line, complete,
            "the %d bytes after the last line feed hold %d record starts: a torn write leaves at most one "
            "unfinished record" % (length, len(pieces))))
    result = check_bytes(tail, complete, key_bytes)
    state.take(result, tail=True)
    if result.records:
        report.notes.append("line %d has no line feed; what it holds was checked like any other line" % line)


class _Walk:
    """Feeds the results of consecutive spans of lines to the chain walker."""

    def __init__(self, report: VerifyReport, walker: ChainWalker, line_base: int) -> None:
        self.report = report
        self.walker = walker
        self.line_base = line_base
        self.lines_checked = 0
        self.records_checked = 0
        self.records_failed = 0
        self.empty_lines = 0
        self.shared_lines = 0
        self.stopped = False

    def take(self, result: SpanResult, tail: bool = False) -> None:
        report = self.report
        walker = self.walker
        base = self.line_base + 1
        for event in result.events:
            if type(event) is MalformedEvent:
                report.add(failures.Failure(failures.MALFORMED_LINE, base + event.line, event.offset, event.detail))
                continue
            assert type(event) is RecordEvent
            authentic = True
            if event.problems:
                self.records_failed += 1
                for kind, detail in event.problems:
                    report.add(failures.Failure(kind, base + event.line, event.offset, detail, event.id))
                    if kind == failures.BAD_SIGNATURE:
                        authentic = False
            walker.record(base + event.line, event.offset, event.id, event.hash, event.root, event.link, authentic)
            if event.run_count and event.run_last_root is not None and event.run_last_line is not None:
                walker.run(event.run_count, event.run_last_root, base + event.run_last_line)
        if not tail:
            self.line_base += result.lines
        self.lines_checked += result.lines
        self.records_checked += result.records
        self.empty_lines += result.empty_lines
        self.shared_lines += result.shared_lines

    def unreadable(self, span: Span, error: BaseException) -> None:
        self.stopped = True
        self.report.add(failures.Failure(
            failures.UNREADABLE, self.line_base + 1, span.start,
            "bytes %d to %d could not be read (%s): this line and every line after it were not checked"
            % (span.start, span.end, error)))


def _explain(report: VerifyReport, walker: ChainWalker) -> None:
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
            "their writes; every record was checked" % (report.shared_lines, report.empty_lines))
    if report.chain_starts > 1:
        report.notes.append(
            "%d chains start from genesis: one per engine that wrote to this log; a chain cannot show "
            "records cut off after its last one" % report.chain_starts)
    if walker.cut_searches:
        report.notes.append(
            "for %d chain breaks not every open chain was tried: the log has so many breaks that the search "
            "was bounded; each is still reported" % walker.cut_searches)
    chain_failures = counts.get(failures.CHAIN_BREAK, 0) + counts.get(failures.DUPLICATE, 0)
    notarized = report.notarized
    report.proven = proven.state(report.records, report.records_checked - report.records_failed,
                                 report.records_failed, report.lines_on_checkpoint_word, chain_failures,
                                 report.key_source, report.key_pinned,
                                 notarized.lines_covered if notarized and notarized.proven else 0, report.lines)
