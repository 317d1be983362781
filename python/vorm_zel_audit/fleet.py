"""verify_logs: many logs at once, locally or on a Dask cluster.

Without a client each log is verified by ``verify_log`` in turn, with the
local process pool. With a ``distributed.Client`` every log is cut into spans
of whole lines (a small log is one span) and the spans of several logs are
checked on the cluster's workers at once; each worker reads its span itself
(a local path must then be readable at the same path on every worker: a
shared disk; a URL is read through fsspec). This process opens each log,
plans its spans, and takes their results back in file order: each log's
chain walk runs once, here, over them, exactly as ``verify_log`` does, so
the reports are the same (failures, line numbers, offsets, statement).

Dask and fsspec are an optional extra (``pip install vorm_zel[dask]``),
imported only when a client or a URL is used.
"""
from __future__ import annotations

import collections
import dataclasses
import os
import time
from typing import Any, Deque, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from .checkpoint import CheckpointLike
from .linecheck import SpanResult, check_source_span
from .log_source import log_source
from .logfile import DEFAULT_MAX_LINE_BYTES, Span
from .regular_file import PathLike
from .report import VerifyReport
from .verify import DEFAULT_MAX_FAILURES, LogVerification, verify_log

# Spans sent to a cluster: large enough that a task outweighs its overhead
# (tens of milliseconds of checks), small enough to spread one large log.
CLUSTER_SPAN_BYTES = 8 << 20
# Logs open at once on a cluster: their spans are in flight together.
CLUSTER_LOGS_IN_FLIGHT = 32


@dataclasses.dataclass(frozen=True)
class LogKey:
    """A log's public key, and where it came from (for the report)."""

    public_key_hex: str
    source: Optional[str] = None
    pinned: bool = True


KeyArgument = Union[None, str, LogKey, Mapping[str, Union[None, str, LogKey]]]


@dataclasses.dataclass
class LogResult:
    """One log: its report, or why it could not be verified at all."""

    log: str
    report: Optional[VerifyReport] = None
    error: Optional[str] = None

    @property
    def passed(self) -> bool:
        return self.report is not None and self.report.passed

    def to_dict(self) -> Dict[str, Any]:
        if self.report is not None:
            return self.report.to_dict()
        return {"path": self.log, "passed": False, "error": self.error}


@dataclasses.dataclass
class FleetSummary:
    """Totals over every log. ``errors``: logs that could not be verified at
    all (not opened, no usable key); they count as not passed."""

    logs: int
    passed: int
    failed: int
    errors: int
    lines: int
    records_checked: int
    records_failed: int
    failure_counts: Dict[str, int]
    engine: str
    elapsed: float

    @property
    def lines_per_second(self) -> float:
        return self.lines / self.elapsed if self.elapsed > 0 else 0.0

    def to_dict(self) -> Dict[str, Any]:
        data = dataclasses.asdict(self)
        data["lines_per_second"] = round(self.lines_per_second, 1)
        return data


@dataclasses.dataclass
class FleetReport:
    """One result per log, in the order given, and the summary."""

    results: List[LogResult]
    summary: FleetSummary

    @property
    def passed(self) -> bool:
        return all(result.passed for result in self.results)

    @property
    def reports(self) -> List[Optional[VerifyReport]]:
        return [result.report for result in self.results]

    def to_dict(self) -> Dict[str, Any]:
        return {"passed": self.passed, "summary": self.summary.to_dict(),
                "logs": [result.to_dict() for result in self.results]}

    def format_text(self) -> str:
        out = []
        for result in self.results:
            out.append("== %s" % result.log)
            out.append(result.report.format_text() if result.report is not None
                       else "ERROR: could not verify: %s" % result.error)
        summary = self.summary
        out.append("== fleet: %d logs, %d passed, %d failed, %d could not be verified; %d lines, %d records "
                   "checked (%d failed) in %.2f s (%.0f lines/s) with %s" % (
                       summary.logs, summary.passed, summary.failed, summary.errors, summary.lines,
                       summary.records_checked, summary.records_failed, summary.elapsed,
                       summary.lines_per_second, summary.engine))
        if summary.failure_counts:
            out.append("failures: " + ", ".join("%s %d" % item for item in sorted(summary.failure_counts.items())))
        out.append("PASSED" if self.passed else "FAILED")
        return "\n".join(out)


