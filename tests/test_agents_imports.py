"""Importing the verifier or the agents package loads neither the native
module nor any framework; an adapter loads its own framework only."""
import subprocess
import sys
import textwrap

import pytest

HEAVY = ["vorm_zel", "langchain_core", "agents", "opentelemetry"]

SCRIPT = textwrap.dedent("""
    import sys
    import vorm_zel_audit, vorm_zel_audit.agents, vorm_zel_audit.cli
    from vorm_zel_audit.agents import AuditTrail, JsonConverter, LostRecordError
    {extra}
    print(" ".join(sorted(name for name in {heavy!r} if name in sys.modules)))
""")


@pytest.mark.parametrize("extra, loaded", [
    ("", ""),
    ("AuditTrail(':memory:')", "vorm_zel"),
    ("from vorm_zel_audit.agents import AuditCallbackHandler", "langchain_core"),
    ("import vorm_zel_audit.agents.openai_agents", "agents"),
    ("from vorm_zel_audit.agents import AuditSpanProcessor", "opentelemetry"),
])
def test_what_each_import_loads(extra, loaded):
    result = subprocess.run([sys.executable, "-c", SCRIPT.format(extra=extra, heavy=HEAVY)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    found = set(result.stdout.split())
    assert set(loaded.split()) <= found
    # A framework may import others itself (the Agents SDK imports OpenTelemetry);
    # the module comes only with a trail, and nothing without an adapter.
    assert ("vorm_zel" in found) == ("vorm_zel" in loaded.split())
    if not extra:
        assert found == set()
