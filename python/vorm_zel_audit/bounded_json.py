"""JSON decoding with a nesting limit of our own.

The standard decoder recurses once per nested array or object and stops only
at the interpreter's recursion limit: a line of 5,000 ``[`` ends in a
RecursionError, and with a raised limit it can overflow the C stack. Every
JSON text this package decodes from a log or a checkpoint first passes
``check_depth``, which walks only the brackets outside strings, so the
decoder never sees a text nested deeper than the caller allows.
"""
from __future__ import annotations

import json
import re
from typing import Any, Callable, Optional

# A JSON string (its escapes included), matched whole so that the brackets
# inside strings are skipped. Linear: no nested quantifier can backtrack.
_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"?', re.DOTALL)
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")


class TooDeep(ValueError):
    """A JSON text nested deeper than allowed."""


def max_depth(text: str) -> int:
    """The deepest nesting of arrays and objects in ``text`` (strings skipped).

    Brackets that do not balance still count as they open: this is a bound for
    the decoder, not a validation.
    """
    skeleton = _NOT_BRACKET.sub("", _STRING.sub("", text))
    depth = deepest = 0
    for char in skeleton:
        if char in "[{":
            depth += 1
            if depth > deepest:
                deepest = depth
        elif depth:
            depth -= 1
    return deepest


def check_depth(text: str, limit: int) -> None:
    """TooDeep unless ``text`` nests at most ``limit`` levels.

    Cheap for ordinary texts: when there are no more opening brackets than
    ``limit`` the text cannot nest deeper, and nothing is scanned.
    """
    if text.count("[") + text.count("{") <= limit:
        return
    depth = max_depth(text)
    if depth > limit:
        raise TooDeep("nested %d levels deep; at most %d are allowed here" % (depth, limit))


def loads(text: str, limit: int, object_pairs_hook: Optional[Callable[[list], Any]] = None) -> Any:
    """``json.loads`` of ``text`` after ``check_depth`` (ValueError for both)."""
    check_depth(text, limit)
    return json.loads(text, object_pairs_hook=object_pairs_hook)
