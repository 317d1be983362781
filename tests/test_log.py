"""The write-ahead log: where lines go, what they hold, and what happens when
the file cannot be written.

Lines are read back as raw bytes and checked against an independent
rebuild of the seal, chain and line layout (``capture_oracle``), so a line
that parses but was written differently from the record still fails.
"""
import json
import math
import multiprocessing
import os
import random
import shutil
import warnings

import pytest

import capture_oracle as oracle
from capturing import capture, write_key

HERE = os.path.dirname(os.path.abspath(__file__))


def raw_lines(path):
    with open(path, "rb") as handle:
        data = handle.read()
    assert data == b"" or data.endswith(b"\n")
    return data.split(b"\n")[:-1]


def parse_line(raw):
    pairs = json.loads(raw.decode("utf-8"), object_pairs_hook=list)
    assert [name for name, _ in pairs] == list(oracle.FIELDS)
    # Compact, with the writer's escapes and float layout, byte for byte.
    assert raw == oracle.log_line(pairs)
    return dict(pairs)


def assert_line_is_record(raw, record):
    line = parse_line(raw)
    for name, value in oracle.record_values(record):
        assert line[name] == value, name
    assert raw == oracle.log_line(oracle.record_values(record))


def assert_chain(records_, public_key_hex, start=oracle.GENESIS_HEX):
    root = start
    for record in records_:
        assert record.merkle_root == oracle.next_root(root, record.hash)
        assert oracle.signature_verifies(public_key_hex, bytes.fromhex(record.hash), record.signature)
        root = record.merkle_root
    return root


# --------------------------------------------------------- which paths log --

def test_memory_path_writes_nothing(vz):
    engine = vz.ZELEngine(":memory:")
    made = [capture(engine, "prompt %d\n" % i) for i in range(5)]
    assert os.listdir(".") == []
    assert_chain(made, engine.public_key_hex())


@pytest.mark.parametrize("path", [":MEMORY:", " :memory:", ":memory: ", ":memory:x", "x:memory:",
                                  ":memory", "memory"])
def test_memory_lookalikes_are_ordinary_files(vz, path):
    engine = vz.ZELEngine(path)
    assert sorted(os.listdir(".")) == sorted([path, path + ".key"])
    assert os.path.getsize(path) == 0
    assert os.path.getsize(path + ".key") == 32
    record = capture(engine, "hello")
    lines = raw_lines(path)
    assert len(lines) == 1
    assert_line_is_record(lines[0], record)


# ------------------------------------------------------------ what is logged --

def test_lines_are_appended_in_capture_order(vz, wal_path):
    engine = vz.ZELEngine(wal_path)
    made = []
    for index in range(40):
        prompt = "#%d %s" % (index, "\n" * (index % 3))
        made.append(capture(engine, prompt, ctx={"prompt": prompt}, reasoning_trace=["trace"],
                            auto_insight=index % 2 == 0))
        lines = raw_lines(wal_path)
        assert len(lines) == index + 1
        assert_line_is_record(lines[-1], made[-1])
    for raw, record in zip(raw_lines(wal_path), made):
        assert_line_is_record(raw, record)
    assert_chain(made, engine.public_key_hex())


def test_null_insight_and_signature_array_in_the_line(vz, wal_path):
    engine = vz.ZELEngine(wal_path)
    capture(engine, "x", auto_insight=False)
    raw = raw_lines(wal_path)[0]
    assert raw.endswith(b',"core_insight_json":null}')
    line = parse_line(raw)
    assert len(line["signature"]) == 64


def test_existing_content_is_kept(vz, wal_path):
    old = b'{"an":"older line"}\nnot even json \xc3\xa9\n'
    with open(wal_path, "wb") as handle:
        handle.write(old)
    engine = vz.ZELEngine(wal_path)
    with open(wal_path, "rb") as handle:
        assert handle.read() == old
    made = [capture(engine, str(i)) for i in range(3)]
    with open(wal_path, "rb") as handle:
        data = handle.read()
    assert data.startswith(old)
    new_lines = data[len(old):].split(b"\n")
    assert new_lines[-1] == b""
    for raw, record in zip(new_lines[:-1], made):
        assert_line_is_record(raw, record)
    assert len(new_lines) - 1 == len(made)


def test_new_engine_on_an_existing_log_starts_from_genesis(vz, wal_path, tmp_path):
    """Nothing is read back from the log: an engine opened on it starts its
    chain and its scores afresh, as one with the same key and no log does."""
    first = vz.ZELEngine(wal_path)
    earlier = [capture(first, "capture %d" % i) for i in range(4)]
    second = vz.ZELEngine(wal_path)
    assert second.public_key_hex() == first.public_key_hex()
    later = [capture(second, "capture %d" % i) for i in range(3)]
    fresh = tmp_path / "fresh"
    fresh.mkdir()
    with open(wal_path + ".key", "rb") as handle:
        write_key(str(fresh / "audit.wal.key"), handle.read())
    copied = [capture(vz.ZELEngine(str(fresh / "audit.wal")), "capture 0")]

    lines = [parse_line(raw) for raw in raw_lines(wal_path)]
    assert len(lines) == 7
    assert [line["id"] for line in lines] == [r.id for r in earlier + later]
    restart = lines[4]
    assert restart["merkle_root"] == oracle.next_root(oracle.GENESIS_HEX, restart["hash"])
    assert restart["merkle_root"] != oracle.next_root(lines[3]["merkle_root"], restart["hash"])
    # Fresh scoring state too: the first capture of a new engine.
    assert abs(restart["reputation_scalar"] - 0.51) <= math.ulp(0.51)
    assert_chain(later, second.public_key_hex())
    for again in (later, copied):
        for record, opening in zip(again, earlier):
            assert record.merkle_root == opening.merkle_root
            assert record.signature == opening.signature
            assert record.reputation_scalar == opening.reputation_scalar


