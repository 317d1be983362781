"""Faults of the file system around an engine. A log that cannot be written
costs its lines, never a record: each capture returns its record, warns once,
and the chain goes on into the log once it can be written again. A key file
at a FIFO does not hang the host either (the key file's other faults are
in test_engine_identity.py).

The test suite runs as root, which ignores file modes, so every fault here is
one that fails for everyone: a full device, a directory, a loop of links, a
FIFO without a reader, a missing or non-directory parent.
"""
import os
import subprocess
import sys
import textwrap
import warnings

import pytest

import capture_oracle as oracle
import capturing
from conftest import read_log_lines


def capture(engine, vz, prompt):
    return capturing.capture(engine, prompt, ctx={"k": prompt})


def replace_with(path, make):
    """Breaks an existing log by putting something else at its path."""
    def break_it():
        os.remove(path)
        make(path)
    return break_it


def remove_path(path):
    if os.path.isdir(path) and not os.path.islink(path):
        os.rmdir(path)
    else:
        os.remove(path)


def dev_full_from_the_start(tmp_path):
    path = str(tmp_path / "audit.wal")
    os.symlink("/dev/full", path)
    return path, lambda: None, lambda: os.remove(path), "No space left on device (os error 28)"


def dev_full_swapped_in(tmp_path):
    path = str(tmp_path / "audit.wal")
    return path, replace_with(path, lambda p: os.symlink("/dev/full", p)), lambda: os.remove(path), \
        "No space left on device (os error 28)"


def log_replaced_by_a_directory(tmp_path):
    path = str(tmp_path / "audit.wal")
    return path, replace_with(path, os.mkdir), lambda: os.rmdir(path), "Is a directory (os error 21)"


def log_replaced_by_a_link_loop(tmp_path):
    path = str(tmp_path / "audit.wal")
    return path, replace_with(path, lambda p: os.symlink(p, p)), lambda: os.remove(path), \
        "Too many levels of symbolic links (os error 40)"


def log_replaced_by_a_fifo(tmp_path):
    path = str(tmp_path / "audit.wal")
    return path, replace_with(path, os.mkfifo), lambda: os.remove(path), "No such device or address (os error 6)"


def remove_directory(directory):
    """The log's directory goes away, with the log and key file in it."""
    for name in os.listdir(str(directory)):
        os.remove(str(directory / name))
    directory.rmdir()


def directory_removed(tmp_path):
    directory = tmp_path / "logs"
    directory.mkdir()
    path = str(directory / "audit.wal")

    return path, lambda: remove_directory(directory), directory.mkdir, "No such file or directory (os error 2)"


def directory_replaced_by_a_file(tmp_path):
    directory = tmp_path / "logs"
    directory.mkdir()
    path = str(directory / "audit.wal")

    def break_it():
        remove_directory(directory)
        directory.write_bytes(b"not a directory")

    def heal():
        directory.unlink()
        directory.mkdir()

    return path, break_it, heal, "Not a directory (os error 20)"


FAULTS = [dev_full_from_the_start, dev_full_swapped_in, log_replaced_by_a_directory, log_replaced_by_a_link_loop,
          log_replaced_by_a_fifo, directory_removed, directory_replaced_by_a_file]


@pytest.mark.parametrize("fault", FAULTS, ids=lambda f: f.__name__.replace("_", "-"))
def test_capture_through_a_broken_log_warns_and_the_chain_goes_on(vz, tmp_path, fault):
    path, break_it, heal, os_text = fault(tmp_path)
    engine = vz.ZELEngine(path)
    public_key = engine.public_key_hex()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # /dev/full from the start fails here already
        made = [capture(engine, vz, "before %d" % i) for i in range(2)]
    break_it()
    for index in range(3):
        with pytest.warns(RuntimeWarning) as caught:
            made.append(capture(engine, vz, "lost %d\n" % index))
        assert [str(w.message) for w in caught] == [
            "vorm_zel: could not append the sealed record %s to the log '%s': %s"
            % (made[-1].id, path, os_text)]
    heal()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        made += [capture(engine, vz, "after %d" % i) for i in range(2)]

    root = oracle.GENESIS_HEX
    for record in made:
        assert record.hash == oracle.seal_hash("p", "q", "r", record.prompt, record.coherence_score,
                                               record.reputation_scalar)
        assert record.merkle_root == oracle.next_root(root, record.hash)
        assert oracle.signature_verifies(public_key, bytes.fromhex(record.hash), record.signature)
        root = record.merkle_root
    # The healed log is a new file that starts with the first record made
    # after the fault, chained to the unlogged ones before it.
    lines = read_log_lines(path)
    assert [line["merkle_root"] for line in lines] == [record.merkle_root for record in made[-2:]]
    assert lines[0]["merkle_root"] == oracle.next_root(made[-3].merkle_root, lines[0]["hash"])


