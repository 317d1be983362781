"""AuditTrail: one ZELEngine that threads, asyncio and framework callbacks share.

``ZELEngine.capture`` never waits: a second call on a busy engine fails with
``RuntimeError: Already borrowed``. A trail puts a lock around every capture,
fills in the triplet and the review when the caller has none, converts
``ctx`` and the trace to JSON-able values first (``convert.py``), and applies
a policy to every record the log could not take (``lost_records.py``)::

    from vorm_zel_audit.agents import AuditTrail

    with AuditTrail("audit.wal", provenance="triage-agent/v3") as trail:
        record = trail.capture("Ticket 17 from Ada", {"action": "refund"},
                               ctx={"ticket": 17, "at": datetime.now(timezone.utc)})

The module is imported when the first trail is made, not when this file is.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import json
import os
import socket
import threading
import warnings
from typing import Any, List, Optional

from .convert import Converter, to_jsonable
from .lost_records import LostRecord, LostRecordPolicy, is_lost_record_warning, resolve_policy

NOT_REVIEWED = "not reviewed"
"""The review's ``terminal_node`` when no human looked at a decision."""

DEFAULT_PROVENANCE = "agent"
DEFAULT_PURPOSE = "agent decision"

# warnings.catch_warnings swaps process-wide state; two trails recording at
# once from two threads would restore each other's filters in the wrong
# order. The module holds the GIL through a capture anyway, so one lock for
# every trail's recording costs no parallelism.
_RECORDING_LOCK = threading.Lock()


def default_place() -> str:
    """``host/pid`` of this process."""
    return "%s/%d" % (socket.gethostname(), os.getpid())


@dataclasses.dataclass(frozen=True)
class Decision:
    """The arguments of one capture, converted and ready for the engine."""

    ctx: Any
    prompt: str
    trace: Any
    output: str
    triplet: Any
    review: Any
    auto_insight: bool


class AuditTrail:
    """A thread-safe façade over one ``ZELEngine``.

    ``wal_path`` is the engine's log (``":memory:"`` for none). ``provenance``,
    ``place`` and ``purpose`` are the triplet's defaults for captures that do
    not name their own (``place`` defaults to ``host/pid``). ``converter``
    turns ``ctx``, the trace and non-text prompts and outputs into JSON-able
    values. ``on_lost_record`` is ``"warn"``, ``"raise"`` or a callable (see
    ``lost_records.py``). ``notarize_every``: seconds between signed
    checkpoints of the log (``LOG.checkpoints``, with the log's own key) by a
    ``vorm_zel_audit.Notary`` thread, which signs a last one on ``close()``;
    None (the default) for none. ``notary``, instead, is any object with
    ``start()`` and ``stop()``: started once the engine is open, stopped by
    ``close()``.
    """

    def __init__(self, wal_path: str, *, provenance: str = DEFAULT_PROVENANCE, place: Optional[str] = None,
                 purpose: str = DEFAULT_PURPOSE, converter: Converter = to_jsonable,
                 on_lost_record: LostRecordPolicy = "warn", notarize_every: Optional[float] = None,
                 notary: Any = None) -> None:
        import vorm_zel  # here, so that importing this package never loads the module

        self._module = vorm_zel
        self.wal_path = wal_path
        self.provenance = provenance
        self.place = default_place() if place is None else place
        self.purpose = purpose
        self.converter = converter
        self._on_lost_record = resolve_policy(on_lost_record)
        self._lock = threading.Lock()
        self._executor: Optional[concurrent.futures.ThreadPoolExecutor] = None
        if notarize_every is not None and notary is not None:
            raise ValueError("give notarize_every or notary, not both")
        if notarize_every is not None and wal_path == ":memory:":
            raise ValueError("an in-memory engine writes no log to notarise")
        self._engine: Any = vorm_zel.ZELEngine(wal_path)  # creates the key file the notary signs with
        if notarize_every is not None:
            from ..notary import Notary

            notary = Notary(wal_path, interval=notarize_every)
        self._notary = notary
        if notary is not None:
            notary.start()

    # -- public surface ---------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._engine is None

    def public_key_hex(self) -> str:
        with self._lock:
            return str(self._open_engine().public_key_hex())

    def capture(self, prompt: Any, output: Any, *, ctx: Any = None, trace: Any = None,
                provenance: Optional[str] = None, place: Optional[str] = None, purpose: Optional[str] = None,
                review: Any = None, decision_ref: str = "", auto_insight: bool = True) -> Any:
        """Seal one decision and return its ``SealedRecord``.

        ``prompt`` and ``output`` that are not ``str`` are stored as the
        ``json.dumps`` text of their converted value. ``review`` is a
        ``HumanDeltaChain``; without one, the record carries a fresh chain
        with ``decision_ref``, ``resolved=False`` and ``"not reviewed"``.
        """
        decision = self.prepare(prompt, output, ctx=ctx, trace=trace, provenance=provenance, place=place,
                                purpose=purpose, review=review, decision_ref=decision_ref,
                                auto_insight=auto_insight)
        return self.seal(decision)

    async def acapture(self, prompt: Any, output: Any, **fields: Any) -> Any:
        """``capture`` for asyncio: converts on the calling thread, then seals
        on the trail's worker thread, so the event loop never blocks on the
        signature or the log write. Captures run in the order they were made."""
        decision = self.prepare(prompt, output, **fields)
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._worker(), self.seal, decision)

    def prepare(self, prompt: Any, output: Any, *, ctx: Any = None, trace: Any = None,
                provenance: Optional[str] = None, place: Optional[str] = None, purpose: Optional[str] = None,
                review: Any = None, decision_ref: str = "", auto_insight: bool = True) -> Decision:
        """Convert and complete a capture's arguments without sealing them."""
        vz = self._module
        triplet = vz.PPPTriplet(self.provenance if provenance is None else provenance,
                                self.place if place is None else place,
                                self.purpose if purpose is None else purpose)
        if review is None:
            review = vz.HumanDeltaChain(decision_ref, False, NOT_REVIEWED)
        return Decision(ctx=self.converter(ctx), prompt=self._text(prompt), trace=self.converter(trace),
                        output=self._text(output), triplet=triplet, review=review, auto_insight=auto_insight)

    def seal(self, decision: Decision) -> Any:
        """Capture a prepared decision under the lock; apply the lost-record
        policy to it (after the lock is released)."""
        record = None
        caught: List[warnings.WarningMessage] = []
        try:
            with self._lock:
                engine = self._open_engine()
                with _RECORDING_LOCK, warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    record = engine.capture(decision.ctx, decision.prompt, decision.trace, decision.output,
                                            decision.triplet, decision.review, decision.auto_insight)
        finally:
            self._after_capture(record, caught)
        return record

    def close(self) -> None:
        """Stop the notary and let the engine go; later captures raise
        ``ValueError``. Closing twice does nothing."""
        executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(wait=True)
        with self._lock:
            if self._engine is None:
                return
            self._engine = None
        if self._notary is not None:
            self._notary.stop()

    def __enter__(self) -> "AuditTrail":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # -- internals --------------------------------------------------------

    def _open_engine(self) -> Any:
        if self._engine is None:
            raise ValueError("the audit trail is closed")
        return self._engine

    def _worker(self) -> concurrent.futures.ThreadPoolExecutor:
        with self._lock:
            self._open_engine()
            if self._executor is None:
                self._executor = concurrent.futures.ThreadPoolExecutor(
                    max_workers=1, thread_name_prefix="vorm-zel-trail")
            return self._executor

    def _text(self, value: Any) -> str:
        if isinstance(value, str):
            return value
        return json.dumps(self.converter(value))

    def _after_capture(self, record: Any, caught: List[warnings.WarningMessage]) -> None:
        lost = None
        for message in caught:
            if record is not None and lost is None and is_lost_record_warning(message):
                lost = LostRecord(record=record, wal_path=self.wal_path, reason=str(message.message))
            else:  # not ours (another thread's, while we recorded): pass it on
                warnings.warn_explicit(message.message, message.category, message.filename,
                                       message.lineno or 0, source=message.source)
        if lost is not None:
            self._on_lost_record(lost)