def _key_for(log: str, public_key: KeyArgument) -> Tuple[Optional[str], Optional[str], Optional[bool]]:
    """(hex, source, pinned) for one log; ValueError when a mapping lacks it."""
    if isinstance(public_key, Mapping):
        if log not in public_key:
            raise ValueError("no public key was given for %s" % log)
        public_key = public_key[log]
    if isinstance(public_key, LogKey):
        return public_key.public_key_hex, public_key.source, public_key.pinned
    return public_key, None, None


def _checkpoint_for(log: str, checkpoint: Union[CheckpointLike, Mapping[str, CheckpointLike]]) -> CheckpointLike:
    if isinstance(checkpoint, Mapping) and not _is_checkpoint_dict(checkpoint):
        return checkpoint.get(log)
    return checkpoint  # type: ignore[return-value]


def _is_checkpoint_dict(value: Mapping[str, Any]) -> bool:
    return "byte_length" in value and "public_key" in value


def verify_logs(logs: Sequence[PathLike], public_key_hex: KeyArgument = None, *, client: Any = None,
                checkpoint: Union[CheckpointLike, Mapping[str, CheckpointLike]] = None,
                jobs: Optional[int] = None, max_failures: Optional[int] = DEFAULT_MAX_FAILURES,
                strict: bool = False, max_line_bytes: int = DEFAULT_MAX_LINE_BYTES, recheck: bool = False,
                checkpoints: Union[PathLike, None, bool] = None, require_notarized: bool = False,
                span_bytes: int = CLUSTER_SPAN_BYTES, storage_options: Optional[Dict[str, Any]] = None
                ) -> FleetReport:
    """Verify every log in ``logs`` (local paths or fsspec URLs); returns a
    FleetReport with one result per log, in order, and a summary.

    - ``public_key_hex``: one key for every log, or a mapping from each log
      (as given) to its key; a key is 64 hex digits or a ``LogKey`` that
      also says where it came from. None: each log's checkpoint supplies it.
    - ``client``: a ``distributed.Client``; None for the local process pool
      (``jobs`` workers, as ``verify_log``).
    - ``checkpoint``: one checkpoint, or a mapping from log to checkpoint.
    - ``checkpoints``: None checks each local log's ``LOG.checkpoints`` when
      it exists; False checks none; a path is one log's. A URL's are not checked (a note says when
      they exist). ``require_notarized`` applies to local logs only: a URL
      is then an error.
    - ``span_bytes``: the size of the spans sent to the cluster.

    A log that cannot be opened, or has no usable key or checkpoint, becomes
    a result with ``error`` set; nothing in any log's content raises.
    """
    if span_bytes < 1:
        raise ValueError("span_bytes must be at least 1")
    started = time.perf_counter()
    names = [os.fspath(log) if not isinstance(log, str) else log for log in logs]
    results: List[Optional[LogResult]] = [None] * len(names)
    options = dict(max_failures=max_failures, strict=strict, max_line_bytes=max_line_bytes, recheck=recheck,
                   checkpoints=checkpoints, require_notarized=require_notarized)
    if client is None:
        for index, name in enumerate(names):
            report, error = _attempt(lambda name=name: _local(name, public_key_hex, checkpoint, jobs,
                                                                storage_options, options))
            results[index] = LogResult(name, report, error)
        engine = "the local process pool"
    else:
        _on_cluster(client, names, public_key_hex, checkpoint, storage_options, options, span_bytes, results)
        engine = "a Dask cluster at %s" % getattr(getattr(client, "scheduler", None), "address", "?")
    done = [result for result in results if result is not None]
    return FleetReport(done, _summary(done, engine, time.perf_counter() - started))


