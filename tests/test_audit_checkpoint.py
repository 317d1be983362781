"""Checkpoints: pinning the key, proving the log was only appended to, and
checking only what came after."""
import json
import os

import pytest

from audit_logs import edit, kinds, offsets, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import Checkpoint, InvalidCheckpoint, failures, make_checkpoint, verify_log
from vorm_zel_audit import atomic_file
from vorm_zel_audit.checkpoint import BLOCK_SIZE

MODES = [dict(jobs=1), dict(jobs=2, parallel_min_lines=0, chunk_bytes=4000)]


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    engine = seal(path, 60)
    key = engine.public_key_hex()
    checkpoint, report = make_checkpoint(str(path), key, jobs=1)
    assert checkpoint is not None and report.passed
    return path, key, engine, checkpoint


def test_a_checkpoint_describes_the_verified_log(log):
    path, key, _, checkpoint = log
    data = path.read_bytes()
    assert checkpoint.public_key == key
    assert (checkpoint.byte_length, checkpoint.line_count, checkpoint.record_count) == (len(data), 60, 60)
    import blake3
    assert checkpoint.prefix_blake3 == blake3.blake3(data).hexdigest()
    assert len(checkpoint.block_blake3) == -(-len(data) // BLOCK_SIZE) >= 2
    [segment] = checkpoint.segments
    assert segment["records"] == 60 and segment["start"] == "genesis"
    assert segment["last_merkle_root"] == json.loads(read_lines(path)[-1])["merkle_root"]


def test_save_and_load(log, tmp_path):
    _, _, _, checkpoint = log
    target = tmp_path / "audit.checkpoint"
    checkpoint.save(str(target))
    loaded = Checkpoint.load(str(target))
    assert loaded.to_dict() == checkpoint.to_dict()
    assert not list(tmp_path.glob("*.tmp*"))


@pytest.mark.parametrize("content", [b"", b"[]", b"{}", b'{"format": "vorm-zel-checkpoint/1"}', b"\xff"])
def test_an_unusable_checkpoint_is_refused(tmp_path, content):
    target = tmp_path / "bad.checkpoint"
    target.write_bytes(content)
    with pytest.raises(InvalidCheckpoint):
        Checkpoint.load(str(target))


def test_an_edited_checkpoint_is_refused(log):
    _, _, _, checkpoint = log
    data = checkpoint.to_dict()
    data["byte_length"] += BLOCK_SIZE
    with pytest.raises(InvalidCheckpoint):
        Checkpoint.from_dict(data)


@pytest.mark.parametrize("options", MODES, ids=["in-process", "workers"])
def test_an_unchanged_log_needs_no_line_checked(log, options):
    path, key, _, checkpoint = log
    report = verify_log(str(path), key, checkpoint=checkpoint, **options)
    assert report.passed and report.failures == []
    assert report.checkpoint["prefix_matches"] is True
    assert (report.lines, report.records, report.lines_checked) == (60, 60, 0)
    assert [s.records for s in report.segments] == [60]


@pytest.mark.parametrize("options", MODES, ids=["in-process", "workers"])
def test_appended_lines_are_checked_against_the_chains_it_recorded(log, options):
    path, key, engine, checkpoint = log
    seal(path, 25, start=60, engine=engine)  # the same engine: its chain goes on
    seal(path, 5, start=200)  # a new engine: a new chain
    report = verify_log(str(path), key, checkpoint=checkpoint, **options)
    assert report.passed and report.failures == []
    assert (report.lines, report.records, report.lines_checked, report.records_checked) == (90, 90, 30, 30)
    assert [(s.start, s.records, s.first_line, s.last_line) for s in report.segments] == \
        [("genesis", 85, 1, 85), ("genesis", 5, 86, 90)]
    assert "the hash and signature of 30 records" in report.proven.statement
    assert "that the chain links of the lines checked in this run are consistent" in report.proven.statement


def test_the_key_is_pinned_by_the_checkpoint(log, tmp_path):
    path, key, engine, checkpoint = log
    seal(path, 3, start=60, engine=engine)
    report = verify_log(str(path), None, checkpoint=checkpoint, jobs=1)
    assert report.passed and report.public_key_hex == key


def test_another_key_than_the_pinned_one_is_a_key_mismatch(log, tmp_path):
    path, _, _, checkpoint = log
    report = verify_log(str(path), public_key_of(tmp_path / "other.wal"), checkpoint=checkpoint, jobs=1)
    assert not report.passed
    assert report.failures[0].kind == failures.KEY_MISMATCH
    # Everything is checked again with the key given: no signature verifies.
    assert report.failure_counts[failures.BAD_SIGNATURE] == 60


def test_a_log_cut_short_is_truncated(log):
    path, key, _, checkpoint = log
    lines = read_lines(path)
    write_lines(path, lines[:-2])
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert not report.passed
    assert kinds(report) == [(failures.TRUNCATED, None)]
    assert report.failures[0].offset == offsets(lines)[-2]
    assert report.checkpoint["prefix_matches"] is False
    assert report.lines_checked == 58


def test_a_log_cut_short_and_then_appended_to_is_rewritten(log):
    path, key, _, checkpoint = log
    lines = read_lines(path)
    write_lines(path, lines[:-2])
    seal(path, 4, start=300)
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert [failure.kind for failure in report.failures] == [failures.REWRITTEN]
    assert report.failures[0].line <= 59


@pytest.mark.parametrize("member,value", [("output", "Decision: refund everything"),
                                          ("timestamp", lambda v: "2020" + v[4:])])
def test_a_changed_unsealed_member_is_rewritten(log, member, value):
    path, key, _, checkpoint = log
    lines = read_lines(path)
    lines[54] = edit(lines[54], **{member: value})
    write_lines(path, lines)
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert not report.passed
    assert [failure.kind for failure in report.failures] == [failures.REWRITTEN]
    failure = report.failures[0]
    # It names the first changed 64 KiB block and the line that block starts in.
    assert failure.offset == (offsets(lines)[54] // BLOCK_SIZE) * BLOCK_SIZE
    assert offsets(lines)[failure.line - 1] <= failure.offset
    assert failure.line == 60 or offsets(lines)[failure.line] > failure.offset


def test_a_shortening_change_in_the_last_block_reads_as_truncated(log):
    # The last, partial 64 KiB block cannot be compared once the log is
    # shorter: the verdict still fails, and the detail says what is known.
    path, key, _, checkpoint = log
    lines = read_lines(path)
    lines[-1] = edit(lines[-1], output="")
    write_lines(path, lines)
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert kinds(report) == [(failures.TRUNCATED, None)]
    assert "could not be compared" in report.failures[0].detail


def test_a_changed_sealed_member_is_rewritten_and_a_hash_mismatch(log):
    path, key, _, checkpoint = log
    lines = read_lines(path)
    lines[5] = edit(lines[5], prompt="changed")
    write_lines(path, lines)
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert kinds(report) == [(failures.REWRITTEN, 1), (failures.HASH_MISMATCH, 6)]


def test_a_removed_line_after_the_checkpoint_breaks_the_chain(log):
    path, key, engine, checkpoint = log
    seal(path, 5, start=60, engine=engine)
    lines = read_lines(path)
    del lines[60]
    write_lines(path, lines)
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert kinds(report) == [(failures.CHAIN_BREAK, 61)]


def test_a_chain_start_copied_after_the_checkpoint_is_a_duplicate(log):
    path, key, _, checkpoint = log
    lines = read_lines(path)
    write_lines(path, lines + [lines[0]])
    report = verify_log(str(path), key, checkpoint=checkpoint, jobs=1)
    assert kinds(report) == [(failures.DUPLICATE, 61)]


def test_a_checkpoint_ends_before_a_torn_tail_and_the_completed_line_verifies(tmp_path):
    path = tmp_path / "audit.wal"
    engine = seal(path, 10)
    lines = read_lines(path)
    last = lines.pop()
    write_lines(path, lines, tail=last[:400])
    checkpoint, report = make_checkpoint(str(path), engine.public_key_hex(), jobs=1)
    assert report.torn_tail is not None and checkpoint.line_count == 9
    write_lines(path, lines + [last])
    report = verify_log(str(path), engine.public_key_hex(), checkpoint=checkpoint, jobs=1)
    assert report.passed and report.torn_tail is None
    assert (report.lines_checked, report.records) == (1, 10)


def test_no_checkpoint_of_a_log_that_fails(log):
    path, key, _, _ = log
    lines = read_lines(path)
    lines[3] = edit(lines[3], prompt="changed")
    write_lines(path, lines)
    checkpoint, report = make_checkpoint(str(path), key, jobs=1)
    assert checkpoint is None and not report.passed


def test_a_checkpoint_moves_forward_from_an_earlier_one(log):
    path, key, engine, first = log
    seal(path, 10, start=60, engine=engine)
    second, report = make_checkpoint(str(path), key, first, jobs=1)
    assert report.lines_checked == 10
    assert (second.line_count, second.segments[0]["records"]) == (70, 70)
    seal(path, 2, start=70, engine=engine)
    report = verify_log(str(path), key, checkpoint=second, jobs=1)
    assert report.passed and report.lines_checked == 2 and report.segments[0].records == 72


def test_save_never_writes_through_a_planted_link(log, tmp_path, monkeypatch):
    _, _, _, checkpoint = log
    target = tmp_path / "audit.checkpoint"
    victim = tmp_path / "victim"
    victim.write_text("precious")
    # The old predictable temporary name, and the exact one this save picks.
    os.symlink(str(victim), "%s.tmp%d" % (target, os.getpid()))
    monkeypatch.setattr(atomic_file.secrets, "token_hex", lambda _: "fixed")
    os.symlink(str(victim), "%s.tmp-fixed" % target)
    with pytest.raises(FileExistsError):
        checkpoint.save(str(target))
    assert victim.read_text() == "precious" and not target.exists()
    monkeypatch.undo()
    checkpoint.save(str(target))
    assert victim.read_text() == "precious"
    assert Checkpoint.load(str(target)).to_dict() == checkpoint.to_dict()


@pytest.mark.parametrize("content", [b"[" * 100000, b'{"format":' + b"[" * 5000 + b"]" * 5000 + b"}"])
def test_a_hostile_checkpoint_is_refused_not_raised(tmp_path, content):
    target = tmp_path / "bad.checkpoint"
    target.write_bytes(content)
    with pytest.raises(InvalidCheckpoint, match="nested"):
        Checkpoint.load(str(target))


def test_a_checkpoint_written_before_key_trust_was_recorded_counts_as_unpinned(log):
    _, _, _, checkpoint = log
    data = checkpoint.to_dict()
    del data["key_pinned"], data["key_source"]
    assert Checkpoint.from_dict(data).key_pinned is False
