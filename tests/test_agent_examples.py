"""The three agent examples run offline, seal their decisions, verify
their logs, and print a verify command that passes when pasted."""
import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def run(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("script, records", [
    ("agent_langchain.py", 5),       # 2 model calls, 1 tool, 1 action, 1 finish
    ("agent_openai_agents.py", 5),   # 3 generations, 1 handoff, 1 tool
    ("agent_opentelemetry.py", 4),   # 2 chats, 1 tool, the agent span
])
def test_an_example_seals_verifies_and_prints_a_working_command(tmp_path, script, records):
    wal = str(tmp_path / "audit.wal")
    result = run(os.path.join(EXAMPLES, script), "--wal", wal)
    assert result.returncode == 0, result.stdout + result.stderr
    summary = {key.strip(): value.strip() for key, value in
               (line.split(":", 1) for line in result.stdout.splitlines())}
    assert summary["answer"] == "Order 7 was charged twice; I refunded one charge."
    assert summary["records sealed"] == str(records)
    assert summary["log verified"] == "yes (%d records)" % records
    command = summary["verify it with"].split()
    assert command[:4] == ["python", "-m", "vorm_zel_audit", "verify"] and command[4] == wal
    pasted = run(*command[1:])
    assert pasted.returncode == 0, pasted.stdout + pasted.stderr
    assert "PASSED: %d lines, %d records" % (records, records) in pasted.stdout
