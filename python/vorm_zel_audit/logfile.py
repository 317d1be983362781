"""Reading a write-ahead log: lines with their byte offsets, record parsing.

A log is a sequence of lines, each ending in a line feed. Every record is one
compact JSON object whose fifteen members are those of ``SealedRecord`` in
their fixed order. This module finds the lines,
the torn tail (bytes after the last line feed), splits a line that holds more
than one record (a writer that writes an object and its line feed separately
lets a concurrent writer's object land between the two) and parses a record strictly; it checks no
hash, signature or chain.
"""
from __future__ import annotations

import json
import os
import re

FIELDS = (
    "id",
    "timestamp",
    "monotonic_nanos",
    "hash",
    "signature",
    "merkle_root",
    "coherence_score",
    "reputation_scalar",
    "ppp_json",
    "ctx_json",
    "prompt",
    "reasoning_trace_json",
    "output",
    "human_delta_chain_json",
    "core_insight_json",
)

PPP_FIELDS = ("provenance", "place", "purpose")

# Every record object starts with these bytes. Inside a JSON string a double
# quote is always escaped, so the sequence cannot occur within a member.
RECORD_START = b'{"id":"'

_HEX64 = re.compile(r"[0-9a-f]{64}\Z")
_INT_ONLY = {int}
# One decoder for all lines; objects come back as lists of (name, value)
# pairs so that repeated and reordered members can be seen.
_PAIRS = json.JSONDecoder(object_pairs_hook=list)
# Its scanner, called directly: one value from the start of a text and where
# it ends (the C scanner when available; it keeps no state between calls).
_scan = _PAIRS.scan_once
_READ_BLOCK = 1 << 20


class MalformedRecord(ValueError):
    """A piece of a line that is not a well-formed record; ``str()`` says why."""


class Record(object):
    """One parsed record: the members verification needs as attributes, and
    all fifteen in ``values`` (in FIELDS order; ``members`` as a dict)."""

    __slots__ = ("values", "id", "hash", "signature", "merkle_root", "coherence", "reputation",
                 "provenance", "place", "purpose", "prompt")

    def __init__(self, values, signature, ppp):
        self.values = values
        self.id = values[0]
        self.hash = values[3]
        self.signature = signature
        self.merkle_root = values[5]
        self.coherence = float(values[6])
        self.reputation = float(values[7])
        self.provenance, self.place, self.purpose = ppp
        self.prompt = values[10]

    @property
    def members(self):
        members = dict(zip(FIELDS, self.values))
        members["signature"] = self.signature
        return members


_NONE = type(None)
# The types of the fifteen members as the writer produces them.
_TYPES = (str, str, int, str, list, str, float, float, str, str, str, str, str, str)
_EXPECTED_TYPES = {_TYPES + (str,), _TYPES + (_NONE,)}


def _check_members(pairs):
    """The values of the fifteen members (in order) and the signature bytes."""
    names, values = zip(*pairs) if pairs else ((), ())
    if names != FIELDS:
        _explain_names(pairs)
    if tuple(map(type, values)) not in _EXPECTED_TYPES:
        values = _explain_types(values)
    if not 0 <= values[2] < 1 << 64:
        raise MalformedRecord("monotonic_nanos is not an unsigned 64-bit integer")
    if not _HEX64.match(values[3]):
        raise MalformedRecord("hash is not 64 lower-case hex digits")
    if not _HEX64.match(values[5]):
        raise MalformedRecord("merkle_root is not 64 lower-case hex digits")
    signature = values[4]
    if len(signature) != 64 or set(map(type, signature)) != _INT_ONLY:
        raise MalformedRecord("signature is not an array of 64 integers from 0 to 255")
    try:
        signature = bytes(signature)
    except ValueError:
        raise MalformedRecord("signature is not an array of 64 integers from 0 to 255")
    for index in (6, 7):
        value = values[index]
        if value != value or value in (_INF, -_INF):
            raise MalformedRecord("%s is not a finite number" % FIELDS[index])
    return values, signature


_INF = float("inf")


