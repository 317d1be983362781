"""The RFC 6962 tree: the certificate-transparency test vectors, every tree
up to 40 leaves against the recursive definition, and proofs that fail
once anything about them is wrong; checkpoint texts and verifier keys."""
import base64
import hashlib

import pytest

from conftest import load_vectors
from vorm_zel_audit import merkle
from vorm_zel_audit.signed_note import MalformedNote, VerifierKey, parse_note
from vorm_zel_audit.tree_head import MalformedTreeHead, TreeHead

VECTORS = load_vectors("rfc6962_vectors.json")
LEAVES = [bytes.fromhex(leaf) for leaf in VECTORS["leaves"]]
ROOTS = [bytes.fromhex(root) for root in VECTORS["roots"]]


def reference_root(entries):
    """RFC 6962 section 2.1, written from its definition."""
    if not entries:
        return hashlib.sha256(b"").digest()
    if len(entries) == 1:
        return hashlib.sha256(b"\x00" + entries[0]).digest()
    split = 1
    while split * 2 < len(entries):
        split *= 2
    return hashlib.sha256(b"\x01" + reference_root(entries[:split]) + reference_root(entries[split:])).digest()


def proof_for(ranges, entries):
    return merkle.range_roots(map(merkle.leaf_hash, entries), ranges)


def test_the_vector_roots_and_the_empty_tree():
    assert merkle.root_of([]).hex() == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    for size in range(1, 9):
        assert merkle.root_of(LEAVES[:size]) == ROOTS[size - 1]


@pytest.mark.parametrize("case", VECTORS["inclusion"], ids=lambda c: "leaf%d-of-%d" % (c["leaf"], c["tree_size"]))
def test_the_vector_inclusion_paths(case):
    index, size = case["leaf"] - 1, case["tree_size"]
    path = proof_for(merkle.inclusion_ranges(index, size), LEAVES[:size])
    assert [node.hex() for node in path] == case["path"]
    leaf = merkle.leaf_hash(LEAVES[index])
    root = ROOTS[size - 1]
    assert merkle.verify_inclusion(leaf, index, size, path, root)
    wrong = [(leaf, index + 1, size, path), (leaf, index, size * 2, path), (leaf, index, size, path + [root]),
             (merkle.leaf_hash(b"WrongLeaf"), index, size, path), (leaf, index, size, [root] + path)]
    if path:
        wrong += [(leaf, index, size, path[:-1]), (leaf, index, size, [merkle.EMPTY_ROOT] + path[1:])]
    for arguments in wrong:
        assert not merkle.verify_inclusion(*arguments, root)


@pytest.mark.parametrize("case", VECTORS["consistency"], ids=lambda c: "%d-to-%d" % (c["old_size"], c["new_size"]))
def test_the_vector_consistency_proofs(case):
    old, new = case["old_size"], case["new_size"]
    proof = proof_for(merkle.consistency_ranges(old, new), LEAVES[:new])
    assert [node.hex() for node in proof] == case["proof"]
    assert merkle.verify_consistency(old, new, ROOTS[old - 1], ROOTS[new - 1], proof)
    if proof:
        assert not merkle.verify_consistency(old, new, ROOTS[new - 1], ROOTS[old - 1], proof)
        assert not merkle.verify_consistency(old, new, ROOTS[old - 1], ROOTS[new - 1], proof[:-1])
        assert not merkle.verify_consistency(old, new, ROOTS[old - 1], ROOTS[new - 1], proof + [ROOTS[0]])
        assert not merkle.verify_consistency(old + 1, new, ROOTS[old - 1], ROOTS[new - 1], proof)


def test_every_small_tree_and_proof_against_the_definition():
    entries = [bytes([n]) * (n % 4) for n in range(40)]
    roots = [reference_root(entries[:size]) for size in range(41)]
    edge = merkle.RightEdge()
    for size in range(1, 41):
        edge.append(entries[size - 1])
        assert edge.root() == roots[size] and edge.is_well_formed()
        for index in range(size):
            path = proof_for(merkle.inclusion_ranges(index, size), entries)
            assert merkle.verify_inclusion(merkle.leaf_hash(entries[index]), index, size, path, roots[size])
            assert not merkle.verify_inclusion(merkle.leaf_hash(entries[index]), index, size, path, roots[size - 1])
        for old in range(1, size + 1):
            proof = proof_for(merkle.consistency_ranges(old, size), entries)
            assert merkle.verify_consistency(old, size, roots[old], roots[size], proof)
            if old < size:
                assert not merkle.verify_consistency(old, size, roots[old - 1] if old > 1 else roots[2], roots[size],
                                                     proof)


def test_a_checkpoint_text_round_trips_and_odd_ones_are_refused():
    head = TreeHead("vorm-zel/a.wal/" + "ab" * 32, 7, bytes(range(32)))
    assert TreeHead.parse(head.to_text()) == head
    root = base64.b64encode(bytes(32)).decode()
    for text in ["o\n07\n%s\n" % root, "o\n-1\n%s\n" % root, "o\n7\n%s" % root, "\n7\n%s\n" % root,
                 "o\n7\n%s\n" % root[:-2], "o\n7\n%s\n\n" % root, "o\n99999999999999999999\n%s\n" % root,
                 "o\n7\n" + root.replace("A", "B", 1)[:-1] + "B\n"]:
        with pytest.raises(MalformedTreeHead):
            TreeHead.parse(text)


def test_verifier_keys_parse_and_check_their_id():
    key = VerifierKey("vorm-zel/a.wal/" + "cd" * 32, bytes(range(32)))
    assert VerifierKey.parse(key.to_string()) == key
    name, key_id, encoded = key.to_string().split("+")
    for text in ["%s+%s+%s" % (name, "00000000", encoded), "%s+%s" % (name, key_id), "a b+%s+%s" % (key_id, encoded),
                 "%s+%s+%s" % (name, key_id, encoded[:-4])]:
        with pytest.raises(ValueError):
            VerifierKey.parse(text)


@pytest.mark.parametrize("note", [b"text\n", b"text\n\n", b"text\n\n\xe2\x80\x94 k AAAAAA==\n",
                                  b"text\x07\n\n\xe2\x80\x94 k AAAAAAAA\n", b"text\n\n- k AAAAAAAA\n",
                                  b"\xff\n\n\xe2\x80\x94 k AAAAAAAA\n"])
def test_malformed_notes_are_refused(note):
    with pytest.raises(MalformedNote):
        parse_note(note)
