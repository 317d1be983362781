"""Proofs of one line and of growth: built from a log and its checkpoints,
checked offline with the pinned key only, and refused once any byte of the
line, the path or the note changes; the prove / verify-proof commands."""
import base64
import json
import random

import pytest

from vorm_zel_audit import cli
from vorm_zel_audit.notary import Notary
from vorm_zel_audit.proof_file import (ProofError, build_consistency_proof, build_inclusion_proof,
                                       check_proof)

LINES = 100_000


def flipped(text_or_bytes, position):
    data = bytearray(text_or_bytes.encode("utf-8") if isinstance(text_or_bytes, str) else text_or_bytes)
    data[position] ^= 0x01
    return bytes(data)


@pytest.fixture(scope="module")
def big_log(tmp_path_factory):
    directory = tmp_path_factory.mktemp("big")
    path = directory / "big.wal"
    (directory / "big.wal.key").write_bytes(bytes(range(7, 39)))
    with open(path, "wb") as handle:
        handle.write(b"".join(b"line %d of the log \xe2\x98\x83\n" % number for number in range(LINES)))
    notary = Notary(str(path))
    notary.notarize()
    return str(path), bytes.fromhex(notary.public_key_hex)


@pytest.mark.slow
def test_random_lines_of_a_large_log_are_proven(big_log):
    path, key = big_log
    rng = random.Random(2024)
    for number in [1, 2, LINES // 2, LINES] + rng.sample(range(1, LINES + 1), 8):
        proof = build_inclusion_proof(path, number, path + ".checkpoints", key)
        assert proof["line"] == "line %d of the log \u2603" % (number - 1)
        assert (proof["index"], proof["tree_size"]) == (number - 1, LINES)
        assert len(proof["inclusion"]) <= 17  # ceil(log2(100,000))
        assert check_proof(json.loads(json.dumps(proof)), key).verified


@pytest.mark.slow
def test_any_changed_byte_of_line_path_or_note_is_refused(big_log):
    path, key = big_log
    proof = build_inclusion_proof(path, 31_337, path + ".checkpoints", key)
    assert check_proof(proof, key).verified
    line = proof["line"].encode()
    for position in range(len(line)):
        changed = dict(proof, line=flipped(line, position).decode("utf-8", "surrogateescape"))
        assert not check_proof(changed, key).verified, position
    for step in range(len(proof["inclusion"])):
        node = base64.b64decode(proof["inclusion"][step])
        for position in range(len(node)):
            path_ = list(proof["inclusion"])
            path_[step] = base64.b64encode(flipped(node, position)).decode()
            assert not check_proof(dict(proof, inclusion=path_), key).verified, (step, position)
    note = proof["checkpoint"].encode()
    for position in range(len(note)):
        changed = dict(proof, checkpoint=flipped(note, position).decode("utf-8", "surrogateescape"))
        assert not check_proof(changed, key).verified, position
    for member, value in [("index", 31_337), ("tree_size", LINES - 1), ("inclusion", proof["inclusion"][:-1])]:
        assert not check_proof(dict(proof, **{member: value}), key).verified, member
    assert not check_proof(proof, bytes(32)).verified


@pytest.fixture
def small_log(tmp_path):
    path = tmp_path / "s.wal"
    (tmp_path / "s.wal.key").write_bytes(bytes(range(32)))
    notary = Notary(str(path))
    written = 0
    for size in (5, 9, 16):
        with open(path, "ab") as handle:
            handle.write(b"".join(b"entry %d\n" % n for n in range(written, size)))
        written = size
        notary.notarize()
    return str(path), notary


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out = capsys.readouterr()
    return code, out.out, out.err


def test_prove_and_verify_proof_exit_codes(small_log, tmp_path, capsys):
    path, notary = small_log
    key = notary.public_key_hex
    proof_path = tmp_path / "p.json"
    assert run(capsys, "prove", path, "--line", 7, "-o", proof_path)[0] == 0
    code, out, _ = run(capsys, "verify-proof", proof_path, "--public-key", key)
    assert code == 0 and out.startswith("verified: line 7 ")
    proof = json.loads(proof_path.read_text())
    assert proof["tree_size"] == 16 and proof["line"] == "entry 6"
    proof["line"] = "entry 66"
    proof_path.write_text(json.dumps(proof))
    code, out, _ = run(capsys, "verify-proof", proof_path, "--public-key", key)
    assert code == 1 and out.startswith("NOT verified")
    assert run(capsys, "verify-proof", proof_path, "--public-key", "ab" * 32)[0] == 1
    assert run(capsys, "verify-proof", proof_path, "--public-key", "00" * 32)[0] == 2  # small order
    proof_path.write_text("not json")
    assert run(capsys, "verify-proof", proof_path, "--public-key", key)[0] == 2
    assert run(capsys, "verify-proof", tmp_path / "missing.json", "--public-key", key)[0] == 2
    code, _, err = run(capsys, "prove", path, "--line", 17)
    assert code == 2 and "no checkpoint covers line 17" in err


def test_consistency_proofs_and_an_old_checkpoint_kept_by_the_auditor(small_log, tmp_path, capsys):
    path, notary = small_log
    key = notary.public_key_hex
    proof_path = tmp_path / "c.json"
    assert run(capsys, "prove", path, "--consistency", 9, "-o", proof_path)[0] == 0
    proof = json.loads(proof_path.read_text())
    assert proof["old_checkpoint"] and proof["tree_size"] == 16
    kept = tmp_path / "kept.note"
    kept.write_text(proof["old_checkpoint"])
    code, out, _ = run(capsys, "verify-proof", proof_path, "--public-key", key, "--old-checkpoint", kept)
    assert code == 0 and "only grew from 9 lines" in out
    older = build_consistency_proof(path, 5, path + ".checkpoints", bytes.fromhex(key))
    kept.write_text(older["old_checkpoint"])
    assert run(capsys, "verify-proof", proof_path, "--public-key", key, "--old-checkpoint", kept)[0] == 1
    with pytest.raises(ProofError):
        build_consistency_proof(path, 17, path + ".checkpoints", bytes.fromhex(key))


def test_no_proof_from_a_rewritten_log(small_log):
    path, notary = small_log
    with open(path, "r+b") as handle:
        handle.write(b"Entry")
    with pytest.raises(ProofError, match="rewritten"):
        build_inclusion_proof(path, 3, path + ".checkpoints", bytes.fromhex(notary.public_key_hex))


def test_public_key_prints_the_hex_and_the_verifier_key(small_log, capsys):
    path, notary = small_log
    code, out, _ = run(capsys, "public-key", path + ".key")
    assert code == 0
    assert out.splitlines() == ["public key: " + notary.public_key_hex, "checkpoint origin: " + notary.origin,
                                "checkpoint verifier key: " + notary.verifier_key]
