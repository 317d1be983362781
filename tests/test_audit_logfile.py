"""Lines, offsets, torn tails and record parsing."""
import json

import pytest

from audit_logs import decode, edit, encode, read_lines, seal
from vorm_zel_audit import logfile


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, 5)
    return path


def test_complete_length_ends_after_the_last_line_feed(log):
    size = log.stat().st_size
    assert logfile.complete_length(str(log)) == size
    with open(str(log), "ab") as handle:
        handle.write(b'{"id":"zel_torn')
    assert logfile.complete_length(str(log)) == size
    assert logfile.complete_length(str(log), size + 15) == size


def test_complete_length_of_an_empty_log_and_one_without_line_feed(tmp_path):
    empty = tmp_path / "empty.wal"
    empty.write_bytes(b"")
    assert logfile.complete_length(str(empty)) == 0
    torn = tmp_path / "torn.wal"
    torn.write_bytes(b"x" * (3 << 20))
    assert logfile.complete_length(str(torn)) == 0


def test_line_boundaries_end_on_line_feeds(log):
    size = log.stat().st_size
    ranges = logfile.line_boundaries(str(log), 0, size, 100)
    assert ranges[0][0] == 0 and ranges[-1][1] == size
    data = log.read_bytes()
    for (low, high), (next_low, _) in zip(ranges, ranges[1:]):
        assert high == next_low
    for low, high in ranges:
        assert data[high - 1:high] == b"\n"
    assert len(ranges) == 5  # every line is longer than 100 bytes


def test_iter_lines_gives_offsets(log):
    data = log.read_bytes()
    seen = list(logfile.iter_lines(data, 1000))
    assert len(seen) == 5
    for index, offset, line in seen:
        assert data[offset - 1000:offset - 1000 + len(line)] == line
        assert data[offset - 1000 + len(line):offset - 1000 + len(line) + 1] == b"\n"


def test_parse_record_reads_a_real_line(log):
    line = read_lines(log)[0]
    record = logfile.parse_record(line)
    members = json.loads(line)
    assert record.hash == members["hash"]
    assert record.signature == bytes(members["signature"])
    assert (record.provenance, record.place, record.purpose) == ("triage-agent/v3", "eu-west-1/worker-0",
                                                                 "resolve ticket")
    assert record.prompt == "Ticket 0: the printer is on fire \u2603"


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
    (lambda line: edit(line, ppp_json="{"), "ppp_json is not JSON"),
    (lambda line: edit(line, ppp_json='{"place":"a","provenance":"b","purpose":"c"}'), "ppp_json is not an object"),
    (lambda line: edit(line, ppp_json='{"provenance":1,"place":"a","purpose":"c"}'), "not a string"),
])
def test_parse_record_refuses_what_is_not_a_record(log, mangle, reason):
    with pytest.raises(logfile.MalformedRecord) as caught:
        logfile.parse_record(mangle(read_lines(log)[0]))
    assert reason in str(caught.value)


def test_an_integral_score_is_the_same_double(log):
    line = read_lines(log)[0]
    value = json.loads(line)["reputation_scalar"]
    text = line.replace(b'"reputation_scalar":' + repr(value).encode(), b'"reputation_scalar":1')
    assert logfile.parse_record(text).reputation == 1.0


def test_split_line_cuts_at_record_starts(log):
    first, second = read_lines(log)[:2]
    assert logfile.split_line(first) == [(0, first)]
    assert logfile.split_line(first + second) == [(0, first), (len(first), second)]
    torn = first[:100]
    assert logfile.split_line(torn + second) == [(0, torn), (100, second)]
    assert logfile.split_line(b"garbage") == [(0, b"garbage")]
    # A quoted record start inside a string is escaped, so never a cut.
    assert b'{\\"id\\":\\"' not in first or len(logfile.split_line(first)) == 1
