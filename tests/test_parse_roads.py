"""The faster road through parse_record (orjson, accepted only when the line
re-encodes byte for byte) judges every line exactly as the standard-library
road does: the same Record, or the same MalformedRecord with the same reason.

(This file sorts after test_audit_*: its many examples grow the test
process, and a subprocess that a test there starts reports a peak RSS that,
on Linux, includes this process's RSS when it forked.)
"""
import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from audit_logs import read_lines, seal
from vorm_zel_audit import record
from vorm_zel_audit.record import MalformedRecord, parse_record

orjson = pytest.importorskip("orjson")


@pytest.fixture(scope="module")
def real_lines(tmp_path_factory):
    path = tmp_path_factory.mktemp("fast") / "audit.wal"
    seal(path, 6)
    return read_lines(path)


def outcome(parse, piece):
    try:
        parsed = parse(piece)
    except MalformedRecord as error:
        return ("malformed", str(error), error.incomplete)
    except Exception as error:  # compared too: both roads must fail alike
        return ("error", type(error).__name__)
    return ("record", tuple(parsed.values), parsed.signature, (parsed.provenance, parsed.place, parsed.purpose))


def assert_same_judgement(piece):
    assert outcome(parse_record, piece) == outcome(record._parse_strictly, piece), piece[:300]


def test_lines_capture_writes_take_the_fast_road(real_lines, monkeypatch):
    def refuse(piece):
        raise AssertionError("the standard road was taken")

    monkeypatch.setattr(record, "_parse_strictly", refuse)
    for line in real_lines:
        assert parse_record(line).hash == json.loads(line)["hash"]


def test_without_orjson_the_standard_road_judges(real_lines, monkeypatch):
    monkeypatch.setattr(record, "_orjson", None)
    assert parse_record(real_lines[0]).hash == json.loads(real_lines[0])["hash"]


def _score(text):
    return lambda line: re.sub(rb'"coherence_score":[^,]*', b'"coherence_score":' + text, line, count=1)


def _swap(line, old, new):
    assert old in line, old
    return line.replace(old, new, 1)


# Lines that orjson decodes into a plausible record, although the standard
# road refuses them or reads other values: each must be judged alike.
EDGE_EDITS = {
    "repeated member": lambda line: line[:-1] + b',"id":"again"}',
    "repeated member hidden by an escape": lambda line: line[:-1] + b',"\\u0069d":"again"}',
    "first member repeated last": lambda line: _swap(line, b'{"id":', b'{"id":"x","id":'),
    "whitespace between members": lambda line: _swap(line, b',"hash":', b', "hash" : '),
    "trailing whitespace": lambda line: line + b" ",
    "leading whitespace": lambda line: b" " + line,
    "escaped plain character": lambda line: _swap(line, b'"id":"zel_', b'"id":"\\u007ael_'),
    "lone high surrogate": lambda line: _swap(line, b'"output":"', b'"output":"\\ud800'),
    "lone low surrogate": lambda line: _swap(line, b'"prompt":"', b'"prompt":"\\udfff'),
    "surrogate pair": lambda line: _swap(line, b'"prompt":"', b'"prompt":"\\ud83d\\ude00'),
    "integer score": _score(b'1'),
    "huge integer score": _score(b"9" * 400),
    "score beyond 2**64": _score(b"18446744073709551616"),
    "negative zero score": _score(b'-0.0'),
    "score as exponent": _score(b'1e0'),
    "NaN score": _score(b'NaN'),
    "monotonic_nanos 2**64": lambda line: _swap(line, b'"monotonic_nanos":', b'"monotonic_nanos":18446744073709551616'
                                                + b',"x":'),
    "negative nanos": lambda line: _swap(line, b'"monotonic_nanos":', b'"monotonic_nanos":-'),
    "boolean in the signature": lambda line: _swap(line, b'"signature":[', b'"signature":[true,'),
    "float in the signature": lambda line: _swap(line, b'"signature":[', b'"signature":[1.0,'),
    "null prompt": lambda line: _swap(line, b'"prompt":"', b'"prompt":null,"y":"'),
    "deep nesting": lambda line: _swap(line, b'"output":', b'"output":' + b"[" * 5000 + b"]" * 5000 + b',"z":'),
    "not an object": lambda line: b"[" + line + b"]",
    "torn": lambda line: line[:len(line) // 2],
}


# Edits that leave a record both roads accept (with the same values).
ACCEPTED_BY_BOTH = {"negative zero score", "surrogate pair", "escaped plain character", "integer score",
                    "score as exponent", "whitespace between members"}


@pytest.mark.parametrize("name", sorted(EDGE_EDITS))
def test_edge_lines_are_judged_alike(real_lines, name):
    piece = EDGE_EDITS[name](real_lines[1])
    assert_same_judgement(piece)
    if name not in ACCEPTED_BY_BOTH:
        assert outcome(parse_record, piece)[0] != "record", name


# Mutations of real lines: byte edits anywhere, and edits aimed at the
# places where two decoders could differ (numbers, escapes, members).
_TOKENS = [b'"', b"\\", b"\\u0000", b"\\ud800", b"\\udc00", b"\\u00e9", b",", b":", b"{", b"}", b"[", b"]",
           b" ", b"\t", b"-", b"0", b"1e5", b".5", b"true", b"null", b"NaN", b"Infinity", b"\xff", b"\xc3\xa9",
           b'"id":"x",', b',"prompt":"p"', b"18446744073709551616", b"9" * 30]


@st.composite
def mutated(draw, lines):
    line = bytearray(draw(st.sampled_from(lines)))
    for _ in range(draw(st.integers(1, 3))):
        position = draw(st.integers(0, len(line)))
        kind = draw(st.sampled_from(["insert", "replace", "delete", "flip"]))
        token = draw(st.sampled_from(_TOKENS))
        if kind == "insert":
            line[position:position] = token
        elif kind == "replace":
            line[position:position + len(token)] = token
        elif kind == "delete":
            line[position:position + draw(st.integers(1, 8))] = b""
        elif position < len(line):
            line[position] ^= 1 << draw(st.integers(0, 7))
    return bytes(line)


@pytest.mark.slow
def test_mutated_real_lines_are_judged_alike(real_lines):
    @settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
    @given(mutated(real_lines))
    def check(piece):
        assert_same_judgement(piece)

    check()


@pytest.mark.slow
def test_mutated_members_are_judged_alike(real_lines):
    """Values replaced by anything JSON can hold, in a line re-encoded the
    compact way, so that most reach the member checks on the fast road."""
    values = st.recursive(
        st.none() | st.booleans() | st.integers(-2 ** 70, 2 ** 70) | st.floats(allow_nan=False)
        | st.text(max_size=20),
        lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=4), children, max_size=3),
        max_leaves=6)

    @settings(max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.sampled_from(real_lines), st.sampled_from(record.FIELDS), values)
    def check(line, name, value):
        members = json.loads(line)
        members[name] = value
        assert_same_judgement(json.dumps(members, separators=(",", ":"), ensure_ascii=False).encode("utf-8"))

    check()
