"""Hostile input: no line, tail or file can crash, hang or silently stop a
verification. Each hostile line becomes a typed failure at its own line and
byte offset, and the honest lines around it still verify; the bytes after
the last line feed are judged; only regular files are read."""
import json
import os
import re
import subprocess
import sys

import pytest

from conftest import not_when_sanitized
from audit_logs import edit, kinds, offsets, other_key_line, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import failures, verify_log
from vorm_zel_audit.log_summary import line_view, summarize
from vorm_zel_audit.seal import seal_number

RECORDS = 12
N = 6  # the line (1-based) that is replaced

MODES = {
    "in-process": dict(jobs=1),
    "workers": dict(jobs=2, parallel_min_lines=0, chunk_bytes=1500),
}


@pytest.fixture(params=sorted(MODES))
def options(request):
    return MODES[request.param]


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, RECORDS)
    return path, public_key_of(path), read_lines(path)


def resplit_scores(line):
    """The line with its two scores re-split so that the seal text (and so
    the hash and signature) stays the same: the attack a range check stops."""
    members = json.loads(line)
    text = seal_number(members["coherence_score"]) + seal_number(members["reputation_scalar"])
    for cut in range(1, len(text)):
        try:
            first, second = float(text[:cut]), float(text[cut:])
        except ValueError:
            continue
        if (seal_number(first) + seal_number(second) == text
                and (first, second) != (members["coherence_score"], members["reputation_scalar"])):
            return edit(line, coherence_score=first, reputation_scalar=second)
    raise AssertionError("no re-split of %r" % text)


def re_sub(pattern, replacement):
    return lambda line: re.sub(pattern, replacement, line, count=1)


# Each hostile line replaces line N; the failure it must give.
HOSTILE = {
    "400-digit integer score": (re_sub(rb'"coherence_score":[^,]*', b'"coherence_score":' + b"9" * 400),
                                "coherence_score is not a finite number from 0 to 1"),
    "score above 1": (lambda line: edit(line, reputation_scalar=1.5), "reputation_scalar is not a finite"),
    "negative score": (lambda line: edit(line, coherence_score=-0.25), "coherence_score is not a finite"),
    "infinite score": (re_sub(rb'"reputation_scalar":[^,]*', b'"reputation_scalar":1e999'), "not a finite"),
    "scores re-split, same seal": (resplit_scores, "is not a finite number from 0 to 1"),
    "5,000 [": (lambda line: b"[" * 5000, "not a JSON object"),
    "5,000 nested arrays in a member": (lambda line: b'{"id":' + b"[" * 5000 + b"]" * 5000 + b"}", "nested"),
    "ppp_json an array": (lambda line: edit(line, ppp_json="[1]"), "ppp_json is not the object"),
    "ppp_json [\"\"]": (lambda line: edit(line, ppp_json='[""]'), "ppp_json is not the object"),
    "ppp_json as pairs": (lambda line: edit(line, ppp_json='[["provenance","a"],["place","b"],["purpose","c"]]'),
                          "ppp_json is not the object"),
    "prompt [\"\"]": (lambda line: edit(line, prompt=[""]), "prompt is not a string"),
    "lone surrogate in prompt": (lambda line: line.replace(b'"prompt":"', b'"prompt":"\\ud800', 1),
                                 "prompt holds a lone surrogate"),
    "NUL bytes": (lambda line: line[:50] + b"\x00\x00" + line[50:], "not a JSON object"),
    "invalid UTF-8": (lambda line: line[:50] + b"\xc3\x28" + line[50:], "not UTF-8"),
}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_a_hostile_line_is_a_malformed_line_and_the_others_still_verify(log, options, name):
    path, key, lines = log
    mangle, reason = HOSTILE[name]
    lines[N - 1] = mangle(lines[N - 1])
    write_lines(path, lines)
    report = verify_log(str(path), key, **options)
    assert not report.passed
    assert kinds(report)[0] == (failures.MALFORMED_LINE, N)
    assert reason in report.failures[0].detail
    assert report.failures[0].offset == offsets(lines)[N - 1]
    # The honest lines after it were checked: only the line after it breaks
    # its chain (the record it followed is gone), nothing else fails.
    assert kinds(report)[1:] == [(failures.CHAIN_BREAK, N + 1)]
    assert report.records_checked == RECORDS - 1 and report.records_failed == 0
    # inspect survives it too.
    summary = summarize(str(path))
    assert (summary["malformed_lines"], summary["records"]) == (1, RECORDS - 1)
    assert line_view(str(path), N)["records"][0]["malformed"]


