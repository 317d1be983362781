"""Lines, offsets, torn tails and record parsing."""
import json
import os
import re

import pytest

from audit_logs import decode, edit, encode, read_lines, seal
from vorm_zel_audit import logfile, record


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, 5)
    return path


def complete_length(path):
    with open(str(path), "rb") as handle:
        return logfile.complete_length(handle, os.fstat(handle.fileno()).st_size)


def test_complete_length_ends_after_the_last_line_feed(log):
    size = log.stat().st_size
    assert complete_length(log) == size
    with open(str(log), "ab") as handle:
        handle.write(b'{"id":"zel_torn')
    assert complete_length(log) == size


def test_complete_length_of_an_empty_log_and_one_without_line_feed(tmp_path):
    empty = tmp_path / "empty.wal"
    empty.write_bytes(b"")
    assert complete_length(empty) == 0
    torn = tmp_path / "torn.wal"
    torn.write_bytes(b"x" * (3 << 20))
    assert complete_length(torn) == 0


def spans(data, target, cap, tmp_path):
    path = tmp_path / "spans.wal"
    path.write_bytes(data)
    with open(str(path), "rb") as handle:
        return logfile.plan_spans(handle, 0, len(data), target, cap)


def test_spans_end_on_line_feeds_and_tile_the_log(log, tmp_path):
    data = log.read_bytes()
    found = spans(data, 100, logfile.DEFAULT_MAX_LINE_BYTES, tmp_path)
    assert found[0].start == 0 and found[-1].end == len(data)
    for span, after in zip(found, found[1:]):
        assert span.end == after.start
    for span in found:
        assert data[span.end - 1:span.end] == b"\n" and not span.overlong
    assert len(found) == 5  # every line is longer than 100 bytes


@pytest.mark.parametrize("target", [1, 7, 40, 1 << 20])
def test_a_line_over_the_cap_gets_an_overlong_span_of_its_own(tmp_path, target):
    lines = [b"a" * 10, b"b" * 31, b"c" * 30, b"d" * 5000, b"e" * 3, b"f" * 64]
    data = b"".join(line + b"\n" for line in lines)
    found = spans(data, target, 30, tmp_path)
    assert found[0].start == 0 and found[-1].end == len(data)
    for span, after in zip(found, found[1:]):
        assert span.end == after.start
    overlong = [data[span.start:span.end] for span in found if span.overlong]
    assert overlong == [b"b" * 31 + b"\n", b"d" * 5000 + b"\n", b"f" * 64 + b"\n"]
    for span in found:
        if not span.overlong:
            assert all(len(line) <= 30 for line in data[span.start:span.end].split(b"\n"))


def test_iter_lines_gives_offsets(log):
    data = log.read_bytes()
    seen = list(logfile.iter_lines(data, 1000))
    assert len(seen) == 5
    for index, offset, line in seen:
        assert data[offset - 1000:offset - 1000 + len(line)] == line
        assert data[offset - 1000 + len(line):offset - 1000 + len(line) + 1] == b"\n"


def test_parse_record_reads_a_real_line(log):
    line = read_lines(log)[0]
    parsed = record.parse_record(line)
    members = json.loads(line)
    assert parsed.hash == members["hash"]
    assert parsed.signature == bytes(members["signature"])
    assert (parsed.provenance, parsed.place, parsed.purpose) == ("triage-agent/v3", "eu-west-1/worker-0",
                                                                 "resolve ticket")
    assert parsed.prompt == "Ticket 0: the printer is on fire \u2603"


