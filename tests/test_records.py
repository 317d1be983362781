"""PPPTriplet, HumanDeltaChain and SealedRecord as the host sees them:
construction, attributes, JSON forms, snapshots and
the read-only record."""
import itertools
import json
import re

import pytest

import vorm_zel
from capturing import capture

UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")

ATTRIBUTE_DOCS = [
    ("PPPTriplet", "provenance", "Cryptographic or system lineage tracking the structural history."),
    ("PPPTriplet", "place", "The specific systemic, environmental, or geographic processing node."),
    ("PPPTriplet", "purpose", "The logical framework intent guiding the execution loop."),
    ("HumanDeltaChain", "chain_id", "Unique identity tracking the active sequence."),
    ("HumanDeltaChain", "agent_decision_ref",
     "Reference signature pointer linking directly back to the original model output."),
    ("HumanDeltaChain", "resolved", "Evaluation state marking whether review processing has formally closed."),
    ("HumanDeltaChain", "terminal_node", "Terminal validation node sealing the chain integrity state."),
    ("SealedRecord", "id", "Universally unique identifier managing the tracking envelope."),
    ("SealedRecord", "timestamp", "RFC3339 timestamp recording standard real-world clock time."),
    ("SealedRecord", "monotonic_nanos",
     "Monotonic clock offset logging real-world physical processing sequence order."),
    ("SealedRecord", "hash", "BLAKE3 hash string locking total structure components."),
    ("SealedRecord", "signature", "Ed25519 digital signature verifying authority origins."),
    ("SealedRecord", "merkle_root", "Accumulated chain integrity root verifying sequencing order."),
    ("SealedRecord", "coherence_score", "Similarity rating measuring historical continuity states."),
    ("SealedRecord", "reputation_scalar", "System health scale monitoring moving reliability baselines."),
    ("SealedRecord", "ppp_json", "JSON serialization holding provenance parameters."),
    ("SealedRecord", "ctx_json", "JSON string capturing overall operational environment conditions."),
    ("SealedRecord", "prompt", "Standard engineering input used for generating calculations."),
    ("SealedRecord", "reasoning_trace_json", "JSON representation outlining internal calculation steps."),
    ("SealedRecord", "output", "Definitive answer generated through computational operations."),
    ("SealedRecord", "human_delta_chain_json", "JSON structure tracking human oversight and adjustments."),
    ("SealedRecord", "core_insight_json", "JSON representation storing analytical insight parameters."),
]
RECORD_FIELDS = [name for cls, name, _ in ATTRIBUTE_DOCS if cls == "SealedRecord"]

# A text value and how the module JSON writer writes it between the quotes.
ESCAPES = [
    ('"', '\\"'),
    ("\\", "\\\\"),
    ("\n", "\\n"),
    ("\t", "\\t"),
    ("\r", "\\r"),
    ("\b", "\\b"),
    ("\f", "\\f"),
    ("\x00", "\\u0000"),
    ("\x01", "\\u0001"),
    ("\x0b", "\\u000b"),
    ("\x1f", "\\u001f"),
    ("\x7f", "\x7f"),
    ("/", "/"),
    ("\u00e9", "\u00e9"),
    ("\u2028", "\u2028"),
    ("\U0001f600", "\U0001f600"),
    ('say "hi"\\\n\tdone/é\x1f', 'say \\"hi\\"\\\\\\n\\tdone/é\\u001f'),
]


def ppp_json(triplet):
    return capture(vorm_zel.ZELEngine(":memory:"), triplet=triplet).ppp_json


def chain_json(chain):
    return capture(vorm_zel.ZELEngine(":memory:"), chain=chain).human_delta_chain_json


def record_values(record):
    return {name: getattr(record, name) for name in RECORD_FIELDS}


# -- PPPTriplet -----------------------------------------------------------

@pytest.mark.parametrize("order", list(itertools.permutations(["provenance", "place", "purpose"])),
                         ids="-".join)
def test_triplet_keywords_in_any_order(vz, order):
    values = {"provenance": "prov", "place": "place", "purpose": "purpose"}
    triplet = vz.PPPTriplet(**{name: values[name] for name in order})
    assert (triplet.provenance, triplet.place, triplet.purpose) == ("prov", "place", "purpose")
    assert ppp_json(triplet) == '{"provenance":"prov","place":"place","purpose":"purpose"}'