def test_the_resplit_scores_kept_the_hash_and_signature(log):
    # What made the re-split an attack: the hash still matches.
    path, key, lines = log
    from vorm_zel_audit.record import parse_record
    from vorm_zel_audit.seal import payload_digest
    before, after = json.loads(lines[0]), json.loads(resplit_scores(lines[0]))
    assert max(after["coherence_score"], after["reputation_scalar"]) > 1
    ppp = json.loads(before["ppp_json"])
    assert payload_digest(ppp["provenance"], ppp["place"], ppp["purpose"], before["prompt"],
                          after["coherence_score"], after["reputation_scalar"]).hex() == before["hash"]
    assert parse_record(lines[0]).hash == before["hash"]


def test_a_line_over_the_cap_is_reported_without_being_read(log, options):
    path, key, lines = log
    lines[N - 1] = lines[N - 1] + b" " * 5000
    write_lines(path, lines)
    report = verify_log(str(path), key, max_line_bytes=4000, **options)
    assert kinds(report) == [(failures.MALFORMED_LINE, N), (failures.CHAIN_BREAK, N + 1)]
    assert "more than the line cap of 4000 bytes" in report.failures[0].detail
    assert report.lines == RECORDS and report.records_checked == RECORDS - 1


@pytest.mark.slow
@not_when_sanitized("ASan keeps freed memory in quarantine, so the peak is not the program's")
def test_memory_stays_bounded_by_the_cap_not_by_a_300_mb_line(log, tmp_path):
    path, key, lines = log
    with open(str(path), "wb") as handle:
        handle.write(lines[0] + b"\n")
        handle.truncate(300 << 20)  # a sparse 300 MB run of NUL bytes, then
        handle.seek(0, os.SEEK_END)
        handle.write(b"\n" + lines[1] + b"\n")
    # The peak of this process's own memory (VmHWM; ru_maxrss would carry the
    # parent's peak across fork and exec).
    script = ("import json, re, sys\n"
              "from vorm_zel_audit import verify_log\n"
              "from vorm_zel_audit.log_summary import summarize\n"
              "report = verify_log(sys.argv[1], sys.argv[2], jobs=1)\n"
              "summary = summarize(sys.argv[1])\n"
              "peak = int(re.search(r'VmHWM:\\s+(\\d+) kB', open('/proc/self/status').read()).group(1))\n"
              "print(json.dumps([[f.kind for f in report.failures], report.records_checked,\n"
              "                  summary['overlong_lines'], peak]))\n")
    result = subprocess.run([sys.executable, "-c", script, str(path), key], stdout=subprocess.PIPE, check=True,
                            timeout=300)
    found, checked, overlong, peak_kib = json.loads(result.stdout)
    assert found == [failures.MALFORMED_LINE] and checked == 2 and overlong == 1
    assert peak_kib < 150 * 1024, "peak RSS %d KiB for a 300 MB line" % peak_kib


# -- the bytes after the last line feed ----------------------------------------

def test_a_whole_forged_log_without_a_line_feed_fails(log, options, tmp_path):
    path, key, _ = log
    forged = [other_key_line(tmp_path, number) for number in range(3)]
    path.write_bytes(b"".join(forged))
    report = verify_log(str(path), key, **options)
    assert not report.passed
    assert report.failure_counts[failures.MALFORMED_LINE] == 1
    assert "hold 3 record starts" in report.failures_of(failures.MALFORMED_LINE)[0].detail
    assert report.failure_counts[failures.BAD_SIGNATURE] == 3
    assert report.records_checked == 3 and report.lines == 0