@pytest.mark.parametrize("mangle,reason", [
    (lambda line: line[:-5], "not a JSON object"),
    (lambda line: b"[1,2]", "not a JSON object"),
    (lambda line: b"\xff" + line, "not UTF-8"),
    (lambda line: encode([p for p in decode(line) if p[0] != "output"]), "missing: output"),
    (lambda line: encode(decode(line) + [("extra", 1)]), "unexpected: extra"),
    (lambda line: encode(decode(line)[1:2] + decode(line)[:1] + decode(line)[2:]), "fixed order"),
    (lambda line: line[:-1] + b',"prompt":"again"}', "occurs twice"),
    (lambda line: edit(line, hash="AB" * 32), "hash is not 64 lower-case hex digits"),
    (lambda line: edit(line, merkle_root="00"), "merkle_root is not 64"),
    (lambda line: edit(line, signature=lambda s: s[:63]), "signature is not an array"),
    (lambda line: edit(line, signature=lambda s: s[:63] + [256]), "signature is not an array"),
    (lambda line: edit(line, signature=lambda s: s[:63] + [True]), "signature is not an array"),
    (lambda line: edit(line, coherence_score="0.5"), "coherence_score is not a finite number"),
    (lambda line: edit(line, reputation_scalar=None), "reputation_scalar is not a finite number"),
    (lambda line: edit(line, monotonic_nanos=-1), "monotonic_nanos"),
    (lambda line: edit(line, prompt=5), "prompt is not a string"),
    (lambda line: edit(line, core_insight_json=5), "core_insight_json"),
    (lambda line: edit(line, coherence_score=1.0000000000000002), "coherence_score is not a finite number from 0 to 1"),
    (lambda line: edit(line, reputation_scalar=-1e-300), "reputation_scalar is not a finite number from 0 to 1"),
    (lambda line: edit(line, reputation_scalar=10 ** 400), "reputation_scalar is not a finite number from 0 to 1"),
    (lambda line: re.sub(rb'"coherence_score":[^,]*', b'"coherence_score":1e999', line), "coherence_score is not"),
    (lambda line: edit(line, ppp_json='{"provenance":"a","place":"b","purpose":"c"'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='{"provenance":"a"\\u002c"place":"b","purpose":"c"}'), "ppp_json is not JSON"),
    (lambda line: edit(line, ppp_json='{"place":"a","provenance":"b","purpose":"c"}'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='{"provenance":1,"place":"a","purpose":"c"}'), "ppp_json holds a value"),
    (lambda line: edit(line, ppp_json='{"provenance":"a","place":["b"],"purpose":"c"}'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='[1]'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='[""]'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='[["provenance","a"],["place","b"],["purpose","c"]]'),
     "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='{"provenance": "a", "place": "b", "purpose": "c"}'),
     "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='{"provenance":' + "[" * 5000 + '"x"' + "]" * 5000 + ',"place":"b",'
                                      '"purpose":"c"}'), "ppp_json is not the object"),
    (lambda line: edit(line, ppp_json='{"provenance":"\\ud800","place":"b","purpose":"c"}'), "lone surrogate"),
    (lambda line: edit(line, prompt=[""]), "prompt is not a string"),
    (lambda line: edit(line, prompt={"a": 1}), "prompt is not a string"),
    (lambda line: line.replace(b'"prompt":"', b'"prompt":"\\ud800'), "prompt holds a lone surrogate"),
    (lambda line: b"[" * 5000 + b"]" * 5000, "not a JSON object"),
    (lambda line: b'{"id":' + b"[" * 5000 + b"]" * 5000 + b"}", "not a record: nested 5001 levels deep"),
    (lambda line: b"{" + b'"a":{' * 5000 + b"}" * 5001, "not a record: nested 5001 levels deep"),
    (lambda line: b'{"id":"zel_x"' + b"\x00" + b"}", "not a JSON object"),
    (lambda line: b'{"id":"x","id":"x","id":"x"}', "occurs twice"),
])
def test_parse_record_refuses_what_is_not_a_record(log, mangle, reason):
    with pytest.raises(record.MalformedRecord) as caught:
        record.parse_record(mangle(read_lines(log)[0]))
    assert reason in str(caught.value)


def test_an_integral_score_is_the_same_double(log):
    line = read_lines(log)[0]
    value = json.loads(line)["reputation_scalar"]
    text = line.replace(b'"reputation_scalar":' + repr(value).encode(), b'"reputation_scalar":1')
    assert record.parse_record(text).reputation == 1.0


def test_split_line_cuts_at_record_starts(log):
    first, second = read_lines(log)[:2]
    assert record.split_line(first) == [(0, first)]
    assert record.split_line(first + second) == [(0, first), (len(first), second)]
    torn = first[:100]
    assert record.split_line(torn + second) == [(0, torn), (100, second)]
    assert record.split_line(b"garbage") == [(0, b"garbage")]
    # A quoted record start inside a string is escaped, so never a cut.
    assert b'{\\"id\\":\\"' not in first or len(record.split_line(first)) == 1
