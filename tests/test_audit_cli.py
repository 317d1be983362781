"""The vorm-zel command: exit codes, --json, key sources, checkpoints,
inspect, and the progress bar only on a terminal."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from audit_logs import edit, public_key_of, read_lines, seal, write_lines

SCRIPT = os.path.join(os.path.dirname(sys.executable), "vorm-zel")


def run(*args, module=True):
    command = [sys.executable, "-m", "vorm_zel_audit"] if module else [SCRIPT]
    return subprocess.run(command + [str(arg) for arg in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, 30)
    return path, public_key_of(path)


def tamper(path, index=9):
    lines = read_lines(path)
    lines[index] = edit(lines[index], prompt="changed")
    write_lines(path, lines)


def test_the_installed_script_and_the_module_agree(log):
    path, key = log
    assert os.path.exists(SCRIPT), "pip install . puts vorm-zel next to the interpreter"
    by_script = run("verify", path, "--public-key", key, module=False)
    by_module = run("verify", path, "--public-key", key)
    assert by_script.returncode == by_module.returncode == 0
    assert by_script.stdout.splitlines()[:-1] == by_module.stdout.splitlines()[:-1]


def test_verify_exits_0_and_says_passed(log):
    path, key = log
    result = run("verify", path, "--public-key", key.upper())
    assert result.returncode == 0, result.stdout + result.stderr
    assert "PASSED: 30 lines, 30 records checked" in result.stdout
    assert "self-consistency only" not in result.stdout
    assert "chain 1: 30 records, lines 1-30, from genesis" in result.stdout
    assert result.stderr == ""  # no progress bar when stderr is not a terminal


def test_the_key_file_next_to_the_log_is_self_consistency_only(log, tmp_path):
    path, key = log
    for args in ([], ["--key-file", str(path) + ".key"]):
        result = run("verify", path, *args)
        assert result.returncode == 0
        assert "self-consistency only" in result.stdout
    elsewhere = tmp_path / "pinned.key"
    shutil.copy(str(path) + ".key", str(elsewhere))
    result = run("verify", path, "--key-file", elsewhere)
    assert result.returncode == 0 and "self-consistency only" not in result.stdout


def test_verify_exits_1_on_tampering_and_names_the_line(log):
    path, key = log
    tamper(path)
    result = run("verify", path, "--public-key", key)
    assert result.returncode == 1
    assert "line 10 (byte " in result.stdout and "hash_mismatch" in result.stdout
    assert "FAILED" in result.stdout


def test_json_prints_one_report(log):
    path, key = log
    tamper(path)
    result = run("verify", path, "--public-key", key, "--json")
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert report["passed"] is False
    assert report["failure_counts"] == {"hash_mismatch": 1}
    [failure] = report["failures"]
    assert (failure["kind"], failure["line"]) == ("hash_mismatch", 10)
    assert failure["offset"] == sum(len(line) + 1 for line in read_lines(path)[:9])
    assert report["segments"][0]["records"] == 30
    assert "output" in report["not_covered_fields"]
    assert "prompt" in report["covered_fields"]["signature"]
    assert report["key_source"] == "given with --public-key"


def test_max_failures_and_the_hint_for_another_key(log, tmp_path):
    path, _ = log
    other = public_key_of(tmp_path / "other.wal")
    result = run("verify", path, "--public-key", other, "--json", "--max-failures", "2")
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert len(report["failures"]) == 2 and report["failures_truncated"] is True
    assert report["failure_counts"] == {"bad_signature": 30}
    assert "another key" in report["hints"][0]
    text = run("verify", path, "--public-key", other, "--max-failures", "2").stdout
    assert "28 more failures not shown" in text


def test_strict_fails_a_torn_tail(log):
    path, key = log
    with open(str(path), "ab") as handle:
        handle.write(b'{"id":"zel_')
    assert run("verify", path, "--public-key", key).returncode == 0
    result = run("verify", path, "--public-key", key, "--strict")
    assert result.returncode == 1 and "torn_tail" in result.stdout


@pytest.mark.parametrize("args,message", [
    (["verify", "{missing}", "--public-key", "ab" * 32], "No such file"),
    (["verify", "{log}", "--public-key", "xyz"], "64 hexadecimal digits"),
    (["verify", "{log}", "--key-file", "{missing}"], "cannot read the key file"),
    (["verify", "{log}", "--checkpoint", "{missing}"], "cannot read checkpoint"),
    (["verify", "{bare}"], "no public key"),
    (["inspect", "{log}", "--line", "99"], "no line 99"),
    (["verify", "{log}", "--max-failures", "-1"], "--max-failures: must be at least 0, not -1"),
    (["checkpoint", "{log}", "--max-failures", "-1"], "--max-failures: must be at least 0, not -1"),
    (["verify", "{log}", "--jobs", "0"], "--jobs/-j: must be at least 1, not 0"),
    (["checkpoint", "{log}", "-j", "-2"], "--jobs/-j: must be at least 1, not -2"),
    (["verify", "{log}", "--jobs", "two"], "'two' is not a whole number"),
    (["verify", "{log}", "--max-line-bytes", "0"], "--max-line-bytes: must be at least 1, not 0"),
    (["inspect", "{log}", "--line", "0"], "--line/-n: must be at least 1, not 0"),
    (["verify", "{log}", "--public-key", "01" + "00" * 31], "a point of small order"),
])
def test_exit_2_when_it_cannot_run(log, tmp_path, args, message):
    path, _ = log
    bare = tmp_path / "bare.wal"
    bare.write_bytes(b"")
    names = {"log": path, "missing": tmp_path / "missing", "bare": bare}
    result = run(*[arg.format(**names) for arg in args])
    assert result.returncode == 2
    assert message in result.stderr


def test_exit_2_for_bad_arguments_and_json_errors(log):
    path, key = log
    assert run("verify", path, "--public-key", key, "--key-file", "x").returncode == 2
    assert run("frobnicate").returncode == 2
    result = run("verify", str(path) + ".missing", "--public-key", key, "--json")
    assert result.returncode == 2
    assert json.loads(result.stdout)["passed"] is False


def test_checkpoint_then_verify_against_it(log, tmp_path):
    path, key = log
    target = tmp_path / "audit.checkpoint"
    result = run("checkpoint", path, "--public-key", key, "-o", target)
    assert result.returncode == 0, result.stderr
    assert "checkpoint written to" in result.stdout
    saved = json.loads(target.read_text())
    assert saved["line_count"] == 30 and saved["public_key"] == key
    result = run("verify", path, "--checkpoint", target)
    assert result.returncode == 0 and "unchanged since it was made" in result.stdout
    assert "recorded in the checkpoint, which was made with a pinned key" in result.stdout
    assert "the 30 lines it covers were accepted on its word (--recheck checks them)" in result.stdout
    assert "self-consistency" not in result.stdout
    write_lines(path, read_lines(path)[:-1])
    result = run("verify", path, "--checkpoint", target, "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout)["failure_counts"] == {"truncated": 1}


def test_a_checkpoint_made_without_a_pinned_key_keeps_saying_so(log, tmp_path):
    path, key = log
    first, second = tmp_path / "first.checkpoint", tmp_path / "second.checkpoint"
    result = run("checkpoint", path, "-o", first)  # the key file beside the log
    assert result.returncode == 0 and "key not pinned (self-consistency only)" in result.stdout
    assert json.loads(first.read_text())["key_pinned"] is False
    seal(path, 3, start=30)
    # Moved forward without a pinned key, it stays unpinned.
    assert run("checkpoint", path, "--checkpoint", first, "-o", second).returncode == 0
    for target in (first, second):
        report = json.loads(run("verify", path, "--checkpoint", target, "--json").stdout)
        assert report["passed"] and report["key_pinned"] is False
        assert "without a pinned key: self-consistency only" in report["key_source"]
        assert "not pinned (self-consistency only)" in report["proven"]["statement"]
        text = run("verify", path, "--checkpoint", target).stdout
        assert "it was made without a pinned key (self-consistency only)" in text
    # Pinning the key now makes this run pinned, whatever the checkpoint said.
    report = json.loads(run("verify", path, "--checkpoint", first, "--public-key", key, "--json").stdout)
    assert report["key_pinned"] is True and "not pinned" not in report["proven"]["statement"]


def test_checkpoint_to_stdout(log):
    path, key = log
    result = run("checkpoint", path, "--public-key", key)
    assert result.returncode == 0
    assert json.loads(result.stdout)["line_count"] == 30
    assert "PASSED" in result.stderr


def test_no_checkpoint_of_a_tampered_log(log, tmp_path):
    path, key = log
    tamper(path)
    target = tmp_path / "audit.checkpoint"
    result = run("checkpoint", path, "--public-key", key, "-o", target)
    assert result.returncode == 1 and not target.exists()
    assert "no checkpoint written" in result.stderr


def test_inspect_summarises_without_a_key(log):
    path, _ = log
    result = run("inspect", path)
    assert result.returncode == 0
    assert "size: %d bytes, 30 lines, 30 records" % path.stat().st_size in result.stdout
    assert "chain 1: 30 records" in result.stdout
    summary = json.loads(run("inspect", path, "--json").stdout)
    assert summary["records"] == 30 and summary["distinct_place"] == 3
    records = [json.loads(line) for line in read_lines(path)]
    reputations = [record["reputation_scalar"] for record in records]
    assert summary["reputation"] == {"first": reputations[0], "last": reputations[-1],
                                     "min": min(reputations), "max": max(reputations)}
    insights = sum(record["core_insight_json"] is not None for record in records)
    assert summary["core_insights"] == insights
    assert summary["insight_rate"] == insights / 30
    assert "core insights: %d (%.1f%% of records)" % (insights, 100.0 * insights / 30) in result.stdout


def test_inspect_a_line_decodes_the_json_texts(log):
    path, _ = log
    result = run("inspect", path, "--line", "2")
    assert result.returncode == 0
    view = json.loads(result.stdout)
    assert view["line"] == 2 and view["offset"] == len(read_lines(path)[0]) + 1
    [entry] = view["records"]
    record = entry["record"]
    assert record["ppp_json"] == {"provenance": "triage-agent/v3", "place": "eu-west-1/worker-1",
                                  "purpose": "resolve ticket"}
    assert record["ctx_json"] == {"ticket": 1, "note": "caf\u00e9 \"quoted\"\n"}
    assert record["human_delta_chain_json"]["agent_decision_ref"] == "ticket-1"
    assert len(record["signature"]) == 128
    assert entry["hash_matches_seal_text"] is True
    assert entry["chain"] == "extends the record before it"
    assert "\n  " in result.stdout  # pretty-printed


def test_the_progress_bar_shows_on_a_terminal_only(log):
    pty = pytest.importorskip("pty")
    path, key = log
    master, slave = pty.openpty()
    try:
        result = subprocess.run([sys.executable, "-m", "vorm_zel_audit", "verify", str(path), "--public-key", key],
                                stdout=subprocess.PIPE, stderr=slave, timeout=300)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(master)
    assert result.returncode == 0
    assert b"verifying [" in shown and b"100%" in shown
    assert b"verifying" not in result.stdout


def test_json_on_every_path_and_a_bug_is_no_usage_error(log, monkeypatch, capsys):
    from vorm_zel_audit import cli
    path, key = log
    assert cli.main(["verify", str(path), "--jobs", "0", "--json"]) == 2
    answer = json.loads(capsys.readouterr().out)
    assert (answer["passed"], answer["error_kind"]) == (False, "usage")

    def broken(*args, **kwargs):
        raise ValueError("a bug, not the input")
    monkeypatch.setattr(cli, "verify_log", broken)
    assert cli.main(["verify", str(path), "--public-key", key, "--json"]) == 3
    captured = capsys.readouterr()
    answer = json.loads(captured.out)
    assert (answer["error_kind"], answer["error"]) == ("internal", "ValueError: a bug, not the input")
    assert "Traceback" in captured.err and "internal error" in captured.err


def test_the_text_report_says_what_was_proven(log):
    path, key = log
    text = run("verify", path, "--public-key", key).stdout
    [line] = [line for line in text.splitlines() if line.startswith("proven: ")]
    assert line.startswith("proven: the hash and signature of 30 records with the public key given with "
                           "--public-key; that the chain links are consistent. Not proven: that the log is "
                           "complete, in order, or free of removed, reordered or spliced records")
    assert "where provenance, place, purpose and prompt divide" in line
    beside = run("verify", path).stdout
    assert "that the key is the engine's: it was not pinned (self-consistency only)" in beside
