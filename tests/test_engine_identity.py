"""Engine construction, the key file and ``public_key_hex``.

The key file rules tested here are the project's: a new key file is created
with mode 0o600 through a temporary file that never stays behind, racing
constructors share one key, a symbolic link at the key path is never
written through, and a wrong length is reported without the file's bytes.
"""
import base64
import multiprocessing
import os
import re
import stat
import warnings

import pytest

import capture_oracle as oracle
import vorm_zel
from capturing import capture, panic_of, write_key

HEX64 = re.compile(r"[0-9a-f]{64}")
# RFC 8032, section 7.1, test 1.
RFC8032_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC8032_PUBLIC = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


def listing(directory="."):
    return sorted(os.listdir(directory))


# -- in-memory mode -------------------------------------------------------

def test_memory_engines_touch_no_file(vz, tmp_path):
    before = listing(tmp_path)
    keys = {vz.ZELEngine(":memory:").public_key_hex() for _ in range(3)}
    assert len(keys) == 3
    assert listing() == []
    assert listing(tmp_path) == before


def test_empty_path_puts_the_key_at_dot_key(vz):
    vz.ZELEngine("")
    assert listing() == [".key"]
    assert os.path.getsize(".key") == 32


def test_log_path_that_is_a_directory_is_ignored(vz, tmp_path):
    wal = tmp_path / "logdir"
    wal.mkdir()
    key = vz.ZELEngine(str(wal)).public_key_hex()
    assert listing(wal) == []
    assert vz.ZELEngine(str(wal)).public_key_hex() == key


# -- a new key file -------------------------------------------------------

def test_new_path_creates_empty_log_and_private_key_file(vz, wal_path, tmp_path):
    vz.ZELEngine(wal_path)
    assert listing(tmp_path) == ["audit.wal", "audit.wal.key", "cwd"]
    assert os.path.getsize(wal_path) == 0
    info = os.lstat(wal_path + ".key")
    assert stat.S_ISREG(info.st_mode)
    assert stat.S_IMODE(info.st_mode) == 0o600
    assert info.st_size == 32


def test_public_key_derives_from_the_seed_in_the_key_file(vz, wal_path):
    ed25519 = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ed25519")
    engine = vz.ZELEngine(wal_path)
    with open(wal_path + ".key", "rb") as handle:
        seed = handle.read()
    derived = ed25519.Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes_raw()
    assert engine.public_key_hex() == derived.hex()


def test_given_seed_gives_the_rfc8032_public_key(vz, wal_path):
    write_key(wal_path + ".key", RFC8032_SEED)
    assert vz.ZELEngine(wal_path).public_key_hex() == RFC8032_PUBLIC


# -- a key file others could read, change or swap ---------------------------

def linked_key(key_path, tmp_path):
    write_key(str(tmp_path / "real.key"), RFC8032_SEED)
    os.symlink(str(tmp_path / "real.key"), key_path)
    return "it is a symbolic link"


def group_readable_key(key_path, tmp_path):
    write_key(key_path, RFC8032_SEED, 0o640)
    return "group or others have access to it (mode 0640)"


def others_writable_key(key_path, tmp_path):
    write_key(key_path, RFC8032_SEED, 0o602)
    return "group or others have access to it (mode 0602)"


def linked_readable_key(key_path, tmp_path):
    write_key(str(tmp_path / "real.key"), RFC8032_SEED, 0o644)
    os.symlink(str(tmp_path / "real.key"), key_path)
    return "it is a symbolic link; group or others have access to it (mode 0644)"


def foreign_key(key_path, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    write_key(key_path, RFC8032_SEED)
    os.chown(key_path, 4242, 4242)
    return "it is owned by uid 4242, not by this user (uid 0)"


@pytest.mark.parametrize("make", [linked_key, group_readable_key, others_writable_key, linked_readable_key,
                                  foreign_key], ids=lambda make: make.__name__)
def test_an_unsafe_key_file_is_used_and_each_engine_warns_once(vz, wal_path, tmp_path, make):
    problem = make(wal_path + ".key", tmp_path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        keys = [vz.ZELEngine(wal_path).public_key_hex() for _ in range(2)]
    assert keys == [RFC8032_PUBLIC] * 2
    expected = "vorm_zel: the signing key file '%s.key' is used, but it is not private: %s" % (wal_path, problem)
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, expected)] * 2


@pytest.mark.parametrize("mode", [0o600, 0o400])
def test_a_private_key_file_gives_no_warning(vz, wal_path, mode):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        created = vz.ZELEngine(wal_path).public_key_hex()  # the module's own key file
        assert vz.ZELEngine(wal_path).public_key_hex() == created
        write_key(wal_path + ".2.key", RFC8032_SEED, mode)
        assert vz.ZELEngine(wal_path + ".2").public_key_hex() == RFC8032_PUBLIC


# -- an existing key file or log ------------------------------------------

def test_existing_key_and_log_are_only_read(vz, wal_path):
    key = vz.ZELEngine(wal_path).public_key_hex()
    garbage = b"\xff\xfe not json \x00\n{\"id\":\n" * 50
    with open(wal_path, "wb") as handle:
        handle.write(garbage)
    os.utime(wal_path + ".key", ns=(1_000_000_000, 1_000_000_000))
    before = os.stat(wal_path + ".key")
    with open(wal_path + ".key", "rb") as handle:
        seed = handle.read()

    again = vz.ZELEngine(wal_path)
    assert again.public_key_hex() == key
    after = os.stat(wal_path + ".key")
    assert (after.st_ino, after.st_mtime_ns, after.st_size) == (before.st_ino, before.st_mtime_ns, 32)
    with open(wal_path + ".key", "rb") as handle:
        assert handle.read() == seed
    with open(wal_path, "rb") as handle:
        assert handle.read() == garbage


