"""Shared fixtures for the host-facing tests.

The tests import the installed module (``pip install .``); nothing here adds
the source tree to the path.
"""
import json
import os
import pathlib

import pytest

import vorm_zel

DATA_DIR = pathlib.Path(__file__).parent / "data"

# Set by scripts/test.sh for its second pass, against the module built with
# AddressSanitizer and UndefinedBehaviorSanitizer: the directory it lives in.
SANITIZED_BUILD = os.environ.get("VORM_ZEL_SANITIZED_BUILD", "")
SANITIZED = bool(SANITIZED_BUILD)
if SANITIZED and not os.path.samefile(os.path.dirname(vorm_zel.__file__), SANITIZED_BUILD):
    raise RuntimeError("the sanitizer pass imported %s, not the module in %s" % (vorm_zel.__file__, SANITIZED_BUILD))


def not_when_sanitized(reason):
    """Skips a test in the sanitizer pass, for the reason given."""
    return pytest.mark.skipif(SANITIZED, reason="sanitized build: " + reason)


def scaled(count, sanitized_count):
    """An iteration count, smaller in the (several times slower) sanitizer pass."""
    return sanitized_count if SANITIZED else count


@pytest.fixture(scope="session")
def vz():
    return vorm_zel


@pytest.fixture
def wal_path(tmp_path):
    """A log path in a fresh directory (nothing created yet)."""
    return str(tmp_path / "audit.wal")


@pytest.fixture
def engine(vz):
    return vz.ZELEngine(":memory:")


@pytest.fixture
def triplet(vz):
    return vz.PPPTriplet("p", "q", "r")


@pytest.fixture
def chain(vz):
    return vz.HumanDeltaChain("d1", False, "n1", "c1")


def load_vectors(name):
    with open(DATA_DIR / name, encoding="utf-8") as handle:
        return json.load(handle)


def read_log_lines(path):
    with open(path, "rb") as handle:
        data = handle.read()
    assert data == b"" or data.endswith(b"\n"), "the log must end with a complete line"
    return [json.loads(line) for line in data.decode("utf-8").splitlines()]


@pytest.fixture(autouse=True)
def _no_stray_cwd_files(tmp_path, monkeypatch):
    """Run every test in its own directory so relative paths never leak."""
    work = tmp_path / "cwd"
    work.mkdir()
    monkeypatch.chdir(work)
    yield
