"""The notary: incremental (only new bytes are read, a line being written is
never signed), resuming from its saved state, the background thread, and a
``notarize --follow`` process beside eight writing processes."""
import multiprocessing
import signal
import subprocess
import sys
import time

import pytest

from conftest import scaled
from vorm_zel_audit import merkle, notary as notary_module, verify_log
from vorm_zel_audit.notary import Notary
from vorm_zel_audit.sidecar import read_sidecar


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "x.wal"
    (tmp_path / "x.wal.key").write_bytes(bytes(range(32)))
    path.write_bytes(b"")
    return path


@pytest.fixture
def reads(monkeypatch):
    """The (start, end) byte ranges the notary reads."""
    seen = []
    original = notary_module.line_batches

    def recording(handle, start, end, *args):
        seen.append((start, end))
        return original(handle, start, end, *args)
    monkeypatch.setattr(notary_module, "line_batches", recording)
    return seen


def append(path, data):
    with open(path, "ab") as handle:
        handle.write(data)


def test_only_new_bytes_are_read_and_a_partial_line_waits(log, reads):
    notary = Notary(str(log))
    assert notary.notarize() is None  # an empty log: nothing to sign
    append(log, b"one\n\ntwo\nthr")
    assert notary.notarize().size == 3
    append(log, b"ee\nfour\n")
    head = notary.notarize()
    assert head.size == 5 and head.root == merkle.root_of([b"one", b"", b"two", b"three", b"four"])
    assert notary.notarize() is None  # nothing new: no checkpoint
    assert reads == [(0, 0), (0, 12), (9, 20), (20, 20)]
    assert len(read_sidecar(str(log) + ".checkpoints").entries) == 2


def test_a_new_notary_resumes_from_its_state_or_rebuilds(log, reads):
    append(log, b"".join(b"%d\n" % n for n in range(1000)))
    Notary(str(log)).notarize()
    append(log, b"1000\n")
    del reads[:]
    assert Notary(str(log)).notarize().size == 1001
    assert reads[0][0] == len(b"".join(b"%d\n" % n for n in range(1000)))  # the saved state was used
    state = str(log) + ".checkpoints.state"
    with open(state) as handle:
        text = handle.read()
    with open(state, "w") as handle:  # a state that does not hash to the last root
        handle.write(text.replace('"edge": ["', '"edge": ["AAAA'))
    append(log, b"1001\n")
    del reads[:]
    head = Notary(str(log)).notarize()
    assert reads[0][0] == 0  # rebuilt from the log
    assert head.size == 1002 and head.root == merkle.root_of(b"%d" % n for n in range(1002))


def test_the_background_thread_and_a_last_checkpoint_on_stop(log):
    with Notary(str(log), interval=0.02) as notary:
        for number in range(20):
            append(log, b"line %d\n" % number)
            time.sleep(0.005)
        append(log, b"last\n")
    assert notary.last_checkpoint.size == 21
    assert verify_log(str(log), notary.public_key_hex, jobs=1, require_notarized=True).notarized.proven


PROCESSES = 8
CAPTURES = scaled(2000, 200)


def capture_many(path, index, barrier):
    import vorm_zel

    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("proc-%d" % index, "host", "load")
    review = vorm_zel.HumanDeltaChain("d", True, "n", "c")
    barrier.wait()
    for sequence in range(CAPTURES):
        engine.capture({"seq": sequence}, "%d:%d:%s" % (index, sequence, "x" * (sequence % 50) ** 2), [index], "",
                       triplet, review)


@pytest.mark.slow
def test_notarize_follow_beside_eight_writing_processes(vz, tmp_path):
    path = str(tmp_path / "agent.wal")
    key = vz.ZELEngine(path).public_key_hex()
    follower = subprocess.Popen([sys.executable, "-m", "vorm_zel_audit", "notarize", path, "--follow",
                                 "--interval", "0.05"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert follower.stderr.readline().startswith(b"notarising")  # it runs before the writers start
    context = multiprocessing.get_context("fork")
    barrier = context.Barrier(PROCESSES)
    workers = [context.Process(target=capture_many, args=(path, index, barrier)) for index in range(PROCESSES)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(600)
    assert [worker.exitcode for worker in workers] == [0] * PROCESSES
    time.sleep(0.2)
    follower.send_signal(signal.SIGTERM)
    out, err = follower.communicate(timeout=120)
    assert follower.returncode == 0, err.decode()
    assert out.decode().count("checkpoint:") >= 2, "the notary signed while the log grew"
    checkpoints = read_sidecar(path + ".checkpoints").entries
    assert out.decode().count("checkpoint:") == len(checkpoints)
    report = verify_log(path, key, require_notarized=True)
    assert report.passed, [str(f) for f in report.failures[:5]]
    assert report.lines == PROCESSES * CAPTURES + report.empty_lines - report.shared_lines
    assert report.notarized.proven and report.notarized.lines_covered == report.lines
    assert report.notarized.lines_after == 0 and report.notarized.valid_checkpoints == len(checkpoints)
    assert "every complete line is notarised" in report.notarized.statement