def test_existing_log_without_key_is_kept(vz, wal_path, tmp_path):
    with open(wal_path, "wb") as handle:
        handle.write(b"\x00garbage")
    vz.ZELEngine(wal_path)
    with open(wal_path, "rb") as handle:
        assert handle.read() == b"\x00garbage"
    assert listing(tmp_path) == ["audit.wal", "audit.wal.key", "cwd"]


# -- failures -------------------------------------------------------------

def key_spellings(key):
    """Ways a key could leak into a text: hex, repr, decimal list, base64."""
    spellings = [key.hex(), repr(key), str(list(key))[1:-1], base64.b64encode(key).decode()]
    return [s for s in spellings if len(s) >= 8]


@pytest.mark.parametrize("length", [0, 1, 31, 33, 64, 4096])
def test_wrong_key_length(vz, wal_path, capfd, length):
    content = os.urandom(length)
    write_key(wal_path + ".key", content)
    exc = panic_of(lambda: vz.ZELEngine(wal_path))
    message = "Invalid key length: expected 32 bytes, found %d" % length
    assert str(exc) == message
    diagnostic = capfd.readouterr().err
    assert message in diagnostic
    for text in (str(exc), diagnostic):
        for spelling in key_spellings(content) + key_spellings(content[:32]):
            assert spelling not in text
    with open(wal_path + ".key", "rb") as handle:
        assert handle.read() == content
    # The process lives on and a sound key on another path works.
    healthy = vz.ZELEngine(wal_path + ".ok")
    record = capture(healthy)
    assert record.merkle_root == oracle.next_root(oracle.GENESIS_HEX, record.hash)
    assert oracle.signature_verifies(healthy.public_key_hex(), bytes.fromhex(record.hash), record.signature)


def test_key_path_is_a_directory(vz, wal_path):
    os.mkdir(wal_path + ".key")
    exc = panic_of(lambda: vz.ZELEngine(wal_path))
    assert str(exc) == "Failed to read signing key: Is a directory (os error 21)"
    assert listing(wal_path + ".key") == []


def test_path_in_a_missing_directory(vz, tmp_path):
    """The key lives next to the log, so a missing directory stops the
    constructor (one that disappears later reaches only the captures)."""
    before = listing(tmp_path)
    exc = panic_of(lambda: vz.ZELEngine(str(tmp_path / "missing" / "audit.wal")))
    assert str(exc) == "Failed to write signing key: No such file or directory (os error 2)"
    assert listing(tmp_path) == before
    assert listing() == []


@pytest.mark.parametrize("path", ["a\0b", "\0", ":memory:\0"])
def test_nul_in_the_path(vz, path):
    exc = panic_of(lambda: vz.ZELEngine(path))
    assert str(exc).startswith("Failed to write signing key: ")
    assert listing() == []


def test_dangling_symlink_at_the_key_path_is_not_written_through(vz, wal_path, tmp_path):
    target = tmp_path / "elsewhere.key"
    os.symlink(target, wal_path + ".key")
    exc = panic_of(lambda: vz.ZELEngine(wal_path))
    assert str(exc).startswith(("Failed to read signing key: ", "Failed to write signing key: "))
    assert not target.exists()
    assert os.readlink(wal_path + ".key") == str(target)
    assert listing(tmp_path) == ["audit.wal", "audit.wal.key", "cwd"]


# -- racing constructors ---------------------------------------------------

RACERS = 8


def construct_after(barrier, path, results):
    barrier.wait()
    try:
        results.put(vorm_zel.ZELEngine(path).public_key_hex())
    except BaseException as exc:  # noqa: B902 - reported to the parent
        results.put("%s: %s" % (type(exc).__name__, exc))


@pytest.mark.parametrize("where", ["flat", "nested"])
@pytest.mark.parametrize("round_", range(4))
def test_racing_constructors_share_one_key(tmp_path, round_, where):
    directory = tmp_path / "logs" if where == "nested" else tmp_path
    directory.mkdir(exist_ok=True)
    context = multiprocessing.get_context("fork")
    barrier = context.Barrier(RACERS)
    results = context.Queue()
    wal = str(directory / "race.wal")
    racers = [context.Process(target=construct_after, args=(barrier, wal, results)) for _ in range(RACERS)]
    for racer in racers:
        racer.start()
    keys = [results.get(timeout=60) for _ in racers]
    for racer in racers:
        racer.join(timeout=60)
        assert racer.exitcode == 0
    assert all(HEX64.fullmatch(key) for key in keys), keys
    assert len(set(keys)) == 1
    assert os.path.getsize(wal + ".key") == 32
    if where == "flat":
        assert listing(tmp_path) == ["cwd", "race.wal", "race.wal.key"]
    else:
        assert sorted(os.listdir(str(directory))) == ["race.wal", "race.wal.key"]
    assert vorm_zel.ZELEngine(wal).public_key_hex() == keys[0]


# -- public_key_hex ---------------------------------------------------------

@pytest.mark.parametrize("path", [":memory:", "file.wal"])
def test_public_key_hex(vz, path):
    engine = vz.ZELEngine(path)
    first = engine.public_key_hex()
    assert type(first) is str
    assert HEX64.fullmatch(first)
    for _ in range(3):
        again = engine.public_key_hex()
        assert again == first
        assert again is not first


def test_public_key_hex_takes_no_arguments(vz):
    engine = vz.ZELEngine(":memory:")
    with pytest.raises(TypeError, match="takes no arguments"):
        engine.public_key_hex(1)
    with pytest.raises(TypeError):
        engine.public_key_hex(key=1)
