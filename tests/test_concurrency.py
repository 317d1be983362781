"""Concurrent writers: processes appending to one log, and threads sharing one
engine or each owning one. (Processes racing to create one key are in
test_engine_identity.py.)"""
import json
import multiprocessing
import sys
import threading
import time

import pytest

import capture_oracle as oracle
from conftest import read_log_lines, scaled

PROCESSES = 8
CAPTURES_PER_PROCESS = scaled(10_000, 500)
FILLER = ["a", "é", "日本語", "😀", "\n", '"', "\\", "\x01", "\u2028"]


def append_many(path, index, barrier):
    import vorm_zel

    engine = vorm_zel.ZELEngine(path)
    triplet = vorm_zel.PPPTriplet("proc-%d" % index, "host", "load")
    chain = vorm_zel.HumanDeltaChain("d", True, "n", "c")
    barrier.wait()
    for sequence in range(CAPTURES_PER_PROCESS):
        # Lines from a few dozen bytes to a few kilobytes, so that writes of
        # different sizes race.
        prompt = "%d:%d:" % (index, sequence) + FILLER[sequence % len(FILLER)] * ((sequence % 97) ** 2 // 4)
        engine.capture({"seq": sequence}, prompt, [index], "", triplet, chain)


def test_eight_processes_append_whole_lines_to_one_log(vz, wal_path):
    public_key = vz.ZELEngine(wal_path).public_key_hex()  # one key for all writers
    context = multiprocessing.get_context("fork")
    barrier = context.Barrier(PROCESSES)
    workers = [context.Process(target=append_many, args=(wal_path, index, barrier)) for index in range(PROCESSES)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(900)
    assert [worker.exitcode for worker in workers] == [0] * PROCESSES

    with open(wal_path, "rb") as handle:
        raw = handle.read().split(b"\n")
    assert raw[-1] == b"", "the log must end with a line feed"
    lines = [json.loads(line) for line in raw[:-1]]  # a torn line would not parse
    assert len(lines) == PROCESSES * CAPTURES_PER_PROCESS

    per_process = {index: [] for index in range(PROCESSES)}
    for line in lines:
        assert list(line) == list(oracle.FIELDS)
        per_process[int(line["prompt"].split(":")[0])].append(line)
    for index, own in per_process.items():
        assert [int(line["prompt"].split(":")[1]) for line in own] == list(range(CAPTURES_PER_PROCESS))
        root = oracle.GENESIS_HEX
        for line in own:
            assert line["hash"] == oracle.seal_hash(
                "proc-%d" % index, "host", "load", line["prompt"], line["coherence_score"], line["reputation_scalar"])
            assert line["merkle_root"] == oracle.next_root(root, line["hash"])
            root = line["merkle_root"]
        # Signatures: the first, the last and a sample between.
        for line in own[:: max(1, len(own) // 50)] + own[-1:]:
            assert oracle.signature_verifies(public_key, bytes.fromhex(line["hash"]), line["signature"])


# ------------------------------------------------------------------ threads --

THREADS = 8
CAPTURES_PER_THREAD = scaled(400, 60)


@pytest.fixture
def fast_switching():
    """Let the host switch threads as often as it can."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


@pytest.fixture
def yielding_dumps(monkeypatch):
    """json.dumps that gives up the GIL before it serialises, so that another
    thread surely runs while a capture is inside it."""
    real = json.dumps

    def dumps(value, *args, **kwargs):
        time.sleep(0)
        return real(value, *args, **kwargs)

    monkeypatch.setattr(json, "dumps", dumps)


def run_threads(target, count=THREADS):
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException as exc:  # noqa: B902 - reported below
            errors.append(exc)

    barrier = threading.Barrier(count)
    threads = [threading.Thread(target=lambda i=i: (barrier.wait(), guarded(i))) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(300)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []


@pytest.mark.parametrize("dumps", ["host-dumps", "yielding-dumps"])
def test_threads_sharing_one_engine_get_records_or_already_borrowed(vz, wal_path, fast_switching, request, dumps):
    if dumps == "yielding-dumps":
        request.getfixturevalue("yielding_dumps")
    engine = vz.ZELEngine(wal_path)
    triplet = vz.PPPTriplet("p", "q", "r")
    chain = vz.HumanDeltaChain("d", False, "n", "c")
    records, refused, lock = [], [], threading.Lock()

    def work(index):
        for sequence in range(CAPTURES_PER_THREAD):
            try:
                record = engine.capture({"t": index, "s": sequence}, "%d:%d" % (index, sequence),
                                        [sequence] * 20, "out", triplet, chain)
            except RuntimeError as exc:
                assert str(exc) == "Already borrowed"
                with lock:
                    refused.append((index, sequence))
            else:
                with lock:
                    records.append(record)

    run_threads(work)
    assert len(records) + len(refused) == THREADS * CAPTURES_PER_THREAD
    if dumps == "yielding-dumps":
        assert refused, "no capture ever met a busy engine"
    # The log holds the successful captures in the order they chained, and
    # that order is one unbroken chain from genesis.
    lines = read_log_lines(wal_path)
    assert sorted(line["merkle_root"] for line in lines) == sorted(r.merkle_root for r in records)
    root = oracle.GENESIS_HEX
    for line in lines:
        assert line["hash"] == oracle.seal_hash("p", "q", "r", line["prompt"], line["coherence_score"],
                                                line["reputation_scalar"])
        assert line["merkle_root"] == oracle.next_root(root, line["hash"])
        root = line["merkle_root"]
    # The records were never changed underneath: still usable afterwards.
    assert triplet.place == "q" and engine.public_key_hex()
    after = engine.capture(None, "after", None, "", triplet, chain)
    assert after.merkle_root == oracle.next_root(root, after.hash)


@pytest.mark.parametrize("log", ["own-logs", "one-log"])
def test_threads_with_an_engine_each_all_succeed(vz, tmp_path, fast_switching, yielding_dumps, log):
    def path_of(index):
        return str(tmp_path / ("shared.wal" if log == "one-log" else "thread-%d.wal" % index))

    vz.ZELEngine(path_of(0))  # with one log, every engine shares its key
    made = {}

    def work(index):
        engine = vz.ZELEngine(path_of(index))
        triplet = vz.PPPTriplet("thread-%d" % index, "q", "r")
        chain = vz.HumanDeltaChain("d", True, "n")
        made[index] = [engine.capture({"s": sequence}, "%d:%d" % (index, sequence), None, "", triplet, chain)
                       for sequence in range(CAPTURES_PER_THREAD)]

    run_threads(work)
    assert sorted(made) == list(range(THREADS))
    lines = []
    for index in ({0} if log == "one-log" else range(THREADS)):
        lines += read_log_lines(path_of(index))
    assert len(lines) == THREADS * CAPTURES_PER_THREAD
    by_root = {line["merkle_root"]: line for line in lines}
    for index, records in made.items():
        root = oracle.GENESIS_HEX
        for record in records:
            assert record.hash == oracle.seal_hash("thread-%d" % index, "q", "r", record.prompt,
                                                   record.coherence_score, record.reputation_scalar)
            assert record.merkle_root == oracle.next_root(root, record.hash)
            assert by_root[record.merkle_root]["prompt"] == record.prompt
            root = record.merkle_root
