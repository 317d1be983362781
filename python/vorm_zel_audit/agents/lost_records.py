"""What an ``AuditTrail`` does with a record the log could not take.

When ``capture`` cannot append its line (a full disk, a removed directory),
the record is still made, signed and chained, and the module says so with a
``RuntimeWarning``. Left to the default warnings filter, Python shows that
warning once per place and then stays silent about every later loss. The
trail instead records every warning its captures raise, whatever the filters
say, and hands each lost record to a policy:

- ``"raise"``: raise ``LostRecordError``, which carries the record;
- ``"warn"`` (the default): a ``LostRecordWarning`` naming the record id, on
  every loss (the filters still decide whether it is shown, ignored or raised);
- a callable: called with a ``LostRecord`` after each loss, outside the
  trail's lock, so it may log, alert, or write the record somewhere else.
"""
from __future__ import annotations

import dataclasses
import os
import sys
import warnings
from typing import Any, Callable, Union

LOST_RECORD_PREFIX = "vorm_zel: "
"""How the module's warning about an unwritten log line begins."""


@dataclasses.dataclass(frozen=True)
class LostRecord:
    """A record that was sealed and chained but is missing from the log."""

    record: Any
    """The ``SealedRecord`` the capture returned."""
    wal_path: str
    """The log it should have gone to."""
    reason: str
    """The module's warning text (the log path and the OS error)."""

    @property
    def record_id(self) -> str:
        return str(self.record.id)

    def describe(self) -> str:
        return "record %s was sealed but not written to the log: %s" % (self.record_id, self.reason)


class LostRecordError(RuntimeError):
    """A sealed record could not be written to the log (policy ``"raise"``).

    The record exists and the engine's chain includes it; ``record`` holds
    it so the caller can keep it elsewhere.
    """

    def __init__(self, lost: LostRecord) -> None:
        super().__init__(lost.describe())
        self.lost = lost
        self.record = lost.record


class LostRecordWarning(RuntimeWarning):
    """A sealed record could not be written to the log (policy ``"warn"``)."""


LostRecordPolicy = Union[str, Callable[[LostRecord], Any]]
"""``"raise"``, ``"warn"`` or a callable taking a ``LostRecord``."""

POLICIES = ("raise", "warn")


def raise_lost_record(lost: LostRecord) -> None:
    raise LostRecordError(lost)


def warn_lost_record(lost: LostRecord) -> None:
    """A ``LostRecordWarning`` at the first caller outside this package.

    Issued with a registry of its own, so that the ``"default"`` action shows
    every loss (each names another record) without the caller's module
    keeping one entry per lost record; ``"ignore"`` and ``"error"`` filters
    apply as usual.
    """
    frame = _caller_frame()
    if frame is None:
        filename, lineno, module, module_globals = "<unknown>", 0, "vorm_zel_audit.agents", None
    else:
        filename, lineno = frame.f_code.co_filename, frame.f_lineno
        module, module_globals = frame.f_globals.get("__name__", "<unknown>"), frame.f_globals
    warnings.warn_explicit(lost.describe(), LostRecordWarning, filename, lineno, module=module,
                           registry={}, module_globals=module_globals)


def resolve_policy(policy: LostRecordPolicy) -> Callable[[LostRecord], Any]:
    if policy == "raise":
        return raise_lost_record
    if policy == "warn":
        return warn_lost_record
    if callable(policy):
        return policy
    raise ValueError("on_lost_record must be 'raise', 'warn' or a callable, not %r" % (policy,))


def is_lost_record_warning(message: warnings.WarningMessage) -> bool:
    return issubclass(message.category, RuntimeWarning) and str(message.message).startswith(LOST_RECORD_PREFIX)


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def _caller_frame() -> Any:
    frame: Any = sys._getframe(1)
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_DIR:
        frame = frame.f_back
    return frame
