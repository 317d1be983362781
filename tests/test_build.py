"""What the built library promises: one abi3 file that imports under every
CPython from 3.7 on, exports only its init function and needs nothing at run
time beyond libc, libm and libgcc."""
import os
import re
import shutil
import subprocess

import pytest

import vorm_zel
from conftest import not_when_sanitized
from interpreters import cpython_interpreters, version_id

# These check the release library's packaging (static libstdc++, exports,
# run-time dependencies); the sanitized build links the sanitizer runtimes.
pytestmark = not_when_sanitized("checks the release library, not the checked build")

LIBRARY = vorm_zel.__file__
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
                     "ld-linux-aarch64.so.1", "linux-vdso.so.1"}

SMOKE = r"""
import sys, vorm_zel
engine = vorm_zel.ZELEngine(":memory:")
record = engine.capture({"a": 1}, "hello", [1, 2], "out",
                        vorm_zel.PPPTriplet("p", "q", "r"),
                        vorm_zel.HumanDeltaChain("d", True, "t", "c"))
assert vorm_zel.__all__ == ["ZELEngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]
assert len(record.signature) == 64 and len(record.merkle_root) == 64
print(sys.version_info[0], sys.version_info[1], record.reputation_scalar, record.ppp_json)
"""


def test_the_library_is_the_stable_abi_file():
    assert os.path.basename(LIBRARY) == "vorm_zel.abi3.so"


@pytest.mark.parametrize("version,python", cpython_interpreters(), ids=version_id)
def test_the_same_file_imports_under_every_interpreter(version, python, tmp_path):
    # Only the one library on the path: nothing of this interpreter's site-packages.
    shutil.copy(LIBRARY, tmp_path / "vorm_zel.abi3.so")
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTHONNOUSERSITE="1")
    result = subprocess.run([python, "-S", "-c", SMOKE], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    major, minor, reputation, ppp_json = result.stdout.split(maxsplit=3)
    assert (int(major), int(minor)) == version
    assert float(reputation) == pytest.approx(0.51)
    assert ppp_json.strip() == '{"provenance":"p","place":"q","purpose":"r"}'


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", LIBRARY], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vorm_zel"]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils not installed")
def test_run_time_dependencies_are_only_the_c_runtime():
    out = subprocess.run(["readelf", "-d", LIBRARY], capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out))
    assert needed, "readelf shows no NEEDED entries"
    assert needed <= ALLOWED_LIBRARIES, needed - ALLOWED_LIBRARIES

