"""Turn the values agents carry into values that ``json.dumps`` accepts.

``capture`` serialises ``ctx`` and the reasoning trace with the host's own
``json.dumps``, which refuses datetimes, UUIDs, dataclasses and the like. An
``AuditTrail`` passes both through a converter first, so the sealed text is
still ``json.dumps`` output, just of plain values:

=================================  ==========================================
value                              becomes
=================================  ==========================================
``str``, ``int``, ``float``,       itself (subclasses too, so ``json.dumps``
``bool``, ``None``                 writes exactly what it would have written)
``enum.Enum`` member               its ``value``, converted
``dict`` and other mappings        a ``dict`` in the same order; keys that
                                   ``json.dumps`` refuses become text (below)
``list``, ``tuple``, ``deque``     a ``list``
``set``, ``frozenset``             a ``list`` sorted by each item's JSON text,
                                   so the same set always seals the same way
``datetime``, ``date``, ``time``   ``isoformat()`` text
``timedelta``                      its ``total_seconds()``
``uuid.UUID``                      its canonical text
``decimal.Decimal``                its exact text (``str``), never a float
``bytes``, ``bytearray``,          standard base64 text
``memoryview``
``pathlib.PurePath``               its text (``str``)
dataclass instance                 a ``dict`` of its fields, in field order
pydantic model                     ``model_dump()`` (v2) or ``dict()`` (v1),
                                   converted
anything else                      ``JsonConverter.default(value)``, by
                                   default ``repr(value)``
=================================  ==========================================

A key that is not ``str``, ``int``, ``float``, ``bool`` or ``None`` is
converted and, if that gives no such value, replaced by the ``json.dumps``
text of what it gave. A container met again inside itself becomes the text
``"<circular reference: TYPE>"``; anything nested deeper than ``max_depth``
levels becomes ``"<nested deeper than N levels: TYPE>"``. Neither raises.

The result is always a fresh structure: later changes to the caller's
objects do not reach a capture that runs afterwards (``acapture`` converts
on the caller's thread for that reason).

To change a rule, subclass ``JsonConverter`` and override ``default`` (for
types the table does not know) or ``convert`` (to take over any value before
the table), or pass any callable that returns JSON-able values::

    class MyConverter(JsonConverter):
        def default(self, value):
            if isinstance(value, numpy.ndarray):
                return value.tolist()
            return super().default(value)

    trail = AuditTrail("audit.wal", converter=MyConverter())
"""
from __future__ import annotations

import base64
import collections
import dataclasses
import datetime
import decimal
import enum
import json
import pathlib
import uuid
from collections.abc import Mapping
from typing import Any, Callable, Dict, List, Set, Union

JsonValue = Union[None, bool, int, float, str, List[Any], Dict[Any, Any]]
"""What a converter returns: values ``json.dumps`` writes without help."""

Converter = Callable[[Any], Any]
"""Any callable from a value to a JSON-able value can stand in for one."""

_PLAIN = (str, int, float, bool, type(None))
_PLAIN_KEYS = (str, int, float, bool, type(None))
_SEQUENCES = (list, tuple, collections.deque)
_BYTES = (bytes, bytearray, memoryview)

DEFAULT_MAX_DEPTH = 100


