"""What a pass proves, stated in every report: a plain line in the text and
the ``proven`` object in JSON, never more than was checked."""
import json

import pytest

from audit_logs import decode, edit, other_key_line, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import NOT_SEALED, failures, make_checkpoint, verify_log
from vorm_zel_audit.seal import next_root_hex


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, 20)
    return path, public_key_of(path)


def test_a_clean_pass_proves_signatures_and_consistency_not_completeness(log):
    path, key = log
    proven = verify_log(str(path), key).proven
    assert (proven.records_verified, proven.records_failed, proven.key_pinned) == (20, 0, True)
    assert proven.chains_consistent is True and proven.complete_and_in_order is False
    assert "merkle_root" in proven.unsealed_members and "output" in proven.unsealed_members
    assert "where provenance, place, purpose and prompt divide (the seal binds their concatenation)" in \
        proven.not_proven
    assert proven.to_dict() == verify_log(str(path), key).to_dict()["proven"]


def test_removed_and_rechained_records_still_pass_and_the_statement_does_not_claim_otherwise(log):
    # The attack the statement must not hide: without the key, records are
    # deleted and every root after them recomputed.
    path, key = log
    lines = read_lines(path)
    del lines[5:8]
    root = dict(decode(lines[4]))["merkle_root"]
    for index in range(5, len(lines)):
        root = next_root_hex(root, dict(decode(lines[index]))["hash"])
        lines[index] = edit(lines[index], merkle_root=root)
    write_lines(path, lines)
    report = verify_log(str(path), key)
    assert report.passed
    assert "not proven: that the log is complete, in order, or free of removed" in report.proven.statement.lower()


def test_the_unsealed_members_listed_are_those_a_pass_cannot_see(log):
    path, key = log
    lines = read_lines(path)
    for member in NOT_SEALED:
        if member in ("merkle_root",):
            continue
        changed = edit(lines[3], **{member: 1 if member == "monotonic_nanos" else "{}"})
        write_lines(path, lines[:3] + [changed] + lines[4:])
        assert verify_log(str(path), key).passed, member


def test_failed_records_are_not_counted_as_proven(log, tmp_path):
    path, key = log
    lines = read_lines(path)
    lines.insert(4, other_key_line(tmp_path, 1, dict(decode(lines[3]))["merkle_root"]))
    write_lines(path, lines)
    proven = verify_log(str(path), key).proven
    assert (proven.records_verified, proven.records_failed) == (20, 1)
    assert "; 1 record failed." in proven.statement


def test_lines_accepted_on_a_checkpoints_word_are_counted_and_recheck_checks_them(log, tmp_path):
    # A checkpoint is not signed: one crafted for a forged log, with the real
    # public key written into it, vouches for lines no key signed.
    path, key = log
    forged = tmp_path / "forged.wal"
    seal(forged, 20, provenance="forged")
    checkpoint, _ = make_checkpoint(str(forged), public_key_of(forged))
    checkpoint.public_key = key
    path.write_bytes(forged.read_bytes())
    report = verify_log(str(path), key, checkpoint=checkpoint)
    assert report.passed  # on the checkpoint's word
    assert report.lines_on_checkpoint_word == 20 and report.proven.records_verified == 0
    assert "the bytes of the first 20 lines, unchanged since a checkpoint that vouched for them (not checked " \
           "again in this run; --recheck does)" in report.proven.statement
    # Nothing was checked in this run: no chain is claimed consistent, and the
    # checkpoint's own standing is named as unproven.
    assert "chain links" not in report.proven.statement and report.proven.chains_consistent is False
    assert "that the checkpoint that vouched for the first lines is genuine: it is not signed" in \
        report.proven.statement
    rechecked = verify_log(str(path), key, checkpoint=checkpoint, recheck=True)
    assert rechecked.failure_counts == {failures.BAD_SIGNATURE: 20}
    assert rechecked.lines_on_checkpoint_word == 0 and rechecked.checkpoint["rechecked"] is True


def test_the_json_report_carries_the_statement(log):
    path, key = log
    data = json.loads(verify_log(str(path), key, key_source="read from a vault", key_pinned=True).to_json())
    assert data["proven"]["statement"].startswith("proven: the hash and signature of 20 records with the public "
                                                  "key read from a vault")
    assert data["proven"]["complete_and_in_order"] is False
