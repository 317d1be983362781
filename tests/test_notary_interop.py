"""Go's golang.org/x/mod/sumdb/note and .../tlog (Debian's golang-go and
golang-golang-x-mod-dev, an implementation independent of ours) open our
checkpoint notes and check our inclusion and consistency proofs; ours check
the notes and proofs Go makes. The test fails, never skips, when Go or the
packages are missing: scripts/test.sh installs them."""
import base64
import json
import os
import pathlib
import random
import subprocess

import pytest

from vorm_zel_audit import merkle
from vorm_zel_audit.log_identity import LogIdentity
from vorm_zel_audit.notary import Notary
from vorm_zel_audit.proof_file import build_consistency_proof, build_inclusion_proof, check_proof
from vorm_zel_audit.sidecar import read_sidecar
from vorm_zel_audit.signed_note import parse_note
from vorm_zel_audit.signing_key import SigningKey
from vorm_zel_audit.tree_head import TreeHead

SOURCE = pathlib.Path(__file__).parent / "interop" / "notarycheck.go"
GOPATH = "/usr/share/gocode"


@pytest.fixture(scope="module")
def go_checker(tmp_path_factory):
    work = tmp_path_factory.mktemp("go")
    binary = work / "notarycheck"
    env = dict(os.environ, GOPATH=GOPATH, GO111MODULE="off", GOCACHE=str(work / "cache"), GOPROXY="off",
               GOFLAGS="", CGO_ENABLED="0")
    assert os.path.isdir(os.path.join(GOPATH, "src/golang.org/x/mod/sumdb/tlog")), \
        "golang-golang-x-mod-dev is not installed (scripts/test.sh installs it)"
    subprocess.run(["go", "build", "-o", str(binary), str(SOURCE)], env=env, check=True, timeout=600)

    def run(command, request):
        done = subprocess.run([str(binary), command], input=json.dumps(request).encode(), stdout=subprocess.PIPE,
                              check=True, timeout=120)
        return json.loads(done.stdout)
    return run


def b64(value):
    return base64.b64encode(value).decode()


@pytest.fixture
def notarised(tmp_path):
    """A log of 300 varied lines notarised at five sizes."""
    log = tmp_path / "audit.wal"
    (tmp_path / "audit.wal.key").write_bytes(bytes(range(32)))
    rng = random.Random(11)
    lines = [b"", b"{}", "caf\u00e9 \u2603".encode()] + [bytes(rng.randrange(32, 127) for _ in range(rng.randrange(60)))
                                                     for _ in range(297)]
    notary = Notary(str(log))
    written = 0
    for size in (1, 2, 7, 128, 300):
        with open(log, "ab") as handle:
            handle.write(b"".join(line + b"\n" for line in lines[written:size]))
        written = size
        notary.notarize()
    return log, lines, notary


def test_go_opens_our_checkpoints_and_checks_our_proofs(notarised, go_checker):
    log, lines, notary = notarised
    key = bytes.fromhex(notary.public_key_hex)
    notes = [entry.data.decode() for entry in read_sidecar(str(log) + ".checkpoints").entries]
    heads = [TreeHead.parse(parse_note(note.encode()).text) for note in notes]
    assert [head.size for head in heads] == [1, 2, 7, 128, 300]
    checkpoints = str(log) + ".checkpoints"
    inclusion = []
    for number in (1, 2, 3, 64, 128, 129, 300):
        proof = build_inclusion_proof(str(log), number, checkpoints, key)
        inclusion.append({"entry": b64(lines[number - 1]), "index": proof["index"], "tree_size": proof["tree_size"],
                          "root": b64(heads[-1].root), "proof": proof["inclusion"]})
    consistency = []
    for old in (1, 2, 7, 128, 200, 299, 300):
        proof = build_consistency_proof(str(log), old, checkpoints, key)
        consistency.append({"old_size": old, "old_root": proof["old_root"], "tree_size": 300,
                            "root": b64(heads[-1].root), "proof": proof["consistency"]})
    # Go must also refuse what is wrong: a changed note, entry, path and old root.
    forged_note = notes[-1].replace("\n300\n", "\n301\n")
    wrong_entry = dict(inclusion[3], entry=b64(lines[63] + b"x"))
    wrong_path = dict(inclusion[3], proof=inclusion[3]["proof"][:-1] + [b64(bytes(32))])
    wrong_old = dict(consistency[1], old_root=b64(bytes(32)))
    answer = go_checker("verify", {"verifier_key": notary.verifier_key, "notes": notes + [forged_note],
                                   "inclusion": inclusion + [wrong_entry, wrong_path],
                                   "consistency": consistency + [wrong_old]})
    assert [o["ok"] for o in answer["notes"]] == [True] * 5 + [False]
    assert [o["text"] for o in answer["notes"][:5]] == [parse_note(n.encode()).text for n in notes]
    assert [o["ok"] for o in answer["inclusion"]] == [True] * 7 + [False, False]
    assert [o["ok"] for o in answer["consistency"]] == [True] * 7 + [False]


