"""The rewrites that records alone cannot show, before and after notarising:
each passes verify without checkpoints and fails with them, narrowed to the
lines between the last checkpoint that still matches and the first that
does not. Logs are written by the real module; checkpoints every 10 lines."""
import json
import shutil

import pytest

from audit_logs import decode, edit, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import failures, verify_log
from vorm_zel_audit.merkle import root_of
from vorm_zel_audit.sidecar import read_sidecar
from vorm_zel_audit.signed_note import parse_note
from vorm_zel_audit.tree_head import TreeHead
from vorm_zel_audit.notary import Notary
from vorm_zel_audit.seal import next_root_hex


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """40 lines: engine A writes lines 1-20, engine B 21-30, engine C 31-40,
    notarised after every 10 lines."""
    path = tmp_path_factory.mktemp("notarised") / "audit.wal"
    first = seal(path, 10)
    notary = Notary(str(path))
    notary.notarize()
    seal(path, 10, start=10, engine=first)
    notary.notarize()
    for start in (20, 30):
        seal(path, 10, start=start)
        notary.notarize()
    return path


@pytest.fixture
def log(pristine, tmp_path):
    path = tmp_path / "audit.wal"
    for suffix in ("", ".key", ".checkpoints"):
        shutil.copy(str(pristine) + suffix, str(path) + suffix)
    return path, public_key_of(path), read_lines(path)


def members(line):
    return dict(decode(line))


def edit_output(lines, path):
    lines[16] = edit(lines[16], output="Decision: refund everything")


def delete_and_rechain(lines, path):
    del lines[16]
    root = members(lines[15])["merkle_root"]
    for index in range(16, 19):  # the rest of engine A's chain
        root = next_root_hex(root, members(lines[index])["hash"])
        lines[index] = edit(lines[index], merkle_root=root)


def remove_engine_run(lines, path):
    del lines[20:30]


def move_text_from_triplet_to_prompt(lines, path):
    values = members(lines[16])
    ppp = json.loads(values["ppp_json"])
    assert ppp["purpose"] == "resolve ticket"
    ppp["purpose"] = "resolve"
    lines[16] = edit(lines[16], ppp_json=json.dumps(ppp, separators=(",", ":")),
                     prompt=" ticket" + values["prompt"])


def cut_tail(lines, path):
    del lines[37:]


def rewrite_sidecar(lines, path):
    """Edit line 35 and put the new root into the last checkpoint, keeping
    its signature."""
    lines[34] = edit(lines[34], output="Decision: nothing happened")
    sidecar = str(path) + ".checkpoints"
    last = read_sidecar(sidecar).entries[-1]
    text = parse_note(last.data).text
    head = TreeHead.parse(text)
    forged = TreeHead(head.origin, head.size, root_of(lines)).to_text()
    with open(sidecar, "rb") as handle:
        data = handle.read()
    assert data.count(text.encode()) == 1
    with open(sidecar, "wb") as handle:
        handle.write(data.replace(text.encode(), forged.encode()))


def sign_with_another_key(lines, path):
    """Rewrite line 17 and replace the checkpoints by ones the forger's own
    key signed over the rewritten log."""
    edit_output(lines, path)
    write_lines(path, lines)
    forger = path.parent / "forger.key"
    forger.write_bytes(bytes(range(1, 33)))
    sidecar = str(path) + ".checkpoints"
    shutil.move(sidecar, sidecar + ".genuine")
    Notary(str(path), key_file=str(forger)).notarize()


ATTACKS = [
    # attack, failures with checkpoints (kind, line)
    (edit_output, [(failures.REWRITTEN, 11)]),
    (delete_and_rechain, [(failures.REWRITTEN, 11)]),
    (remove_engine_run, [(failures.REWRITTEN, 21)]),
    (move_text_from_triplet_to_prompt, [(failures.REWRITTEN, 11)]),
    (cut_tail, [(failures.TRUNCATED, 38)]),
    (rewrite_sidecar, [(failures.CHECKPOINT_SIGNATURE, None)]),
    (sign_with_another_key, [(failures.CHECKPOINT_SIGNATURE, None)]),
]


