"""The release files as a user gets them. scripts/wheel.sh builds the sdist and,
from it, the wheel, repairs the wheel into a manylinux tag and twine-checks
both (once per session). The repaired wheel then goes into a fresh virtual
environment of every CPython >= 3.7 on this machine, with no compiler on PATH
and only pre-built wheels allowed, where it imports, captures, and its log
passes `vorm-zel verify`."""
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

from conftest import not_when_sanitized
from interpreters import cpython_interpreters, version_id

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = [pytest.mark.slow,
              not_when_sanitized("builds and installs the release wheel, which the first pass checked")]

COMPILERS = ["cc", "gcc", "g++", "c++", "clang", "clang++", "cmake", "ninja", "ld"]

# Texts reach the module by one road before CPython 3.10 and by another from
# it on; both must give the same bytes and the same error.
CAPTURE = r"""
import sys, vorm_zel
engine = vorm_zel.ZELEngine(sys.argv[1])
for n, prompt in enumerate(["prompt 0", "caf\u00e9 \u2713 \U0001f600 " * 50, "x" * 70000]):
    record = engine.capture({"n": n}, prompt, [n], "output", vorm_zel.PPPTriplet("p", "q", "r"),
                            vorm_zel.HumanDeltaChain("ref", True, "node"))
    assert record.prompt == prompt, n
try:
    engine.capture({}, "x\ud800", [], "", vorm_zel.PPPTriplet("p", "q", "r"),
                   vorm_zel.HumanDeltaChain("ref", True, "node"))
except UnicodeEncodeError as error:
    assert "surrogates not allowed" in str(error), error
else:
    raise AssertionError("a lone surrogate was accepted")
print(vorm_zel.__version__, vorm_zel.__file__, engine.public_key_hex())
"""


def run(command, **kwargs):
    kwargs.setdefault("timeout", 900)
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="session")
def release(tmp_path_factory):
    """(wheel, sdist, the script's output)."""
    out = tmp_path_factory.mktemp("dist")
    result = run(["bash", os.path.join(ROOT, "scripts", "wheel.sh"), str(out)],
                 env=dict(os.environ, PYTHON=sys.executable), timeout=1800)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    wheels, sdists = sorted(out.glob("*.whl")), sorted(out.glob("*.tar.gz"))
    assert len(wheels) == 1 and len(sdists) == 1, os.listdir(out)
    return wheels[0], sdists[0], result.stdout


@pytest.fixture(scope="session")
def wheelhouse(tmp_path_factory):
    """Wheels of the dependencies, fetched per interpreter; installs then use only this."""
    return tmp_path_factory.mktemp("wheelhouse")


def test_the_wheel_is_abi3_manylinux_and_self_contained(release):
    wheel, _, output = release
    tag = re.fullmatch(r"vorm_zel-([^-]+)-cp37-abi3-(manylinux_2_(\d+)_%s)\.whl" % platform.machine(), wheel.name)
    assert tag, wheel.name
    # The policy in the name is the oldest auditwheel found the build meets.
    assert 'consistent with the\nfollowing platform tag: "%s"' % tag.group(2) in output
    assert "twine check" in output and output.count("PASSED") == 2
    names = zipfile.ZipFile(str(wheel)).namelist()
    assert not [name for name in names if ".libs/" in name], "auditwheel grafted libraries into the wheel"
    licenses = "vorm_zel-%s.dist-info/licenses/" % tag.group(1)
    # The notices of the libraries linked into the module travel with it.
    for expected in ["vorm_zel.abi3.so", "vorm_zel-stubs/__init__.pyi", "vorm_zel_audit/cli.py",
                     licenses + "LICENSE", licenses + "LICENSES/libsodium", licenses + "LICENSES/BLAKE3"]:
        assert expected in names
    notice = zipfile.ZipFile(str(wheel)).read(licenses + "LICENSES/libsodium").decode()
    assert "License: ISC" in notice and "License: BSD-2-clause" in notice


def test_the_sdist_holds_what_a_build_needs_and_nothing_local(release):
    _, sdist, _ = release
    with tarfile.open(str(sdist)) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for expected in ["pyproject.toml", "CMakeLists.txt", "cmake/Sodium.cmake", "cmake/Blake3.cmake", "LICENSE",
                     "LICENSES/libsodium", "LICENSES/BLAKE3",
                     "src/module/module.cpp", "src/module/exports.map", "python/vorm_zel-stubs/__init__.pyi"]:
        assert expected in names
    assert not [name for name in names if name.startswith((".venv/", "build/", "dist/", ".git/"))]


def without_compilers(venv_bin, tmp_path):
    """An environment whose PATH has the venv's scripts and nothing that compiles."""
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    path = "%s:%s" % (venv_bin, empty)
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("PYTHON", "VIRTUAL_ENV", "LD_PRELOAD", "ASAN", "PIP_"))}
    env.update(PATH=path, CC="false", CXX="false", PIP_DISABLE_PIP_VERSION_CHECK="1")
    assert not [tool for tool in COMPILERS if shutil.which(tool, path=path)]
    return env


@pytest.mark.parametrize("version,python", cpython_interpreters(), ids=version_id)
def test_the_wheel_installs_and_works_without_a_compiler(release, wheelhouse, version, python, tmp_path):
    wheel, _, _ = release
    venv = tmp_path / "venv"
    result = run([python, "-m", "venv", str(venv)])
    assert result.returncode == 0, result.stderr
    venv_python, venv_bin = str(venv / "bin" / "python"), str(venv / "bin")

    # The dependencies' wheels for this interpreter, from the package index.
    result = run([venv_python, "-m", "pip", "download", "--only-binary=:all:", "--dest", str(wheelhouse), str(wheel)])
    assert result.returncode == 0, result.stdout + result.stderr

    env = without_compilers(venv_bin, tmp_path)
    result = run([venv_python, "-m", "pip", "install", "--no-index", "--only-binary=:all:",
                  "--find-links", str(wheelhouse), str(wheel)], env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Building wheel" not in result.stdout

    log = tmp_path / "audit.wal"
    result = run([venv_python, "-c", CAPTURE, str(log)], env=env, cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr
    module_version, module_file, public_key = result.stdout.split()
    assert wheel.name.startswith("vorm_zel-%s-" % module_version)
    with zipfile.ZipFile(str(wheel)) as archive, open(module_file, "rb") as installed:
        assert installed.read() == archive.read("vorm_zel.abi3.so"), "the installed module is not the wheel's"

    result = run(["vorm-zel", "verify", str(log), "--public-key", public_key], env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "PASSED: 3 lines, 3 records" in result.stdout