# -------------------------------------------------------- unwritable logs --

def vanished_directory(tmp_path):
    directory = tmp_path / "gone"
    directory.mkdir()
    path = str(directory / "audit.wal")

    def break_it():
        shutil.rmtree(str(directory))

    return path, break_it, "No such file or directory"


def log_replaced_by_directory(tmp_path):
    path = str(tmp_path / "audit.wal")

    def break_it():
        os.remove(path)
        os.mkdir(path)

    return path, break_it, "Is a directory"


def path_names_a_directory(tmp_path):
    path = str(tmp_path / "already-a-directory")
    os.mkdir(path)
    return path, lambda: None, "Is a directory"


BROKEN_LOGS = [
    pytest.param(vanished_directory, id="directory-removed"),
    pytest.param(log_replaced_by_directory, id="log-replaced-by-directory"),
    pytest.param(path_names_a_directory, id="path-is-a-directory"),
]


@pytest.mark.parametrize("scenario", BROKEN_LOGS)
def test_unwritable_log_warns_on_every_capture_and_keeps_sealing(vz, tmp_path, scenario):
    path, break_it, os_text = scenario(tmp_path)
    with warnings.catch_warnings():
        # A failed touch of the log while the engine is built stays silent.
        warnings.simplefilter("error")
        engine = vz.ZELEngine(path)
    public_key = engine.public_key_hex()
    break_it()

    made = []
    for index in range(5):
        with pytest.warns(RuntimeWarning) as caught:
            made.append(capture(engine, "lost line %d\n" % index))
        assert len(caught) == 1
        message = str(caught[0].message)
        assert path in message
        assert os_text in message
    assert_chain(made, public_key)
    for record in made:
        assert record.hash == oracle.seal_hash(
            "p", "q", "r", record.prompt, record.coherence_score, record.reputation_scalar
        )
    assert not os.path.isfile(path)


def test_warning_turned_into_an_error_raises_but_keeps_the_state(vz, tmp_path):
    path, break_it, os_text = vanished_directory(tmp_path)
    engine = vz.ZELEngine(path)
    # A twin with the same key on a healthy log shows what the chain must be.
    twin_path = str(tmp_path / "twin.wal")
    with open(path + ".key", "rb") as source:
        write_key(twin_path + ".key", source.read())
    twin = vz.ZELEngine(twin_path)
    break_it()

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning) as raised:
            capture(engine, "first")
    assert path in str(raised.value) and os_text in str(raised.value)
    expected_first = capture(twin, "first")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        second = capture(engine, "second")
    expected_second = capture(twin, "second")
    # The failed call had already scored and chained: nothing was rolled back.
    assert second.merkle_root == expected_second.merkle_root
    assert second.merkle_root == oracle.next_root(expected_first.merkle_root, second.hash)
    assert second.reputation_scalar == expected_second.reputation_scalar
    assert second.coherence_score == expected_second.coherence_score


# ------------------------------------------------------ several processes --

PROCESSES = 4
CAPTURES_PER_PROCESS = 200
FILLER = ["a", "é", "日本語", "😀", "\n", '"', "\\", "\x01", "\x7f", "{}"]


def append_from_process(path, index, barrier):
    import vorm_zel

    engine = vorm_zel.ZELEngine(path)
    rng = random.Random(1000 + index)
    triplet = vorm_zel.PPPTriplet("proc-%d" % index, "", "")
    chain = vorm_zel.HumanDeltaChain("d", True, "n")
    barrier.wait()
    for sequence in range(CAPTURES_PER_PROCESS):
        size = rng.choice([0, rng.randint(1, 300), rng.randint(1, 4000), rng.randint(30000, 65536)])
        prompt = "%d:%d:" % (index, sequence) + rng.choice(FILLER) * size
        engine.capture(None, prompt, None, "", triplet, chain)


def test_processes_sharing_one_log_write_whole_lines(vz, wal_path):
    # The key exists before the writers start, so all of them sign alike.
    public_key = vz.ZELEngine(wal_path).public_key_hex()
    context = multiprocessing.get_context("fork")
    barrier = context.Barrier(PROCESSES)
    workers = [
        context.Process(target=append_from_process, args=(wal_path, index, barrier))
        for index in range(PROCESSES)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(600)
    assert [worker.exitcode for worker in workers] == [0] * PROCESSES

    lines = [parse_line(raw) for raw in raw_lines(wal_path)]
    assert len(lines) == PROCESSES * CAPTURES_PER_PROCESS

    per_process = {index: [] for index in range(PROCESSES)}
    for line in lines:
        provenance = json.loads(line["ppp_json"])["provenance"]
        per_process[int(provenance.split("-")[1])].append(line)
    for index, own in per_process.items():
        assert [int(line["prompt"].split(":")[1]) for line in own] == list(range(CAPTURES_PER_PROCESS))
        root = oracle.GENESIS_HEX
        for line in own:
            assert line["hash"] == oracle.seal_hash(
                "proc-%d" % index, "", "", line["prompt"], line["coherence_score"], line["reputation_scalar"]
            )
            assert line["merkle_root"] == oracle.next_root(root, line["hash"])
            assert oracle.signature_verifies(public_key, bytes.fromhex(line["hash"]), line["signature"])
            root = line["merkle_root"]