@pytest.mark.parametrize("attack,expected", ATTACKS, ids=[attack.__name__ for attack, _ in ATTACKS])
def test_each_attack_passes_without_checkpoints_and_fails_with_them(log, attack, expected):
    path, key, lines = log
    attack(lines, path)
    if attack is not sign_with_another_key:
        write_lines(path, lines)
    before = verify_log(str(path), key, checkpoints=False, jobs=1)
    assert before.passed and before.notarized is None
    after = verify_log(str(path), key, jobs=1)
    assert not after.passed
    found = [(f.kind, f.line) for f in after.failures]
    assert found[:len(expected)] == expected, found
    assert not after.notarized.proven
    assert after.proven.lines_notarized == 0 and after.proven.complete_and_in_order is False
    assert "does not match" in after.notarized.statement or "nothing is notarised" in after.notarized.statement


def test_the_rewrite_is_narrowed_to_the_lines_between_checkpoints(log):
    path, key, lines = log
    edit_output(lines, path)
    write_lines(path, lines)
    report = verify_log(str(path), key, jobs=1)
    rewritten = report.failures_of(failures.REWRITTEN)
    assert len(rewritten) == 1
    assert "lines 11 to 20" in rewritten[0].detail
    assert rewritten[0].offset == sum(len(line) + 1 for line in lines[:10])
    assert report.notarized.lines_covered == 10


def test_the_untouched_log_is_notarised_to_its_last_line(log):
    path, key, lines = log
    report = verify_log(str(path), key, jobs=1, require_notarized=True)
    assert report.passed, report.failures
    result = report.notarized
    assert (result.valid_checkpoints, result.lines, result.lines_covered, result.lines_after) == (4, 40, 40, 0)
    assert result.proven and "lines 1 to 40" in result.statement
    assert report.to_dict()["notarized"]["latest_tree_size"] == 40
    assert "notarised: lines 1 to 40" in report.format_text()
    proven = report.proven
    assert proven.lines_notarized == 40 and proven.complete_and_in_order is True
    assert "every byte of lines 1 to 40, so every member of their records, their order and their number" in \
        proven.statement
    assert proven.not_proven == [
        "that no lines were cut off together with the checkpoints that covered them (a copy of a checkpoint "
        "kept elsewhere shows that)"]


def test_lines_after_the_last_checkpoint_are_a_note_or_with_require_a_failure(log):
    path, key, lines = log
    seal(path, 3, start=40)
    report = verify_log(str(path), key, jobs=1)
    assert report.passed and report.notarized.lines_after == 3
    assert "lines 41 to 43 (3) came after the latest checkpoint" in report.notarized.statement
    assert report.proven.complete_and_in_order is False
    assert "for lines 41 to 43, after the latest signed checkpoint: that the log is complete" in \
        report.proven.statement
    required = verify_log(str(path), key, jobs=1, require_notarized=True)
    assert [(f.kind, f.line) for f in required.failures] == [(failures.NOT_NOTARIZED, 41)]


def test_a_missing_sidecar_is_said_and_fails_only_when_required(log):
    path, key, _ = log
    shutil.move(str(path) + ".checkpoints", str(path.parent / "elsewhere"))
    assert verify_log(str(path), key, jobs=1).notarized is None
    required = verify_log(str(path), key, jobs=1, require_notarized=True)
    assert [f.kind for f in required.failures] == [failures.NOT_NOTARIZED]
    assert "nothing is notarised" in required.notarized.statement
    kept = verify_log(str(path), key, jobs=1, checkpoints=str(path.parent / "elsewhere"))
    assert kept.passed and kept.notarized.lines_covered == 40


def test_a_checkpoint_kept_elsewhere_catches_a_cut_that_took_the_sidecar_with_it(log):
    path, key, lines = log
    kept = path.parent / "kept.checkpoints"
    shutil.copy(str(path) + ".checkpoints", str(kept))
    # The forger cuts ten lines and the checkpoints that covered them.
    write_lines(path, lines[:30])
    with open(str(path) + ".checkpoints", "rb") as handle:
        entries = handle.read().split(b"\n\n")
    with open(str(path) + ".checkpoints", "wb") as handle:
        handle.write(b"\n\n".join(entries[:6]) + b"\n\n")
    assert verify_log(str(path), key, jobs=1).passed
    elsewhere = verify_log(str(path), key, jobs=1, checkpoints=str(kept))
    assert [(f.kind, f.line) for f in elsewhere.failures] == [(failures.TRUNCATED, 31)]
