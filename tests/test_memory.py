"""Native memory exhaustion is an ordinary MemoryError: the process goes on."""
import subprocess
import sys
import textwrap

import pytest

from conftest import not_when_sanitized

SCRIPT = textwrap.dedent(
    r"""
    import resource, vorm_zel
    engine = vorm_zel.ZELEngine(":memory:")
    triplet = vorm_zel.PPPTriplet("p", "q", "r")
    chain = vorm_zel.HumanDeltaChain("d", True, "t", "c")
    before = engine.capture(None, "warm-up", None, "", triplet, chain)
    prompt = "x" * (64 << 20)

    def vm_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # Room for half a copy of the prompt. From CPython 3.10 on the module reads
    # the str's own UTF-8, so the copy that fails is the native one; before,
    # the host's UTF-8 copy, made first, fails already.
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (32 << 20), hard))
    try:
        engine.capture(None, prompt, None, "", triplet, chain)
        print("no error")
    except MemoryError:
        print("MemoryError")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    del prompt
    after = engine.capture(None, "after", None, "", triplet, chain)
    print("alive", len(after.merkle_root), after.merkle_root != before.merkle_root)
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
@not_when_sanitized("ASan reserves terabytes of shadow address space, which RLIMIT_AS forbids")
def test_exhausted_native_memory_raises_memory_error_and_the_engine_goes_on():
    result = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "alive", "64", "True"]