def _attempt(run: Any) -> Tuple[Any, Optional[str]]:
    """``(run(), None)``, or ``(None, why)`` when the log could not be opened
    or its key or checkpoint is unusable."""
    try:
        return run(), None
    except (OSError, ValueError) as error:
        if isinstance(error, OSError) and error.filename and error.strerror:
            return None, "%s: %s" % (error.filename, error.strerror)
        return None, str(error)


def _local(name: str, public_key: KeyArgument, checkpoint: Any, jobs: Optional[int],
           storage_options: Optional[Dict[str, Any]], options: Dict[str, Any]) -> VerifyReport:
    key, source, pinned = _key_for(name, public_key)
    return verify_log(name, key, checkpoint=_checkpoint_for(name, checkpoint), jobs=jobs, key_source=source,
                      key_pinned=pinned, storage_options=storage_options, **options)


def _open(name: str, public_key: KeyArgument, checkpoint: Any, storage_options: Optional[Dict[str, Any]],
          options: Dict[str, Any]) -> LogVerification:
    key, source, pinned = _key_for(name, public_key)
    verification = LogVerification(log_source(name, storage_options), key, _checkpoint_for(name, checkpoint),
                                   key_source=source, key_pinned=pinned, **options)
    return verification.__enter__()


Pending = Tuple[int, LogVerification, List[Tuple[Span, Any]]]


def _on_cluster(client: Any, names: List[str], public_key: KeyArgument, checkpoint: Any,
                storage_options: Optional[Dict[str, Any]], options: Dict[str, Any], span_bytes: int,
                results: List[Optional[LogResult]]) -> None:
    workers = max(1, len(client.scheduler_info().get("workers", {})))
    in_flight: Deque[Pending] = collections.deque()
    for index, name in enumerate(names):
        verification, error = _attempt(lambda name=name: _open(name, public_key, checkpoint, storage_options,
                                                               options))
        if verification is None:
            results[index] = LogResult(name, error=error)
            continue
        try:
            spans = verification.plan(span_bytes) if verification.total > 0 else []
        except OSError as error:
            verification.close()
            results[index] = LogResult(name, error=str(error))
            continue
        verification.report.jobs = workers
        work = [(span, verification.overlong(span) if span.overlong else
                 client.submit(check_source_span, verification.source, span, verification.key_bytes, pure=False))
                for span in spans]
        in_flight.append((index, verification, work))
        if len(in_flight) >= CLUSTER_LOGS_IN_FLIGHT:
            _take(in_flight.popleft(), results)
    while in_flight:
        _take(in_flight.popleft(), results)


def _take(pending: Pending, results: List[Optional[LogResult]]) -> None:
    """Walk one log's span results in file order, then finish its report."""
    index, verification, work = pending
    try:
        for position, (span, item) in enumerate(work):
            if isinstance(item, SpanResult):
                verification.take(item)
                continue
            try:
                result = item.result()
            except Exception as error:  # a worker that could not read its span, or was lost
                verification.unreadable(span, error)
                for _, other in work[position + 1:]:
                    if not isinstance(other, SpanResult):
                        other.cancel()
                break
            verification.take(result)
        report = verification.finish()
    finally:
        verification.close()
    results[index] = LogResult(verification.source.name, report)


def _summary(results: List[LogResult], engine: str, elapsed: float) -> FleetSummary:
    reports = [result.report for result in results if result.report is not None]
    counts: Dict[str, int] = {}
    for report in reports:
        for kind, count in report.failure_counts.items():
            counts[kind] = counts.get(kind, 0) + count
    passed = sum(1 for report in reports if report.passed)
    return FleetSummary(
        logs=len(results), passed=passed, failed=len(reports) - passed, errors=len(results) - len(reports),
        lines=sum(report.lines_checked for report in reports),
        records_checked=sum(report.records_checked for report in reports),
        records_failed=sum(report.records_failed for report in reports),
        failure_counts=dict(sorted(counts.items())), engine=engine, elapsed=elapsed)
