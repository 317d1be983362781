"""One log record: its fifteen members, parsed strictly.

Every record is one compact JSON object whose fifteen members are those of
``SealedRecord`` in their fixed order and with the types the writer gives
them. Parsing checks the members' names, order and types, the forms of
``hash``, ``merkle_root`` and ``signature``, that both scores are finite and
within [0, 1], that ``ppp_json`` is exactly the object of three strings that
capture writes, and that no text holds a lone surrogate (capture refuses
those). It checks no hash, signature or chain.

The decoder gets no text nested deeper than a record can be (the signature
array inside the object), so hostile nesting is refused before it is decoded.

Most lines are exactly the compact text that capture writes, and those take a
faster road: ``orjson`` decodes the line, and it is accepted only when
encoding the result again gives back the line byte for byte. Such a line can
hold no repeated member, whitespace, escape that could be written another way
or number in another spelling, so the standard decoder would read the same
values from it; the member checks are the same on both roads. Every other
line (and every line when orjson is not installed) is decoded by the
standard library with each member seen, and judged as before.
"""
from __future__ import annotations

import json
import re
from typing import Any, Dict, List, Sequence, Tuple

from . import bounded_json

try:  # the faster road for canonical lines (see above); optional
    import orjson as _orjson
except ImportError:  # pragma: no cover - exercised where orjson is missing
    _orjson = None  # type: ignore[assignment]

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

# A record nests two levels (the object and its signature array); ppp_json one.
RECORD_DEPTH = 2
PPP_DEPTH = 1
# Below this many brackets a text cannot nest deep enough to matter to the
# decoder, and the exact (slower) count is skipped.
_CHEAP_BRACKETS = 64

_HEX64 = re.compile(r"[0-9a-f]{64}\Z")
# A \u escape of a surrogate: the only way a lone surrogate gets into a str.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


class MalformedRecord(ValueError):
    """A piece of a line that is not a well-formed record; ``str()`` says why.
    ``incomplete``: the text ended before the JSON object did (a torn write)."""

    def __init__(self, reason: str, incomplete: bool = False) -> None:
        super().__init__(reason)
        self.incomplete = incomplete


class _Object(list):
    """A JSON object as the list of its (name, value) pairs, so that repeated
    and reordered members can be seen; distinct from a JSON array."""


_DECODER = json.JSONDecoder(object_pairs_hook=_Object)


class Record(object):
    """One parsed record: the members verification needs as attributes, and
    all fifteen in ``values`` (in FIELDS order; ``members`` as a dict)."""

    __slots__ = ("values", "id", "hash", "signature", "merkle_root", "coherence", "reputation",
                 "provenance", "place", "purpose", "prompt")

    def __init__(self, values: Sequence[Any], signature: bytes, ppp: Tuple[str, str, str]) -> None:
        self.values = values
        self.id: str = values[0]
        self.hash: str = values[3]
        self.signature = signature
        self.merkle_root: str = values[5]
        self.coherence = float(values[6])
        self.reputation = float(values[7])
        self.provenance, self.place, self.purpose = ppp
        self.prompt: str = values[10]

    @property
    def members(self) -> dict:
        members = dict(zip(FIELDS, self.values))
        members["signature"] = self.signature
        return members


_NONE = type(None)
# The types of the fifteen members as the writer produces them.
_TYPES = (str, str, int, str, list, str, float, float, str, str, str, str, str, str)
_EXPECTED_TYPES = {_TYPES + (str,), _TYPES + (_NONE,)}
_INT_ONLY = {int}
_STRING_MEMBERS = ("id", "timestamp", "hash", "merkle_root", "ppp_json", "ctx_json", "prompt",
                   "reasoning_trace_json", "output", "human_delta_chain_json")


def _check_members(names: Sequence[str], values: Sequence[Any]) -> Tuple[Sequence[Any], bytes]:
    """The values of the fifteen members (in order) and the signature bytes,
    from the members' names and values as they stand in the line."""
    if names != FIELDS:
        _explain_names(list(zip(names, values)))
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
        raise MalformedRecord("signature is not an array of 64 integers from 0 to 255") from None
    for index in (6, 7):
        # Capture writes both scores in [0, 1]. Holding them there also fixes
        # where the seal text's two numbers divide (see seal.py).
        if not 0.0 <= values[index] <= 1.0:  # False for NaN too
            raise MalformedRecord("%s is not a finite number from 0 to 1" % FIELDS[index])
    return values, signature


def _explain_names(pairs: List[Tuple[str, Any]]) -> None:
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        raise MalformedRecord("a member name occurs twice")
    missing = [name for name in FIELDS if name not in names]
    extra = [name for name in names if name not in FIELDS]
    if missing or extra:
        raise MalformedRecord("members differ from the fifteen record fields (missing: %s; unexpected: %s)"
                              % (", ".join(missing) or "none", ", ".join(extra[:5]) or "none"))
    raise MalformedRecord("the fifteen record fields are not in their fixed order")


def _explain_types(values: Sequence[Any]) -> Tuple[Any, ...]:
    """Raise for the first member of the wrong type; an integral score is
    accepted (it is the same double) and returned as a float."""
    members = dict(zip(FIELDS, values))
    for name in _STRING_MEMBERS:
        if type(members[name]) is not str:
            raise MalformedRecord("%s is not a string" % name)
    if members["core_insight_json"] is not None and type(members["core_insight_json"]) is not str:
        raise MalformedRecord("core_insight_json is neither a string nor null")
    if type(members["monotonic_nanos"]) is not int:
        raise MalformedRecord("monotonic_nanos is not an unsigned 64-bit integer")
    if type(members["signature"]) is not list:
        raise MalformedRecord("signature is not an array of 64 integers from 0 to 255")
    for name in ("coherence_score", "reputation_scalar"):
        value = members[name]
        if type(value) not in (int, float):
            raise MalformedRecord("%s is not a finite number from 0 to 1" % name)
        # Compared as an integer first: a 400-digit integer has no double.
        if type(value) is int and not 0 <= value <= 1:
            raise MalformedRecord("%s is not a finite number from 0 to 1" % name)
        members[name] = float(value)
    return tuple(members[name] for name in FIELDS)


