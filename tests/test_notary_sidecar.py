"""The checkpoints file: whole entries, a torn last entry ignored and said,
hostile contents as typed failures, non-regular files refused without
blocking."""
import os
import threading

import pytest

from vorm_zel_audit import failures
from vorm_zel_audit.notarized import check_notarized
from vorm_zel_audit.notary import Notary, NotaryError
from vorm_zel_audit.sidecar import MAX_ENTRY_BYTES, append_note, read_sidecar


@pytest.fixture
def notarised(tmp_path):
    """A log of 12 lines notarised at 5 and at 12 lines."""
    log = tmp_path / "x.wal"
    (tmp_path / "x.wal.key").write_bytes(bytes(range(32)))
    log.write_bytes(b"".join(b"line %d\n" % n for n in range(5)))
    notary = Notary(str(log))
    notary.notarize()
    with open(log, "ab") as handle:
        handle.write(b"".join(b"line %d\n" % n for n in range(5, 12)))
    notary.notarize()
    return log, bytes.fromhex(notary.public_key_hex), str(log) + ".checkpoints"


def check(log, key, sidecar):
    return check_notarized(str(log), sidecar, key)


def test_two_whole_entries(notarised):
    log, key, sidecar = notarised
    contents = read_sidecar(sidecar)
    assert [e.number for e in contents.entries] == [1, 2] and contents.torn_tail is None
    result = check(log, key, sidecar)
    assert result.proven and (result.lines_covered, result.lines_after) == (12, 0)


@pytest.mark.parametrize("cut", [1, 40, -3, -1])
def test_a_torn_last_entry_is_ignored_and_said(notarised, cut):
    log, key, sidecar = notarised
    with open(sidecar, "rb") as handle:
        data = handle.read()
    second = read_sidecar(sidecar).entries[1].offset
    with open(sidecar, "wb") as handle:
        handle.write(data[:second + cut] if cut > 0 else data[:len(data) + cut])
    result = check(log, key, sidecar)
    if cut == -1:  # only the closing blank line is missing: the entry is whole
        assert result.lines_covered == 12 and result.torn_entry is None
        return
    assert result.failures == [] and result.lines_covered == 5 and result.lines_after == 7
    assert result.torn_entry is not None and "not written whole" in result.notes[0]
    # The next checkpoint closes the torn piece and stays whole itself; the
    # piece, no longer last, is an entry that is not a checkpoint.
    with open(log, "ab") as handle:
        handle.write(b"line 12\n")
    Notary(str(log), checkpoints_path=sidecar).notarize()
    after = check(log, key, sidecar)
    assert after.lines_covered == 13
    assert [f.kind for f in after.failures] == [failures.MALFORMED_CHECKPOINT]


@pytest.mark.parametrize("garbage,kind", [
    (b"hello\n\n", failures.MALFORMED_CHECKPOINT),
    (b"\xff\xfe\n\n\xe2\x80\x94 a AAAA\n\n", failures.MALFORMED_CHECKPOINT),
    (b"x" * (MAX_ENTRY_BYTES * 3) + b"\n\n", failures.MALFORMED_CHECKPOINT),
    (b"\xe2\x80\x94 x AAAAAAAAAAAAAAAAAAAAAAAAAAAA\n\n", failures.MALFORMED_CHECKPOINT),
    (b"other/origin\n5\n" + b"A" * 43 + b"=\n\n\xe2\x80\x94 other/origin AAAAAAAAAAAA\n\n",
     failures.MALFORMED_CHECKPOINT),
])
def test_an_inserted_entry_that_is_no_checkpoint_is_a_failure_and_the_others_still_count(notarised, garbage, kind):
    log, key, sidecar = notarised
    with open(sidecar, "rb") as handle:
        data = handle.read()
    second = read_sidecar(sidecar).entries[1].offset
    with open(sidecar, "wb") as handle:
        handle.write(data[:second] + garbage + data[second:])
    result = check(log, key, sidecar)
    assert [f.kind for f in result.failures] == [kind]
    assert result.valid_checkpoints == 2 and result.lines_covered == 12


def test_a_fifo_is_refused_without_blocking(notarised, tmp_path):
    log, key, _ = notarised
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    outcome = {}
    worker = threading.Thread(target=lambda: outcome.setdefault("result", check(log, key, fifo)), daemon=True)
    worker.start()
    worker.join(20)
    assert not worker.is_alive(), "reading a FIFO blocked"
    assert [f.kind for f in outcome["result"].failures] == [failures.MALFORMED_CHECKPOINT]
    assert "not a regular file" in outcome["result"].failures[0].detail
    with pytest.raises(OSError):
        append_note(fifo, "x\n\n\u2014 a AAAAAAAA\n")


def test_the_writer_does_not_follow_a_symbolic_link(notarised, tmp_path):
    log, _, sidecar = notarised
    target = tmp_path / "elsewhere"
    target.write_bytes(b"")
    link = str(tmp_path / "link.checkpoints")
    os.symlink(str(target), link)
    with open(log, "ab") as handle:
        handle.write(b"more\n")
    with pytest.raises(OSError):
        Notary(str(log), checkpoints_path=link).notarize()
    assert target.read_bytes() == b""


def test_the_notary_refuses_to_sign_over_a_cut_or_rewritten_log(notarised):
    log, _, sidecar = notarised
    data = log.read_bytes()
    log.write_bytes(data.replace(b"line 3", b"line X"))
    os.unlink(sidecar + ".state")  # no saved state: the notary rebuilds the tree
    with open(log, "ab") as handle:
        handle.write(b"more\n")
    with pytest.raises(NotaryError, match="rewritten"):
        Notary(str(log)).notarize()
    log.write_bytes(data[:20])
    with pytest.raises(NotaryError, match="cut"):
        Notary(str(log)).notarize()