def _explain_names(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise MalformedRecord("a member name occurs twice")
    missing = [name for name in FIELDS if name not in names]
    extra = [name for name in names if name not in FIELDS]
    if missing or extra:
        raise MalformedRecord("members differ from the fifteen record fields (missing: %s; unexpected: %s)"
                              % (", ".join(missing) or "none", ", ".join(extra) or "none"))
    raise MalformedRecord("the fifteen record fields are not in their fixed order")


def _explain_types(values):
    """Raise for the first member of the wrong type; an integral score is
    accepted (it is the same double) and returned as a float."""
    members = dict(zip(FIELDS, values))
    for name in ("id", "timestamp", "hash", "merkle_root", "ppp_json", "ctx_json", "prompt",
                 "reasoning_trace_json", "output", "human_delta_chain_json"):
        if not isinstance(members[name], str):
            raise MalformedRecord("%s is not a string" % name)
    if members["core_insight_json"] is not None and not isinstance(members["core_insight_json"], str):
        raise MalformedRecord("core_insight_json is neither a string nor null")
    if type(members["monotonic_nanos"]) is not int:
        raise MalformedRecord("monotonic_nanos is not an unsigned 64-bit integer")
    if not isinstance(members["signature"], list):
        raise MalformedRecord("signature is not an array of 64 integers from 0 to 255")
    for name in ("coherence_score", "reputation_scalar"):
        if type(members[name]) not in (int, float):
            raise MalformedRecord("%s is not a finite number" % name)
        members[name] = float(members[name])
    return tuple(members[name] for name in FIELDS)


# ppp_json as the module writes it when no value needs an escape: the
# captured texts are then exactly the values (JSON strings hold no raw
# control characters, and a quote or backslash would need an escape).
_PLAIN_PPP = re.compile(r'\{"provenance":"([^"\\\x00-\x1f]*)","place":"([^"\\\x00-\x1f]*)",'
                        r'"purpose":"([^"\\\x00-\x1f]*)"\}\Z')


def _parse_ppp(text):
    plain = _PLAIN_PPP.match(text)
    if plain is not None:
        return plain.groups()
    try:
        pairs = _PAIRS.decode(text)
    except ValueError:
        raise MalformedRecord("ppp_json is not JSON text")
    if not isinstance(pairs, list) or [name for name, _ in pairs] != list(PPP_FIELDS):
        raise MalformedRecord("ppp_json is not an object of provenance, place and purpose in that order")
    values = tuple(value for _, value in pairs)
    if not all(isinstance(value, str) for value in values):
        raise MalformedRecord("ppp_json holds a value that is not a string")
    return values


def parse_record(piece):
    """Parse the bytes of one record object (without its line feed).

    Returns a Record; raises MalformedRecord with a short reason.
    """
    try:
        text = piece.decode("utf-8")
    except UnicodeDecodeError as error:
        raise MalformedRecord("not UTF-8 (byte %d)" % error.start)
    try:
        pairs, end = _scan(text, 0)
    except StopIteration as stop:
        raise MalformedRecord("not a JSON object: expecting a value at character %s" % stop.value)
    except ValueError as error:
        raise MalformedRecord("not a JSON object: %s" % _json_reason(error))
    if end != len(text):
        raise MalformedRecord("not a JSON object: extra data at character %d" % end)
    if type(pairs) is not list or (pairs and type(pairs[0]) is not tuple):
        raise MalformedRecord("not a JSON object")
    values, signature = _check_members(pairs)
    return Record(values, signature, _parse_ppp(values[8]))


def _json_reason(error):
    message = getattr(error, "msg", None) or str(error)
    position = getattr(error, "pos", None)
    return message if position is None else "%s at character %d" % (message, position)


def split_line(line):
    """The pieces of one line (bytes without its line feed) as a list of
    ``(offset_in_line, bytes)``.

    A line normally holds exactly one record. It holds more when a concurrent
    writer's object landed before another object's line feed, and it starts
    with a fragment when an earlier write was torn and later lines were
    appended to it. Pieces are cut at every start of a record object; a first
    piece that does not start one is returned as it is (it will not parse).
    """
    if line.startswith(RECORD_START) and line.find(RECORD_START, 1) < 0:
        return [(0, line)]
    starts = [match.start() for match in re.finditer(re.escape(RECORD_START), line)]
    if not starts or starts[0] != 0:
        starts.insert(0, 0)
    ends = starts[1:] + [len(line)]
    return [(start, line[start:end]) for start, end in zip(starts, ends)]


def complete_length(path_or_file, size=None):
    """Byte length of the log up to and including its last line feed.

    Bytes after it (if any) are the torn tail: a line whose write is not
    complete, or was never completed.
    """
    own = isinstance(path_or_file, (str, bytes, os.PathLike))
    handle = open(path_or_file, "rb") if own else path_or_file
    try:
        if size is None:
            handle.seek(0, os.SEEK_END)
            size = handle.tell()
        position = size
        while position > 0:
            start = max(0, position - _READ_BLOCK)
            handle.seek(start)
            block = handle.read(position - start)
            index = block.rfind(b"\n")
            if index >= 0:
                return start + index + 1
            position = start
        return 0
    finally:
        if own:
            handle.close()


def line_boundaries(path, start, end, target):
    """Cut ``[start, end)`` (which ends after a line feed) into pieces of
    about ``target`` bytes, each ending just after a line feed. Returns the
    list of ``(start, end)`` pairs."""
    pieces = []
    with open(path, "rb") as handle:
        position = start
        while position < end:
            cut = position + target
            if cut >= end:
                pieces.append((position, end))
                break
            handle.seek(cut - 1)
            while True:
                block = handle.read(1 << 16)
                if not block:
                    cut = end
                    break
                index = block.find(b"\n")
                if index >= 0:
                    cut = handle.tell() - len(block) + index + 1
                    break
            cut = min(cut, end)
            pieces.append((position, cut))
            position = cut
    return pieces


def read_range(path, start, end):
    with open(path, "rb") as handle:
        handle.seek(start)
        return handle.read(end - start)


def iter_lines(data, base_offset=0):
    """Yield ``(index, offset, line)`` for every line of ``data`` (bytes that
    end with a line feed, or are empty); ``line`` excludes the line feed and
    ``offset`` is ``base_offset`` plus its position in ``data``."""
    position = 0
    index = 0
    length = len(data)
    while position < length:
        cut = data.find(b"\n", position)
        if cut < 0:
            cut = length
        yield index, base_offset + position, data[position:cut]
        index += 1
        position = cut + 1
