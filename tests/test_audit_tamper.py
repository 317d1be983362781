"""Every kind of tampering the verifier must find, located to the line and
byte, without one bad line cascading into the lines after it; and what it
cannot find without a checkpoint. Logs are written by the real module.

Each case runs twice: in-process, and in worker processes with ranges so
small that failures fall on range edges.
"""
import json

import pytest

from audit_logs import (decode, edit, kinds, offsets, other_key_line, public_key_of, read_lines, seal,
                        write_lines)
from vorm_zel_audit import failures, verify_log
from vorm_zel_audit.seal import next_root_hex, payload_digest

RECORDS = 40
N = 17  # the line (1-based) that is tampered with

MODES = {
    "in-process": dict(jobs=1),
    "workers": dict(jobs=2, parallel_min_lines=0, chunk_bytes=3000),
}


@pytest.fixture(params=sorted(MODES))
def check(request):
    options = MODES[request.param]

    def run(path, key, **more):
        merged = dict(options)
        merged.update(more)
        return verify_log(str(path), key, **merged)
    return run


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, RECORDS)
    return path, public_key_of(path), read_lines(path)


def members(line):
    return dict(decode(line))


def test_the_untouched_log_verifies(log, check):
    path, key, lines = log
    report = check(path, key)
    assert report.passed and report.failures == [] and report.failure_counts == {}
    assert (report.lines, report.records, report.lines_checked) == (RECORDS, RECORDS, RECORDS)
    assert [(s.start, s.records, s.first_line, s.last_line) for s in report.segments] == \
        [("genesis", RECORDS, 1, RECORDS)]
    assert report.segments[0].last_root == members(lines[-1])["merkle_root"]
    assert report.torn_tail is None


@pytest.mark.parametrize("member,change", [
    ("prompt", lambda v: v + "!"),
    ("ppp_json", lambda v: v.replace("triage-agent/v3", "triage-agent/v4")),
    ("coherence_score", lambda v: v + 1e-12),
    ("reputation_scalar", lambda v: v / 2),
])
def test_a_changed_sealed_member_is_a_hash_mismatch(log, check, member, change):
    path, key, lines = log
    lines[N - 1] = edit(lines[N - 1], **{member: change})
    write_lines(path, lines)
    report = check(path, key)
    assert not report.passed
    assert kinds(report) == [(failures.HASH_MISMATCH, N)]
    assert report.failures[0].offset == offsets(lines)[N - 1]
    assert report.failures[0].record_id == members(lines[N - 1])["id"]


def _reseal(line):
    """The line with its prompt changed and its hash recomputed to match."""
    values = members(line)
    ppp = json.loads(values["ppp_json"])
    prompt = values["prompt"] + " (edited)"
    digest = payload_digest(ppp["provenance"], ppp["place"], ppp["purpose"], prompt,
                            values["coherence_score"], values["reputation_scalar"]).hex()
    return edit(line, prompt=prompt, hash=digest), digest


def test_a_recomputed_hash_fails_the_signature_and_the_chain_of_that_line_only(log, check):
    path, key, lines = log
    lines[N - 1], _ = _reseal(lines[N - 1])
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.BAD_SIGNATURE, N), (failures.CHAIN_BREAK, N)]


def test_a_forger_who_also_rechains_fails_only_the_signature(log, check):
    path, key, lines = log
    lines[N - 1], digest = _reseal(lines[N - 1])
    root = next_root_hex(members(lines[N - 2])["merkle_root"], digest)
    lines[N - 1] = edit(lines[N - 1], merkle_root=root)
    for index in range(N, RECORDS):
        root = next_root_hex(root, members(lines[index])["hash"])
        lines[index] = edit(lines[index], merkle_root=root)
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.BAD_SIGNATURE, N)]


def test_a_changed_signature_is_a_bad_signature(log, check):
    path, key, lines = log
    lines[N - 1] = edit(lines[N - 1], signature=lambda s: [s[0] ^ 1] + s[1:])
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.BAD_SIGNATURE, N)]


def test_a_changed_merkle_root_breaks_the_chain_at_that_line_only(log, check):
    path, key, lines = log
    lines[N - 1] = edit(lines[N - 1], merkle_root="ab" * 32)
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.CHAIN_BREAK, N)]
    assert "merkle_root was changed" in report.failures[0].detail
    # The line is put back into its chain: one chain of all records.
    assert [(s.start, s.records) for s in report.segments] == [("genesis", RECORDS)]


def test_a_removed_line_breaks_the_chain_at_the_line_after_it(log, check):
    path, key, lines = log
    del lines[N - 1]
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.CHAIN_BREAK, N)]
    assert report.failures[0].offset == offsets(lines)[N - 1]
    assert [(s.start, s.records) for s in report.segments] == [("genesis", N - 1), ("unlinked", RECORDS - N)]


def test_removed_first_lines_break_the_chain_at_line_1(log, check):
    path, key, lines = log
    write_lines(path, lines[3:])
    assert kinds(check(path, key)) == [(failures.CHAIN_BREAK, 1)]


def test_swapped_lines_break_the_chain_once(log, check):
    path, key, lines = log
    lines[N - 1], lines[N] = lines[N], lines[N - 1]
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.CHAIN_BREAK, N)]