# ppp_json as the module writes it when no value needs an escape: the
# captured texts are then exactly the values (JSON strings hold no raw
# control characters, and a quote or backslash would need an escape).
_PLAIN_PPP = re.compile(r'\{"provenance":"([^"\\\x00-\x1f]*)","place":"([^"\\\x00-\x1f]*)",'
                        r'"purpose":"([^"\\\x00-\x1f]*)"\}\Z')
_PPP_SHAPE = "ppp_json is not the object capture writes: provenance, place and purpose, three strings in that order"


# A log repeats a few triplets on every line: the parsed ones are kept.
_PPP_CACHE: Dict[str, Tuple[str, str, str]] = {}
_PPP_CACHE_SIZE = 256


def _parse_ppp(text: str) -> Tuple[str, str, str]:
    values = _PPP_CACHE.get(text)
    if values is None:
        values = _parse_ppp_text(text)
        if len(_PPP_CACHE) >= _PPP_CACHE_SIZE:
            _PPP_CACHE.clear()
        _PPP_CACHE[text] = values
    return values


def _parse_ppp_text(text: str) -> Tuple[str, str, str]:
    plain = _PLAIN_PPP.match(text)
    if plain is not None:
        return plain.group(1), plain.group(2), plain.group(3)
    if not (text.startswith('{"provenance":') and text.endswith('"}')):
        raise MalformedRecord(_PPP_SHAPE)
    try:
        pairs = bounded_json.loads(text, PPP_DEPTH, object_pairs_hook=_Object)
    except bounded_json.TooDeep:
        raise MalformedRecord(_PPP_SHAPE) from None
    except ValueError:
        raise MalformedRecord("ppp_json is not JSON text") from None
    if type(pairs) is not _Object or tuple(name for name, _ in pairs) != PPP_FIELDS:
        raise MalformedRecord(_PPP_SHAPE)
    values = tuple(value for _, value in pairs)
    if not all(type(value) is str for value in values):
        raise MalformedRecord("ppp_json holds a value that is not a string")
    if _SURROGATE_ESCAPE.search(text):
        _refuse_surrogates(zip(PPP_FIELDS, values), "ppp_json's ")
    # Capture's writer escapes exactly as json.dumps does without ASCII
    # escaping, so its text is this one, byte for byte.
    if json.dumps(dict(zip(PPP_FIELDS, values)), ensure_ascii=False, separators=(",", ":")) != text:
        raise MalformedRecord(_PPP_SHAPE + ", written compactly as capture writes it")
    return values  # type: ignore[return-value]


def _refuse_surrogates(named_values: Any, prefix: str = "") -> None:
    for name, value in named_values:
        if type(value) is str:
            try:
                value.encode("utf-8")
            except UnicodeEncodeError as error:
                raise MalformedRecord("%s%s holds a lone surrogate (\\u%04x), which capture never writes"
                                      % (prefix, name, ord(value[error.start]))) from None


def parse_record(piece: bytes) -> Record:
    """Parse the bytes of one record object (without its line feed).

    Returns a Record; raises MalformedRecord with a short reason.
    """
    # orjson stops at its own nesting limit (1,024 levels) with an error, so
    # hostile nesting reaches the depth check on the standard road.
    if _orjson is not None and piece[-1:] == b"}":
        try:
            members = _orjson.loads(piece)
            canonical = type(members) is dict and _orjson.dumps(members) == piece
        except Exception:  # the standard road below says what is wrong
            canonical = False
        if canonical:
            values, signature = _check_members(tuple(members), tuple(members.values()))
            return Record(values, signature, _parse_ppp(values[8]))
    return _parse_strictly(piece)


def _parse_strictly(piece: bytes) -> Record:
    """The standard road: every member seen in order, repeats included."""
    try:
        text = piece.decode("utf-8")
    except UnicodeDecodeError as error:
        raise MalformedRecord("not UTF-8 (byte %d)" % error.start) from None
    if not text.startswith("{"):
        raise MalformedRecord("not a JSON object")
    if text.count("[") + text.count("{") > _CHEAP_BRACKETS:
        try:
            bounded_json.check_depth(text, RECORD_DEPTH)
        except bounded_json.TooDeep as error:
            raise MalformedRecord("not a record: %s" % error) from None
    try:
        pairs, end = _DECODER.raw_decode(text)
    except json.JSONDecodeError as error:
        ended = error.msg.startswith("Unterminated string") or error.pos >= len(text) - 6
        raise MalformedRecord("not a JSON object: %s at character %d" % (error.msg, error.pos), ended) from None
    if end != len(text):
        raise MalformedRecord("not a JSON object: extra data at character %d" % end)
    if type(pairs) is not _Object:
        raise MalformedRecord("not a JSON object")
    names, raw_values = zip(*pairs) if pairs else ((), ())
    values, signature = _check_members(names, raw_values)
    if _SURROGATE_ESCAPE.search(text):
        _refuse_surrogates(zip(FIELDS, values))
    return Record(values, signature, _parse_ppp(values[8]))


def split_line(line: bytes) -> List[Tuple[int, bytes]]:
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
