"""The verifier's own seal text, number form and chain step agree with the
known answers (shared/vectors, tests/data) and with the real module."""
import json
import math
import random
import struct

import blake3
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from conftest import load_vectors
from vorm_zel_audit import seal


def _double(text):
    return float("nan") if text == "nan" else float.fromhex(text)


@pytest.mark.parametrize("case", load_vectors("numbers.json")["numbers"], ids=lambda case: case["double"])
def test_seal_number_form_matches_the_vectors(case):
    x = _double(case["double"])
    if case["seal"] is None:
        with pytest.raises(ValueError):
            seal.seal_number(x)
    else:
        assert seal.seal_number(x) == case["seal"]


@pytest.mark.parametrize("x,text", [
    (1.0, "1.0"), (0.0, "0.0"), (-0.0, "-0.0"), (0.5, "0.5"), (0.0001, "0.0001"), (0.00005, "5e-5"),
    (0.000012345, "1.2345e-5"), (1e16, "1e16"), (0.51, "0.51"), (2.5e300, "2.5e300"),
    (9999999999999998.0, "9999999999999998.0"), (5e-324, "5e-324"), (-0.00005, "-5e-5"),
])
def test_seal_number_form_of_the_spec_examples(x, text):
    assert seal.seal_number(x) == text


def test_seal_number_form_reads_back_and_is_shortest():
    rng = random.Random(4)
    for _ in range(20000):
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isnan(x) or math.isinf(x):
            continue
        text = seal.seal_number(x)
        assert float(text) == x
        assert "+" not in text and "E" not in text
        mantissa = text.lstrip("-").split("e")[0].replace(".", "").strip("0")
        assert len(mantissa) <= len(repr(abs(x)).split("e")[0].replace(".", "").strip("0"))
        if x == 0 or 1e-4 <= abs(x) < 1e16:
            assert "e" not in text and "." in text
        else:
            assert "e" in text


def test_spec_example_seal_and_chain():
    text = seal.seal_text("p", "q", "r", "hello", 1.0, 0.51)
    assert text == b"pqrhello1.00.51"
    digest = blake3.blake3(text).hexdigest()
    assert digest == "4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7"
    assert seal.GENESIS_ROOT_HEX == "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a"
    assert seal.next_root_hex(seal.GENESIS_ROOT_HEX, digest) == \
        "26db14db97886b7012ff0de49c4d72741806645c3d02cfa6e199e09eeb21ee50"


def test_chain_text_is_144_ascii_bytes():
    text = seal.chain_text("a" * 64, "b" * 64)
    assert len(text) == 144
    assert text == b'Hash("' + b"a" * 64 + b'")Hash("' + b"b" * 64 + b'")'
    with pytest.raises(ValueError):
        seal.chain_text("a" * 63, "b" * 64)


def test_seal_vectors_hash_sign_and_chain():
    vectors = load_vectors("seal.json")
    private = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(vectors["seed"]))
    public = private.public_key()
    assert public.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex() == \
        vectors["public_key"]
    assert vectors["genesis_root"] == seal.GENESIS_ROOT_HEX
    for case in vectors["cases"]:
        coherence, reputation = _double(case["coherence"]), _double(case["reputation"])
        text = seal.seal_text(case["provenance"], case["place"], case["purpose"], case["prompt"],
                              coherence, reputation)
        assert len(text) == case["seal_text_len"]
        # The tail is the last 40 bytes, decoded (a cut character shows as U+FFFD).
        assert text[-40:].decode("utf-8", "replace") == case["seal_text_tail"]
        digest = seal.payload_digest(case["provenance"], case["place"], case["purpose"], case["prompt"],
                                     coherence, reputation)
        assert digest.hex() == case["hash"]
        public.verify(bytes.fromhex(case["signature"]), digest)
        assert seal.next_root_hex(case["previous_root"], case["hash"]) == case["merkle_root"]


def test_the_verifier_rebuilds_what_the_module_seals(vz):
    engine = vz.ZELEngine(":memory:")
    root = seal.GENESIS_ROOT_HEX
    for number, prompt in enumerate(["", "hello", "caf\u00e9\n\"x\"", "\u2603" * 40]):
        triplet = vz.PPPTriplet("prov\u00e9", "pl\tace", "purpose %d" % number)
        record = engine.capture({}, prompt, [], "out", triplet, vz.HumanDeltaChain("d", True, "n"))
        ppp = json.loads(record.ppp_json)
        digest = seal.payload_digest(ppp["provenance"], ppp["place"], ppp["purpose"], record.prompt,
                                     record.coherence_score, record.reputation_scalar)
        assert digest.hex() == record.hash
        root = seal.next_root_hex(root, record.hash)
        assert root == record.merkle_root