def test_triplet_positional_and_mixed(vz):
    assert ppp_json(vz.PPPTriplet("a", "b", "c")) == '{"provenance":"a","place":"b","purpose":"c"}'
    assert ppp_json(vz.PPPTriplet("a", purpose="c", place="b")) == '{"provenance":"a","place":"b","purpose":"c"}'
    assert ppp_json(vz.PPPTriplet("", "", "")) == '{"provenance":"","place":"","purpose":""}'


# -- HumanDeltaChain ------------------------------------------------------

@pytest.mark.parametrize("order", list(itertools.permutations(
    ["agent_decision_ref", "resolved", "terminal_node", "chain_id"])), ids="-".join)
def test_chain_keywords_in_any_order(vz, order):
    values = {"agent_decision_ref": "ref", "resolved": True, "terminal_node": "node", "chain_id": "cid"}
    chain = vz.HumanDeltaChain(**{name: values[name] for name in order})
    assert (chain.agent_decision_ref, chain.resolved, chain.terminal_node, chain.chain_id) == \
        ("ref", True, "node", "cid")


def test_chain_positional_and_json_form(vz):
    chain = vz.HumanDeltaChain(agent_decision_ref="d", resolved=False, terminal_node="t", chain_id="c")
    assert chain_json(chain) == '{"chain_id":"c","agent_decision_ref":"d","resolved":false,"terminal_node":"t"}'
    chain = vz.HumanDeltaChain("", True, "", "")
    assert chain_json(chain) == '{"chain_id":"","agent_decision_ref":"","resolved":true,"terminal_node":""}'
    assert vz.HumanDeltaChain("d", True, "n", chain_id="c").chain_id == "c"


@pytest.mark.parametrize("make", [
    lambda vz: vz.HumanDeltaChain("d1", True, "n1"),
    lambda vz: vz.HumanDeltaChain("d1", True, "n1", None),
    lambda vz: vz.HumanDeltaChain("d1", True, "n1", chain_id=None),
    lambda vz: vz.HumanDeltaChain(terminal_node="n1", chain_id=None, resolved=True, agent_decision_ref="d1"),
], ids=["absent", "none-positional", "none-keyword", "keywords"])
def test_chain_id_is_generated(vz, make):
    chain_ids = [make(vz).chain_id for _ in range(20)]
    assert all(type(cid) is str and UUID4.fullmatch(cid) for cid in chain_ids), chain_ids
    assert len(set(chain_ids)) == len(chain_ids)
    chain = make(vz)
    assert chain_json(chain) == ('{"chain_id":"%s","agent_decision_ref":"d1","resolved":true,'
                                 '"terminal_node":"n1"}' % chain.chain_id)
    assert chain.chain_id == chain.chain_id


@pytest.mark.parametrize("given", ["", "c1", "NOT-a-uuid ✓", "zel_x", "12345678-1234-1234-1234-123456789abc", " "])
def test_given_chain_id_is_kept_verbatim(vz, given):
    assert vz.HumanDeltaChain("d1", False, "n1", given).chain_id == given


# -- attributes -----------------------------------------------------------

@pytest.mark.parametrize("cls, attribute, doc", ATTRIBUTE_DOCS, ids=lambda v: v if " " not in v else "doc")
def test_attribute_docstrings(cls, attribute, doc):
    assert getattr(getattr(vorm_zel, cls), attribute).__doc__ == doc


def test_getters_return_new_plain_strings(vz, engine):
    triplet = vz.PPPTriplet("provenance text", "place text", "purpose text")
    chain = vz.HumanDeltaChain("reference text", True, "terminal text", "chain text")
    record = capture(engine, triplet=triplet, chain=chain)
    reads = [(triplet, "provenance"), (triplet, "place"), (triplet, "purpose"), (chain, "chain_id"),
             (chain, "agent_decision_ref"), (chain, "terminal_node")]
    reads += [(record, name) for name in RECORD_FIELDS if isinstance(getattr(record, name), str)]
    assert len(reads) == 6 + 11
    for obj, name in reads:
        first, second = getattr(obj, name), getattr(obj, name)
        assert type(first) is str
        assert first == second and first is not second, name


