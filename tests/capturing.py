"""Helpers shared by the host tests of the native module: one capture with
plain defaults, the PanicException a call raises, and a key file written the
way the module writes its own (owner-only), so that a test's key raises no
unsafe-key warning unless the test wants one."""
import os

import pytest

import vorm_zel


def capture(engine, prompt="hello", *, ctx=None, reasoning_trace=None, output="out", triplet=None,
            chain=None, **kwargs):
    triplet = triplet if triplet is not None else vorm_zel.PPPTriplet("p", "q", "r")
    chain = chain if chain is not None else vorm_zel.HumanDeltaChain("d", True, "n", "c")
    return engine.capture(ctx, prompt, reasoning_trace, output, triplet, chain, **kwargs)


def panic_of(call):
    """The PanicException that ``call`` raises."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc).__module__ == "tarn_runtime" and type(exc).__name__ == "PanicException"
    return exc


def write_key(path, data, mode=0o600):
    """Writes a key file with exactly these permission bits."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    try:
        os.fchmod(fd, mode)
        os.write(fd, data)
    finally:
        os.close(fd)