def test_go_refuses_a_verifier_key_of_another_name(notarised, go_checker):
    log, _, notary = notarised
    other = LogIdentity.for_log(str(log.parent / "other.wal"), bytes.fromhex(notary.public_key_hex))
    notes = [entry.data.decode() for entry in read_sidecar(str(log) + ".checkpoints").entries]
    answer = go_checker("verify", {"verifier_key": other.verifier_key.to_string(), "notes": notes[:1],
                                   "inclusion": [], "consistency": []})
    assert not answer["notes"][0]["ok"]


def test_we_check_the_notes_and_proofs_go_makes(tmp_path, go_checker):
    seed = bytes(range(100, 132))
    key = SigningKey.from_seed_file(_write(tmp_path / "k", seed))
    identity = LogIdentity.for_log("go.wal", key.public_key)
    signer = "PRIVATE+KEY+%s+%s+%s" % (identity.key_name, identity.verifier_key.key_id.hex(),
                                      b64(b"\x01" + seed))
    rng = random.Random(5)
    entries = [bytes(rng.randrange(256) for _ in range(rng.randrange(40))) for _ in range(77)]
    pairs = [(0, 1), (0, 77), (5, 6), (31, 64), (63, 64), (64, 77), (76, 77)]
    made = go_checker("make", {"signer_key": signer, "origin": identity.origin, "entries": [b64(e) for e in entries],
                               "sizes": [1, 6, 64, 77], "inclusion": pairs,
                               "consistency": [(1, 77), (6, 64), (6, 77), (64, 77), (76, 77)]})
    for size, root in made["roots"].items():
        assert merkle.root_of(entries[:int(size)]) == base64.b64decode(root)
    for item in made["inclusion"]:
        index, size = item["index"], item["tree_size"]
        proof = {"format": "vorm-zel-inclusion-proof/1", "index": index, "tree_size": size,
                 "line_base64": b64(entries[index]), "inclusion": item["proof"], "checkpoint": made["notes"][str(size)]}
        assert check_proof(proof, key.public_key).verified, item
        proof["line_base64"] = b64(entries[index] + b"!")
        assert not check_proof(proof, key.public_key).verified
    for item in made["consistency"]:
        old, size = item["old_size"], item["tree_size"]
        proof = {"format": "vorm-zel-consistency-proof/1", "old_size": old, "tree_size": size,
                 "old_root": made["roots"].get(str(old)) or b64(merkle.root_of(entries[:old])),
                 "consistency": item["proof"], "checkpoint": made["notes"][str(size)],
                 "old_checkpoint": made["notes"].get(str(old))}
        assert check_proof(proof, key.public_key).verified, item
        assert merkle.range_roots(map(merkle.leaf_hash, entries), merkle.consistency_ranges(old, size)) == \
            [base64.b64decode(h) for h in item["proof"]]


def _write(path, data):
    path.write_bytes(data)
    return str(path)