class JsonConverter:
    """The default converter of an ``AuditTrail`` (see the module's table)."""

    def __init__(self, max_depth: int = DEFAULT_MAX_DEPTH) -> None:
        if max_depth < 1:
            raise ValueError("max_depth must be at least 1")
        self.max_depth = max_depth
        # Plain values skip the table, unless a subclass takes values over first.
        self._plain_fast = type(self).convert is JsonConverter.convert

    def __call__(self, value: Any) -> JsonValue:
        return self._convert(value, 0, set())

    def default(self, value: Any) -> Any:
        """A value of a type the table does not know; what it returns is
        converted in turn. Override it to add types."""
        return repr(value)

    def convert(self, value: Any, depth: int, active: Set[int]) -> JsonValue:
        """One value at ``depth``; ``active`` holds the ids of the containers
        being converted around it. Override to take over values before the
        table (call ``super().convert`` for the rest)."""
        if isinstance(value, enum.Enum):
            return self._convert(value.value, depth + 1, active)
        if isinstance(value, _PLAIN):
            return value
        if isinstance(value, (Mapping, list, tuple, set, frozenset, collections.deque)) or _is_record(value):
            if depth >= self.max_depth:
                return "<nested deeper than %d levels: %s>" % (self.max_depth, type(value).__name__)
            if id(value) in active:
                return "<circular reference: %s>" % type(value).__name__
            active.add(id(value))
            try:
                return self._container(value, depth, active)
            finally:
                active.discard(id(value))
        if isinstance(value, datetime.timedelta):
            return value.total_seconds()
        if isinstance(value, (datetime.date, datetime.time)):  # datetime is a date
            return value.isoformat()
        if isinstance(value, uuid.UUID):
            return str(value)
        if isinstance(value, decimal.Decimal):
            return str(value)
        if isinstance(value, _BYTES):
            return base64.b64encode(bytes(value)).decode("ascii")
        if isinstance(value, pathlib.PurePath):
            return str(value)
        if depth >= self.max_depth:
            return "<nested deeper than %d levels: %s>" % (self.max_depth, type(value).__name__)
        return self._convert(self.default(value), depth + 1, active)

    def _convert(self, value: Any, depth: int, active: Set[int]) -> JsonValue:
        # Plain values, dicts with text keys and lists are nearly all an agent
        # passes: they skip the table (unless a subclass takes values over).
        kind = type(value)
        if not self._plain_fast:
            return self.convert(value, depth, active)
        if kind is str or kind is int or kind is float or kind is bool or value is None:
            return value  # type: ignore[no-any-return]
        if (kind is dict or kind is list) and depth < self.max_depth and id(value) not in active:
            active.add(id(value))
            try:
                inner = depth + 1
                if kind is list:
                    return [self._convert(item, inner, active) for item in value]
                return {(key if type(key) is str else self._key(key, inner, active)): self._convert(item, inner, active)
                        for key, item in value.items()}
            finally:
                active.discard(id(value))
        return self.convert(value, depth, active)

    def _container(self, value: Any, depth: int, active: Set[int]) -> JsonValue:
        inner = depth + 1
        if isinstance(value, Mapping):
            return {self._key(key, inner, active): self._convert(item, inner, active) for key, item in value.items()}
        if isinstance(value, _SEQUENCES):
            return [self._convert(item, inner, active) for item in value]
        if isinstance(value, (set, frozenset)):
            items = [self._convert(item, inner, active) for item in value]
            return sorted(items, key=_sort_text)
        if dataclasses.is_dataclass(value):
            return {field.name: self._convert(getattr(value, field.name), inner, active)
                    for field in dataclasses.fields(value)}
        return self._convert(_model_fields(value), inner, active)

    def _key(self, key: Any, depth: int, active: Set[int]) -> Any:
        if type(key) in _PLAIN_KEYS:
            return key
        converted = self._convert(key, depth, active)
        if isinstance(converted, _PLAIN_KEYS):
            return converted
        return json.dumps(converted, sort_keys=True)


def _is_record(value: Any) -> bool:
    """A dataclass instance or a pydantic model (v2 or v1), not their classes."""
    if isinstance(value, type):
        return False
    if dataclasses.is_dataclass(value):
        return True
    return _model_dump(value) is not None


def _model_dump(value: Any) -> Any:
    dump = getattr(type(value), "model_dump", None)  # pydantic v2
    if dump is None and hasattr(type(value), "__fields__"):
        dump = getattr(type(value), "dict", None)  # pydantic v1
    return dump if callable(dump) else None


def _model_fields(value: Any) -> Any:
    return _model_dump(value)(value)


def _sort_text(item: Any) -> str:
    return json.dumps(item, sort_keys=True)


to_jsonable = JsonConverter()
"""The default converter, ready to call: ``to_jsonable(value)``."""
