"""Engine construction, the key file and ``public_key_hex``.

The key file rules tested here are the project's: a new key file is created
with mode 0o600 through a temporary file that never stays behind, racing
constructors share one key, a symbolic link at the key path is never
written through, and a wrong length is reported without the file's bytes.
"""
import multiprocessing
import os
import re
import shutil
import stat

import pytest

import vorm_zel

HEX64 = re.compile(r"[0-9a-f]{64}")
# RFC 8032, section 7.1, test 1.
RFC8032_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
RFC8032_PUBLIC = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


def panic_of(call):
    """The PanicException that ``call`` raises."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc).__module__ == "tarn_runtime" and type(exc).__name__ == "PanicException"
    return exc


def listing(directory="."):
    return sorted(os.listdir(directory))


def first_capture(engine):
    triplet = vorm_zel.PPPTriplet("p", "q", "r")
    chain = vorm_zel.HumanDeltaChain("d", False, "n", "c")
    return engine.capture(None, "hello", None, "out", triplet, chain)


# -- in-memory mode -------------------------------------------------------

def test_memory_engines_touch_no_file(vz, tmp_path):
    before = listing(tmp_path)
    keys = {vz.ZELEngine(":memory:").public_key_hex() for _ in range(3)}
    assert len(keys) == 3
    assert listing() == []
    assert listing(tmp_path) == before


@pytest.mark.parametrize("path", [":MEMORY:", " :memory:", ":memory: ", ":memory:x", "x:memory:",
                                  ":memory", "memory"])
def test_near_memory_paths_are_files(vz, path):
    vz.ZELEngine(path)
    assert listing() == sorted([path, path + ".key"])
    assert os.path.getsize(path) == 0
    assert os.path.getsize(path + ".key") == 32


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
    with open(wal_path + ".key", "wb") as handle:
        handle.write(RFC8032_SEED)
    assert vz.ZELEngine(wal_path).public_key_hex() == RFC8032_PUBLIC


def test_key_is_read_through_a_symlink_to_a_key_file(vz, wal_path, tmp_path):
    (tmp_path / "real.key").write_bytes(RFC8032_SEED)
    os.symlink(tmp_path / "real.key", wal_path + ".key")
    assert vz.ZELEngine(wal_path).public_key_hex() == RFC8032_PUBLIC


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


def test_engine_on_an_existing_log_starts_from_genesis(vz, wal_path, tmp_path):
    first = vz.ZELEngine(wal_path)
    opening = first_capture(first)
    first_capture(first)
    assert os.path.getsize(wal_path) > 0

    fresh = tmp_path / "fresh"
    fresh.mkdir()
    shutil.copyfile(wal_path + ".key", fresh / "audit.wal.key")
    reopened = first_capture(vz.ZELEngine(wal_path))
    copied = first_capture(vz.ZELEngine(str(fresh / "audit.wal")))
    for record in (reopened, copied):
        assert record.merkle_root == opening.merkle_root
        assert record.signature == opening.signature
        assert record.reputation_scalar == opening.reputation_scalar


# -- failures -------------------------------------------------------------

@pytest.mark.parametrize("length", [0, 1, 31, 33, 64, 4096])
def test_wrong_key_length(vz, wal_path, capfd, length):
    content = bytes([171]) * length
    with open(wal_path + ".key", "wb") as handle:
        handle.write(content)
    exc = panic_of(lambda: vz.ZELEngine(wal_path))
    message = "Invalid key length: expected 32 bytes, found %d" % length
    assert str(exc) == message
    diagnostic = capfd.readouterr().err
    assert message in diagnostic
    for text in (str(exc), diagnostic):
        assert "171" not in text and "abab" not in text.lower() and "[" not in text
    with open(wal_path + ".key", "rb") as handle:
        assert handle.read() == content


def test_key_path_is_a_directory(vz, wal_path):
    os.mkdir(wal_path + ".key")
    exc = panic_of(lambda: vz.ZELEngine(wal_path))
    assert str(exc) == "Failed to read signing key: Is a directory (os error 21)"
    assert listing(wal_path + ".key") == []


def test_path_in_a_missing_directory(vz, tmp_path):
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