def test_setters_replace_the_values(vz):
    triplet = vz.PPPTriplet("a", "b", "c")
    triplet.provenance, triplet.place, triplet.purpose = "x", "", "z\u00e9"
    assert (triplet.provenance, triplet.place, triplet.purpose) == ("x", "", "z\u00e9")
    assert ppp_json(triplet) == '{"provenance":"x","place":"","purpose":"z\u00e9"}'

    chain = vz.HumanDeltaChain("d", False, "n", "c")
    chain.chain_id, chain.agent_decision_ref, chain.terminal_node = "c2", "d2", "n2"
    chain.resolved = True
    assert chain.resolved is True
    assert chain_json(chain) == '{"chain_id":"c2","agent_decision_ref":"d2","resolved":true,"terminal_node":"n2"}'
    chain.resolved = False
    assert chain.resolved is False


# -- JSON string rule -------------------------------------------------------

@pytest.mark.parametrize("value, escaped", ESCAPES, ids=[repr(value) for value, _ in ESCAPES])
def test_json_string_escapes(vz, value, escaped):
    quoted = '"%s"' % escaped
    triplet = vz.PPPTriplet(value, "x" + value, value + "y")
    expected = '{"provenance":%s,"place":"x%s","purpose":"%sy"}' % (quoted, escaped, escaped)
    text = ppp_json(triplet)
    assert text == expected
    assert json.loads(text) == {"provenance": value, "place": "x" + value, "purpose": value + "y"}

    chain = vz.HumanDeltaChain(value, True, value, value)
    expected = '{"chain_id":%s,"agent_decision_ref":%s,"resolved":true,"terminal_node":%s}' % (
        quoted, quoted, quoted)
    assert chain_json(chain) == expected


# -- snapshots --------------------------------------------------------------

def test_records_keep_a_snapshot_of_their_inputs(vz, engine):
    triplet = vz.PPPTriplet("a", "b", "c")
    chain = vz.HumanDeltaChain("d", False, "n", "cid")
    before = capture(engine, triplet=triplet, chain=chain)
    triplet.purpose = "changed"
    chain.resolved = True
    chain.chain_id = "cid2"
    assert before.ppp_json == '{"provenance":"a","place":"b","purpose":"c"}'
    assert before.human_delta_chain_json == \
        '{"chain_id":"cid","agent_decision_ref":"d","resolved":false,"terminal_node":"n"}'
    after = capture(engine, triplet=triplet, chain=chain)
    assert after.ppp_json == '{"provenance":"a","place":"b","purpose":"changed"}'
    assert after.human_delta_chain_json == \
        '{"chain_id":"cid2","agent_decision_ref":"d","resolved":true,"terminal_node":"n"}'
    assert before.ppp_json == '{"provenance":"a","place":"b","purpose":"c"}'


# -- SealedRecord -----------------------------------------------------------

@pytest.fixture
def record(engine):
    return capture(engine)


def test_record_attribute_types(engine, record):
    types = {name: type(value) for name, value in record_values(record).items()}
    expected = {name: str for name in RECORD_FIELDS}
    expected.update(monotonic_nanos=int, signature=list, coherence_score=float, reputation_scalar=float)
    assert types == expected
    assert record.monotonic_nanos >= 0
    assert len(record.id) == 40 and record.id.startswith("zel_") and UUID4.fullmatch(record.id[4:])
    assert len(record.signature) == 64
    assert all(type(byte) is int and 0 <= byte <= 255 for byte in record.signature)
    assert capture(engine, auto_insight=False).core_insight_json is None


def test_record_ids_differ(engine, record):
    assert record.id != capture(engine).id


def test_signature_is_a_new_list_each_read(record):
    signature = record.signature
    original = list(signature)
    assert signature is not record.signature
    signature.append(0)
    signature[0] = -1
    assert len(record.signature) == 64
    assert record.signature == original


@pytest.mark.parametrize("name", RECORD_FIELDS)
def test_record_fields_cannot_be_assigned_or_deleted(record, name):
    before = record_values(record)
    with pytest.raises(AttributeError):
        setattr(record, name, "x")
    with pytest.raises(AttributeError):
        delattr(record, name)
    assert record_values(record) == before


def test_record_takes_no_new_attributes(record):
    before = record_values(record)
    with pytest.raises(AttributeError):
        record.extra = "x"
    assert record_values(record) == before