def test_a_line_moved_far_away_breaks_the_chain_where_it_was_taken_from(log, check):
    path, key, lines = log
    moved = lines.pop(N - 1)
    lines.insert(RECORDS - 5, moved)
    write_lines(path, lines)
    report = check(path, key)
    # Where it now stands it still extends the (open) root of the record it
    # followed, as a record of a second writer would: the gap is the evidence.
    assert kinds(report) == [(failures.CHAIN_BREAK, N)]
    assert [(s.start, s.records, s.last_line) for s in report.segments] == \
        [("genesis", N, RECORDS - 4), ("unlinked", RECORDS - N, RECORDS)]


def test_a_repeated_line_breaks_the_chain_at_the_copy(log, check):
    path, key, lines = log
    lines.insert(N, lines[N - 1])
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.CHAIN_BREAK, N + 1)]


def test_a_copied_chain_start_is_a_duplicate(log, check):
    path, key, lines = log
    lines.append(lines[0])
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.DUPLICATE, RECORDS + 1)]
    assert "line 1" in report.failures[0].detail


def test_an_inserted_forgery_that_chains_fails_only_its_signature(log, check, tmp_path):
    path, key, lines = log
    lines.insert(N - 1, other_key_line(tmp_path, 99, members(lines[N - 2])["merkle_root"]))
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.BAD_SIGNATURE, N)]


def test_an_inserted_record_of_another_engine_fails_its_signature(log, check, tmp_path):
    path, key, lines = log
    lines.insert(N - 1, other_key_line(tmp_path, 99))
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.BAD_SIGNATURE, N)]


def test_an_inserted_garbage_line_is_malformed_and_nothing_else(log, check):
    path, key, lines = log
    lines.insert(N - 1, b"this is not a record")
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.MALFORMED_LINE, N)]
    assert report.failures[0].offset == offsets(lines)[N - 1]


def test_a_line_replaced_by_garbage_is_malformed_and_the_next_line_unlinked(log, check):
    path, key, lines = log
    lines[N - 1] = lines[N - 1][:200]
    write_lines(path, lines)
    assert kinds(check(path, key)) == [(failures.MALFORMED_LINE, N), (failures.CHAIN_BREAK, N + 1)]


def test_reordered_members_are_malformed(log, check):
    path, key, lines = log
    pairs = decode(lines[N - 1])
    pairs[3], pairs[5] = pairs[5], pairs[3]
    lines[N - 1] = json.dumps(dict(pairs), separators=(",", ":"), ensure_ascii=False).encode()
    write_lines(path, lines)
    report = check(path, key)
    assert kinds(report) == [(failures.MALFORMED_LINE, N), (failures.CHAIN_BREAK, N + 1)]
    assert "order" in report.failures[0].detail


def test_a_torn_tail_is_reported_and_fails_only_when_strict(log, check):
    path, key, lines = log
    write_lines(path, lines, tail=lines[0][:300])
    report = check(path, key)
    assert report.passed
    assert kinds(report) == [(failures.TORN_TAIL, RECORDS + 1)]
    assert report.torn_tail == {"offset": sum(len(line) + 1 for line in lines), "length": 300,
                                "line": RECORDS + 1}
    assert report.bytes_verified == report.file_bytes - 300
    assert not check(path, key, strict=True).passed


def test_another_key_fails_every_signature_with_a_hint(log, check, tmp_path):
    path, _, lines = log
    wrong = public_key_of(tmp_path / "another.wal")
    report = check(path, wrong)
    assert report.failure_counts == {failures.BAD_SIGNATURE: RECORDS}
    assert report.hints and "another key" in report.hints[0]
    assert [(s.start, s.records) for s in report.segments] == [("genesis", RECORDS)]


@pytest.mark.parametrize("member,value", [
    ("output", "Decision: refund everything"),
    ("ctx_json", '{"ticket": 0}'),
    ("reasoning_trace_json", "[]"),
    ("human_delta_chain_json", '{"chain_id":"x","agent_decision_ref":"y","resolved":true,"terminal_node":"z"}'),
    ("core_insight_json", '{"lesson":"made up"}'),
    ("id", "zel_00000000-0000-4000-8000-000000000000"),
    ("timestamp", "2020-01-01T00:00:00+00:00"),
    ("monotonic_nanos", 1),
])
def test_unsealed_members_are_not_covered_without_a_checkpoint(log, check, member, value):
    path, key, lines = log
    lines[N - 1] = edit(lines[N - 1], **{member: value})
    write_lines(path, lines)
    report = check(path, key)
    assert report.passed
    assert member in report.to_dict()["not_covered_fields"]


def test_removed_last_lines_are_not_found_without_a_checkpoint(log, check):
    path, key, lines = log
    write_lines(path, lines[:-3])
    assert check(path, key).passed


def test_max_failures_bounds_the_details_not_the_counts(log, check, tmp_path):
    path, _, _ = log
    report = check(path, public_key_of(tmp_path / "another.wal"), max_failures=3)
    assert len(report.failures) == 3 and report.failures_truncated
    assert report.failure_counts[failures.BAD_SIGNATURE] == RECORDS
    assert [failure.line for failure in report.failures] == [1, 2, 3]