LOST_RECORDS = textwrap.dedent(
    r"""
    import os, sys, vorm_zel
    path = sys.argv[1]
    os.symlink("/dev/full", path)
    engine = vorm_zel.ZELEngine(path)
    triplet, chain = vorm_zel.PPPTriplet("p", "q", "r"), vorm_zel.HumanDeltaChain("d", True, "n")
    for _ in range(3):
        print(engine.capture(None, "x", None, "", triplet, chain).id, flush=True)
    """
)


def test_every_lost_record_is_reported_under_the_default_filters(tmp_path):
    """The warnings of one capture site differ by the record's id, so Python's
    default filter (once per text and place) shows every one of them."""
    env = {name: value for name, value in os.environ.items() if name != "PYTHONWARNINGS"}
    result = subprocess.run([sys.executable, "-c", LOST_RECORDS, str(tmp_path / "audit.wal")],
                            capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    ids = result.stdout.split()
    assert len(set(ids)) == 3
    shown = [line for line in result.stderr.splitlines() if "RuntimeWarning: " in line]
    assert [line.split("RuntimeWarning: ", 1)[1] for line in shown] == [
        "vorm_zel: could not append the sealed record %s to the log '%s': No space left on device (os error 28)"
        % (record_id, tmp_path / "audit.wal") for record_id in ids]


def test_a_deleted_log_is_created_again_without_a_warning(vz, wal_path):
    engine = vz.ZELEngine(wal_path)
    first = capture(engine, vz, "first")
    os.remove(wal_path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        second = capture(engine, vz, "second")
    assert [line["merkle_root"] for line in read_log_lines(wal_path)] == [second.merkle_root]
    assert second.merkle_root == oracle.next_root(first.merkle_root, second.hash)


READER = textwrap.dedent(
    r"""
    import os, sys, time
    fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
    print("ready", flush=True)
    data, deadline = b"", time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            chunk = os.read(fd, 1 << 16)
        except BlockingIOError:
            chunk = None
        if chunk:
            data += chunk
        elif chunk == b"" and data:
            break  # the writer has closed
        else:
            time.sleep(0.001)
    sys.stdout.buffer.write(data)
    """
)


def test_a_fifo_log_with_a_reader_gets_whole_lines(vz, wal_path):
    """The open does not wait for a reader, but once there is one the writes
    block as usual: no line is cut short because the pipe is full. (The
    capture holds the GIL while it writes, so the reader is another process.)"""
    engine = vz.ZELEngine(wal_path)
    os.remove(wal_path)
    os.mkfifo(wal_path)
    reader = subprocess.Popen([sys.executable, "-c", READER, wal_path], stdout=subprocess.PIPE)
    assert reader.stdout.readline() == b"ready\n"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        big = capture(engine, vz, "x" * (1 << 20))  # far more than a pipe holds
    data, _ = reader.communicate(timeout=90)
    assert data == oracle.log_line(oracle.record_values(big)) + b"\n"


# -------------------------------------------------------------- key files --

FIFO_SCRIPT = textwrap.dedent(
    r"""
    import os, sys, warnings, vorm_zel
    path = sys.argv[1]
    what = sys.argv[2]
    os.mkfifo(path + ".key" if what == "key" else path)
    try:
        engine = vorm_zel.ZELEngine(path)
    except BaseException as exc:
        print(type(exc).__name__, exc)
        raise SystemExit
    triplet, chain = vorm_zel.PPPTriplet("p", "q", "r"), vorm_zel.HumanDeltaChain("d", True, "n")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        record = engine.capture(None, "x", None, "", triplet, chain)
    print(len(record.merkle_root), *[str(w.message).rsplit(": ", 1)[-1] for w in caught])
    """
)


@pytest.mark.parametrize("what, expected", [
    ("key", "PanicException Invalid key length: expected 32 bytes, found 0"),
    ("log", "64 No such device or address (os error 6)"),
])
def test_a_fifo_without_a_writer_or_reader_does_not_hang_the_host(tmp_path, what, expected):
    result = subprocess.run([sys.executable, "-c", FIFO_SCRIPT, str(tmp_path / "audit.wal"), what],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected
