"""The demo seals decisions into ./audit.wal and the bundled verifier
(built on vorm_zel_audit, which shares no code with the module) accepts
exactly the untouched log and names what was done to a tampered one."""
import json
import os
import shlex
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(ROOT, "examples", "seal_decisions.py")
VERIFY = os.path.join(ROOT, "examples", "verify_log.py")


def run(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300)


@pytest.fixture
def demo_log(tmp_path):
    result = run(DEMO, "--decisions", "300", "--wal", str(tmp_path / "audit.wal"))
    assert result.returncode == 0, result.stderr
    return tmp_path / "audit.wal", result.stdout


def test_demo_reports_what_it_sealed(demo_log):
    path, stdout = demo_log
    summary = dict(line.split(":", 1) for line in stdout.strip().splitlines())
    assert int(summary["records written"]) == 300
    assert 0 <= int(summary["insights made"]) <= 300
    assert 0.0 <= float(summary["final reputation"]) <= 1.0
    assert len(summary["public key"].strip()) == 64
    with open(path, "rb") as handle:
        assert handle.read().count(b"\n") == 300


def test_the_verify_command_the_demo_prints_passes(demo_log, tmp_path):
    path, stdout = demo_log
    summary = dict(line.split(":", 1) for line in stdout.strip().splitlines())
    command = shlex.split(summary["verify it with"])
    assert os.path.isabs(command[0])
    assert command[-4:] == ["verify", str(path), "--public-key", summary["public key"].strip()]
    # As printed, from a shell where no environment is activated.
    result = subprocess.run(command, capture_output=True, text=True, timeout=300,
                            env=dict(os.environ, PATH="/usr/bin:/bin"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "PASSED: 300 lines, 300 records" in result.stdout


def test_verifier_accepts_the_untouched_log(demo_log):
    path, _ = demo_log
    result = run(VERIFY, str(path))
    assert result.returncode == 0, result.stdout
    assert "300 lines, 300 verified, 0 failed, 0 chain restarts" in result.stdout


def test_verifier_sees_a_second_engine_restart_from_genesis(demo_log):
    path, _ = demo_log
    assert run(DEMO, "--decisions", "20", "--wal", str(path)).returncode == 0
    result = run(VERIFY, str(path))
    assert result.returncode == 0, result.stdout
    assert "320 lines, 320 verified, 0 failed, 1 chain restarts" in result.stdout


@pytest.mark.parametrize("member,change,kind", [
    ("prompt", lambda v: v + "!", "hash_mismatch"),
    ("reputation_scalar", lambda v: v + 1e-9, "hash_mismatch"),
    ("signature", lambda v: [v[0] ^ 1] + v[1:], "bad_signature"),
    ("merkle_root", lambda v: ("0" if v[0] != "0" else "1") + v[1:], "chain_break"),
])
def test_verifier_rejects_a_tampered_line(demo_log, member, change, kind):
    path, _ = demo_log
    lines = path.read_text(encoding="utf-8").splitlines(True)
    record = json.loads(lines[150], object_pairs_hook=dict)
    record[member] = change(record[member])
    lines[150] = json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n"
    path.write_text("".join(lines), encoding="utf-8")
    result = run(VERIFY, str(path))
    assert result.returncode == 1
    assert "line 151: %s:" % kind in result.stdout
    assert "300 lines, 299 verified, 1 failed, 0 chain restarts" in result.stdout


def test_verifier_rejects_a_log_signed_by_another_key(demo_log, tmp_path):
    path, _ = demo_log
    other = tmp_path / "other.wal"
    assert run(DEMO, "--decisions", "1", "--wal", str(other)).returncode == 0
    key = open(str(other) + ".key", "rb").read()
    with open(str(path) + ".key", "wb") as handle:
        handle.write(key)
    result = run(VERIFY, str(path))
    assert result.returncode == 1
    assert "300 lines, 0 verified, 300 failed" in result.stdout