@pytest.mark.parametrize("tail,kind,passes", [
    ("forged record", failures.BAD_SIGNATURE, False),
    ("two honest records", failures.MALFORMED_LINE, False),
    ("garbage", failures.MALFORMED_LINE, False),
    ("a record's beginning", failures.TORN_TAIL, True),
])
def test_the_tail_is_judged(log, options, tmp_path, tail, kind, passes):
    path, key, lines = log
    make = {
        "forged record": lambda: other_key_line(tmp_path, 7, json.loads(lines[-1])["merkle_root"]),
        "two honest records": lambda: lines[-2] + lines[-1],
        "garbage": lambda: b"not a record",
        "a record's beginning": lambda: lines[0][:120],
    }[tail]
    write_lines(path, lines[:-2], tail=make())
    report = verify_log(str(path), key, **options)
    assert report.passed is passes
    assert (kind, RECORDS - 1) in kinds(report)
    assert report.failures_of(kind)[0].offset == offsets(lines)[RECORDS - 2]


def test_a_last_record_without_its_line_feed_is_verified_like_any_other(log, options):
    path, key, lines = log
    write_lines(path, lines[:-1], tail=lines[-1])
    report = verify_log(str(path), key, **options)
    assert report.passed and report.failures == [] and report.torn_tail is None
    assert (report.lines, report.records, report.records_checked) == (RECORDS - 1, RECORDS, RECORDS)
    assert [s.records for s in report.segments] == [RECORDS]
    assert any("has no line feed" in note for note in report.notes)
    # Its signature is checked: a changed prompt there fails.
    write_lines(path, lines[:-1], tail=edit(lines[-1], prompt="changed"))
    assert kinds(verify_log(str(path), key, **options)) == [(failures.HASH_MISMATCH, RECORDS)]


def test_a_tail_over_the_cap_is_malformed_and_not_read(log):
    path, key, lines = log
    write_lines(path, lines, tail=lines[0] + b" " * 3000)
    report = verify_log(str(path), key, max_line_bytes=2000, jobs=1)
    assert kinds(report) == [(failures.MALFORMED_LINE, RECORDS + 1)]
    assert "more than the line cap" in report.failures[0].detail


def test_a_log_with_no_records_passes_saying_nothing_was_verified(tmp_path):
    path = tmp_path / "empty.wal"
    path.write_bytes(b"")
    report = verify_log(str(path), "ab" * 32)
    assert report.passed
    assert report.proven.statement == "nothing was verified: the log holds no records"


# -- special files ---------------------------------------------------------------

def vorm_zel(*args):
    return subprocess.run([sys.executable, "-m", "vorm_zel_audit"] + [str(arg) for arg in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=30)


@pytest.mark.parametrize("where", ["log", "key file beside the log", "--key-file", "--checkpoint", "inspect"])
@pytest.mark.parametrize("special", ["fifo", "directory", "/dev/zero"])
def test_a_special_file_is_refused_at_once(log, tmp_path, where, special):
    path, key, _ = log
    if special == "fifo":
        target = str(tmp_path / "special")
        os.mkfifo(target)
    elif special == "directory":
        target = str(tmp_path / "special")
        os.mkdir(target)
    else:
        target = special
    if where == "log":
        args = ["verify", target, "--public-key", key]
    elif where == "key file beside the log":
        os.symlink(target, str(tmp_path / "beside.wal.key"))
        os.symlink(str(path), str(tmp_path / "beside.wal"))
        args = ["verify", tmp_path / "beside.wal"]
    elif where == "--key-file":
        args = ["verify", path, "--key-file", target]
    elif where == "--checkpoint":
        args = ["verify", path, "--public-key", key, "--checkpoint", target]
    else:
        args = ["inspect", target]
    result = vorm_zel(*args + ["--json"])  # within the timeout: nothing blocks
    assert result.returncode == 2, result.stdout + result.stderr
    assert json.loads(result.stdout)["passed"] is False
    assert "not a regular file" in result.stderr or "is a directory" in result.stderr \
        or "a FIFO" in result.stderr or "a character device" in result.stderr
