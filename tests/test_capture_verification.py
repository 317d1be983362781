"""Every sealed record is checked from the outside, with tools that share no
code with the module: BLAKE3 from the ``blake3`` package, Ed25519 from
``cryptography``, the record's JSON texts and the log line from a small
Python writer (``capture_oracle``).

Long seeded runs push awkward text (empty strings, multi-byte UTF-8, control
characters, quotes, backslashes, line feeds) through every text field, with
random nested contexts and traces, so that a slip in escaping, hashing,
chaining or line framing shows up on some record.
"""
import json
import random
import time

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

import capture_oracle as oracle
from capturing import capture, write_key
from conftest import load_vectors

# Pieces that random text is built from: plain ASCII, everything the string
# rule escapes, things it must leave alone (slash, DEL, non-ASCII).
TEXT_PIECES = (
    list("abcxyzABC0123456789 .,:;{}[]'")
    + ['"', "\\", "\n", "\r", "\t", "\b", "\f", "\x00", "\x01", "\x1b", "\x1f", "\x7f", "/"]
    + ["é", "日本語", "😀", "\u2028", "\u2029", "\ufeff", "ß", "\u0394"]
    + ["\\n", '\\"', "\\u0041", "}\n{", '":"']
)


def random_text(rng):
    roll = rng.random()
    if roll < 0.15:
        return ""
    if roll < 0.75:
        count = rng.randint(1, 24)
    elif roll < 0.97:
        count = rng.randint(25, 600)
    else:
        count = rng.randint(2000, 12000)
    return "".join(rng.choice(TEXT_PIECES) for _ in range(count))


def random_float(rng):
    return rng.choice(
        [
            0.0,
            -0.0,
            1e16,
            5e-324,
            float("inf"),
            float("nan"),
            rng.random(),
            -rng.random() * 10 ** rng.randint(-30, 30),
            rng.uniform(-1e6, 1e6),
        ]
    )


def random_json_value(rng, depth=0):
    kinds = ["str", "int", "float", "none", "bool"]
    if depth < 4:
        kinds += ["dict", "list", "dict", "list"]
    kind = rng.choice(kinds)
    if kind == "str":
        return random_text(rng)
    if kind == "int":
        return rng.choice([0, -1, rng.randint(-1000, 1000), rng.getrandbits(80) - 2**79])
    if kind == "float":
        return random_float(rng)
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "list":
        items = [random_json_value(rng, depth + 1) for _ in range(rng.randint(0, 5))]
        return tuple(items) if rng.random() < 0.1 else items
    result = {}
    for _ in range(rng.randint(0, 5)):
        key = rng.choice([random_text(rng), rng.randint(-5, 5), None, True, 1.5])
        result[key] = random_json_value(rng, depth + 1)
    return result


class Inputs:
    """What one capture was given, with the record-class values snapshotted
    at the moment of the call."""

    def __init__(self, vz, rng, triplet, chain, previous=None):
        self.ctx = random_json_value(rng)
        self.trace = random_json_value(rng)
        if previous is not None:
            self.prompt, self.output = previous.prompt, previous.output
        else:
            self.prompt = random_text(rng)
            self.output = random_text(rng)
        self.auto_insight = rng.random() < 0.7
        # Sometimes a fresh record object, sometimes the old one changed in
        # place, sometimes the old one as it was.
        roll = rng.random()
        if roll < 0.3:
            triplet = vz.PPPTriplet(random_text(rng), random_text(rng), random_text(rng))
        elif roll < 0.6:
            setattr(triplet, rng.choice(["provenance", "place", "purpose"]), random_text(rng))
        roll = rng.random()
        if roll < 0.3:
            given_id = random_text(rng) if rng.random() < 0.5 else None
            chain = vz.HumanDeltaChain(random_text(rng), rng.random() < 0.5, random_text(rng), given_id)
        elif roll < 0.6:
            name = rng.choice(["chain_id", "agent_decision_ref", "terminal_node", "resolved"])
            setattr(chain, name, rng.random() < 0.5 if name == "resolved" else random_text(rng))
        self.triplet = triplet
        self.chain = chain
        self.ppp = (triplet.provenance, triplet.place, triplet.purpose)
        self.hdc = (chain.chain_id, chain.agent_decision_ref, chain.resolved, chain.terminal_node)


class Step:
    def __init__(self, inputs, record, before_ns, after_ns, elapsed_ns):
        self.inputs = inputs
        self.record = record
        self.before_ns = before_ns
        self.after_ns = after_ns
        self.elapsed_ns = elapsed_ns


def run_captures(vz, engine, seed, count):
    rng = random.Random(seed)
    triplet = vz.PPPTriplet("", "", "")
    chain = vz.HumanDeltaChain("", False, "")
    steps = []
    streak = 0
    for _ in range(count):
        # Streaks of equal lengths score high enough to produce insights.
        if streak == 0 and steps and rng.random() < 0.1:
            streak = rng.randint(3, 30)
        repeat = steps[-1].inputs if streak and steps else None
        streak = max(0, streak - 1)
        inputs = Inputs(vz, rng, triplet, chain, repeat)
        triplet, chain = inputs.triplet, inputs.chain
        kwargs = {} if inputs.auto_insight and rng.random() < 0.5 else {"auto_insight": inputs.auto_insight}
        before = time.time_ns()
        started = time.perf_counter_ns()
        record = engine.capture(
            inputs.ctx, inputs.prompt, inputs.trace, inputs.output, triplet, chain, **kwargs
        )
        elapsed = time.perf_counter_ns() - started
        after = time.time_ns()
        steps.append(Step(inputs, record, before, after, elapsed))
    return steps


def check_record(step, public_key_hex, previous_root):
    """All per-record properties; returns the record's merkle_root."""
    inputs, record = step.inputs, step.record

    # Inputs come back as given, and the JSON texts are the expected ones.
    assert record.prompt == inputs.prompt
    assert record.output == inputs.output
    assert record.ctx_json == json.dumps(inputs.ctx)
    assert record.reasoning_trace_json == json.dumps(inputs.trace)
    assert record.ppp_json == oracle.ppp_json(*inputs.ppp)
    assert record.human_delta_chain_json == oracle.chain_json(*inputs.hdc)

    # Digest of the seal text, signature over the raw digest bytes only.
    c, r = record.coherence_score, record.reputation_scalar
    assert type(c) is float and type(r) is float
    assert record.hash == oracle.seal_hash(*inputs.ppp, inputs.prompt, c, r)
    signature = record.signature
    assert type(signature) is list and len(signature) == 64
    assert all(type(b) is int and 0 <= b <= 255 for b in signature)
    assert oracle.signature_verifies(public_key_hex, bytes.fromhex(record.hash), signature)
    assert not oracle.signature_verifies(public_key_hex, record.hash.encode("ascii"), signature)

    # The chain step from the previous record's root.
    assert record.merkle_root == oracle.next_root(previous_root, record.hash)

    # Identity and clocks.
    assert oracle.RECORD_ID_RE.fullmatch(record.id), record.id
    assert len(record.id) == 40
    assert oracle.canonical_fraction(record.timestamp), record.timestamp
    stamp = oracle.timestamp_nanos(record.timestamp)
    assert step.before_ns - 1_000_000_000 <= stamp <= step.after_ns + 1_000_000_000
    nanos = record.monotonic_nanos
    assert type(nanos) is int and nanos >= 0
    # Both readings happen inside the call, so their gap cannot exceed it.
    assert nanos <= step.elapsed_ns

    # The insight text, when there is one, is in the writer's exact layout.
    if record.core_insight_json is not None:
        pairs = json.loads(record.core_insight_json, object_pairs_hook=list)
        assert [k for k, _ in pairs] == ["lesson", "confidence", "delta"]
        insight = dict(pairs)
        delta = dict(insight["delta"])
        assert [k for k, _ in insight["delta"]] == ["vector", "confidence", "delta_norm"]
        assert insight["lesson"] == oracle.LESSON
        assert insight["confidence"] == c and delta["confidence"] == c
        assert delta["delta_norm"] == 0.18
        vector = delta["vector"]
        assert len(vector) == 64 and all(type(v) is int and -128 <= v <= 127 for v in vector)
        assert record.core_insight_json == oracle.insight_json(c, vector)
    return record.merkle_root


# ------------------------------------------------------- the checking tools --

def test_number_forms_match_the_reference_table():
    """The Python writers used below agree with the shared number table."""
    for entry in load_vectors("numbers.json")["numbers"]:
        text = entry["double"]
        value = float(text) if text in ("nan", "inf", "-inf") else float.fromhex(text)
        assert oracle.json_float(value) == entry["json"], entry
        if entry["seal"] is not None:
            assert oracle.seal_number(value) == entry["seal"], entry


def test_seal_tools_rebuild_the_reference_seals():
    vectors = load_vectors("seal.json")
    seed = bytes.fromhex(vectors["seed"])
    public = Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw
    )
    assert public.hex() == vectors["public_key"]
    assert vectors["genesis_root"] == oracle.GENESIS_HEX
    for case in vectors["cases"]:
        c = float.fromhex(case["coherence"])
        r = float.fromhex(case["reputation"])
        fields = (case["provenance"], case["place"], case["purpose"], case["prompt"])
        assert len(oracle.seal_text(*fields, c, r)) == case["seal_text_len"]
        assert oracle.seal_hash(*fields, c, r) == case["hash"]
        assert oracle.next_root(case["previous_root"], case["hash"]) == case["merkle_root"]
        assert oracle.signature_verifies(
            vectors["public_key"], bytes.fromhex(case["hash"]), bytes.fromhex(case["signature"])
        )
    # The worked example: "pqrhello1.00.51" from the genesis root.
    digest = oracle.seal_hash("p", "q", "r", "hello", 1.0, 0.51)
    assert digest == "4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7"
    assert oracle.next_root(oracle.GENESIS_HEX, digest) == (
        "26db14db97886b7012ff0de49c4d72741806645c3d02cfa6e199e09eeb21ee50"
    )


# ------------------------------------------------------------- long runs --

RUNS = [pytest.param(seed, id="seed%d" % seed) for seed in (1, 20240607, 987654321)]


@pytest.mark.parametrize("seed", RUNS)
def test_long_run_every_record_verifies(vz, seed):
    engine = vz.ZELEngine(":memory:")
    public_key = engine.public_key_hex()
    steps = run_captures(vz, engine, seed, 300)
    root = oracle.GENESIS_HEX
    for step in steps:
        root = check_record(step, public_key, root)
    ids = [step.record.id for step in steps]
    assert len(set(ids)) == len(ids)


@pytest.mark.parametrize("seed", RUNS)
def test_long_run_log_lines_mirror_the_records(vz, wal_path, seed):
    engine = vz.ZELEngine(wal_path)
    public_key = engine.public_key_hex()
    steps = run_captures(vz, engine, seed, 250)

    with open(wal_path, "rb") as handle:
        data = handle.read()
    assert data.endswith(b"\n")
    raw_lines = data[:-1].split(b"\n")
    # Line feeds inside text fields never split a record.
    assert len(raw_lines) == len(steps)

    root = oracle.GENESIS_HEX
    for step, raw in zip(steps, raw_lines):
        root = check_record(step, public_key, root)
        expected = oracle.record_values(step.record)
        pairs = json.loads(raw.decode("utf-8"), object_pairs_hook=list)
        assert [name for name, _ in pairs] == list(oracle.FIELDS)
        for (name, logged), (_, value) in zip(pairs, expected):
            if isinstance(value, float):
                assert logged == value or (logged is None and value != value), name
                assert type(logged) is float, name
            else:
                assert logged == value, name
                assert type(logged) is type(value), name
        # Byte for byte: compact, fixed float layout, the module's escapes.
        assert raw == oracle.log_line(expected)
    ids = [step.record.id for step in steps]
    assert len(set(ids)) == len(ids)


def test_signatures_are_the_reference_ed25519_signatures(vz, wal_path):
    """With a known seed in the key file, every signature is exactly what an
    independent Ed25519 signer makes over the 32 digest bytes."""
    vectors = load_vectors("seal.json")
    seed = bytes.fromhex(vectors["seed"])
    write_key(wal_path + ".key", seed)
    engine = vz.ZELEngine(wal_path)
    assert engine.public_key_hex() == vectors["public_key"]
    signer = Ed25519PrivateKey.from_private_bytes(seed)
    for step in run_captures(vz, engine, 77, 40):
        record = step.record
        assert bytes(record.signature) == signer.sign(bytes.fromhex(record.hash))


# ---------------------------------------------- what is and isn't sealed --

def twin_engines(vz, tmp_path):
    """Two engines with the same signing key and fresh state."""
    first = vz.ZELEngine(str(tmp_path / "a.wal"))
    with open(str(tmp_path / "a.wal.key"), "rb") as handle:
        key = handle.read()
    write_key(str(tmp_path / "b.wal.key"), key)
    second = vz.ZELEngine(str(tmp_path / "b.wal"))
    assert first.public_key_hex() == second.public_key_hex()
    return first, second


BASE = dict(ctx={"k": 1}, prompt="prompt-é", trace=["t"], output="out", ppp=("p", "q", "r"), hdc=("d", False, "n", "c"))

UNSEALED_CHANGES = [
    pytest.param(dict(ctx={"k": 2, "other": [None]}), id="ctx"),
    pytest.param(dict(trace={"steps": "\n"}), id="reasoning_trace"),
    pytest.param(dict(output="OUT"), id="output-same-length"),
    pytest.param(dict(output="\u00e9o"), id="output-same-byte-length"),
    pytest.param(dict(hdc=("other", True, "x\n", "zz")), id="human_delta_chain"),
    # No separators: a character may move across a field boundary.
    pytest.param(dict(ppp=("pq", "", "r")), id="provenance-place-boundary"),
    pytest.param(dict(ppp=("p", "q", ""), prompt="rprompt-é", output="ou"), id="purpose-prompt-boundary"),
]

SEALED_CHANGES = [
    pytest.param(dict(ppp=("P", "q", "r")), id="provenance"),
    pytest.param(dict(ppp=("p", "Q", "r")), id="place"),
    pytest.param(dict(ppp=("p", "q", "R")), id="purpose"),
    pytest.param(dict(prompt="prompt-\u00e8"), id="prompt"),
]


def capture_with(engine, vz, **changes):
    """The shared capture, with every input taken from BASE and these changes."""
    values = dict(BASE, **changes)
    return capture(engine, values["prompt"], ctx=values["ctx"], reasoning_trace=values["trace"],
                   output=values["output"], triplet=vz.PPPTriplet(*values["ppp"]),
                   chain=vz.HumanDeltaChain(*values["hdc"]))


def prime(engine):
    for length in (3, 40, 7):
        capture(engine, "x" * length, output="")


def twin_captures(vz, tmp_path, changes):
    """The base capture and the changed one, made by two engines in the same state."""
    first, second = twin_engines(vz, tmp_path)
    prime(first)
    prime(second)
    a = capture_with(first, vz)
    b = capture_with(second, vz, **changes)
    # Same byte lengths, so the scores stay equal and only the text can differ.
    assert (a.coherence_score, a.reputation_scalar) == (b.coherence_score, b.reputation_scalar)
    return a, b


@pytest.mark.parametrize("changes", UNSEALED_CHANGES)
def test_fields_outside_the_seal_leave_hash_signature_and_root_alone(vz, tmp_path, changes):
    a, b = twin_captures(vz, tmp_path, changes)
    assert a.hash == b.hash
    assert a.signature == b.signature
    assert a.merkle_root == b.merkle_root


@pytest.mark.parametrize("changes", SEALED_CHANGES)
def test_sealed_fields_change_the_hash(vz, tmp_path, changes):
    a, b = twin_captures(vz, tmp_path, changes)
    assert a.hash != b.hash
    assert a.merkle_root != b.merkle_root
    values = dict(BASE, **changes)
    assert b.hash == oracle.seal_hash(*values["ppp"], values["prompt"], b.coherence_score, b.reputation_scalar)


# ----------------------------------------------- the host's serialiser --

def test_host_serialiser_output_is_stored_verbatim(vz, monkeypatch):
    calls = []

    def recording_dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return "TEXT-%d\n\u00e9" % len(calls)

    engine = vz.ZELEngine(":memory:")
    ctx, trace = {"a": [1]}, ("t",)
    monkeypatch.setattr(json, "dumps", recording_dumps)
    record = engine.capture(ctx, "p", trace, "o", vz.PPPTriplet("a", "b", "c"), vz.HumanDeltaChain("d", True, "n"))
    monkeypatch.undo()
    # One call per input, context first, positional only, default settings.
    assert len(calls) == 2
    assert calls[0][0][0] is ctx and calls[1][0][0] is trace
    assert [len(args) for args, _ in calls] == [1, 1]
    assert [kwargs for _, kwargs in calls] == [{}, {}]
    assert record.ctx_json == "TEXT-1\n\u00e9"
    assert record.reasoning_trace_json == "TEXT-2\n\u00e9"


@pytest.mark.parametrize("bad_call", [1, 2], ids=["ctx", "reasoning_trace"])
@pytest.mark.parametrize("result, type_name", [(b"{}", "bytes"), (None, "NoneType"), (5, "int")])
def test_serialiser_returning_a_non_string_is_rejected_without_trace(vz, tmp_path, monkeypatch, bad_call, result, type_name):
    engine, reference = twin_engines(vz, tmp_path)
    prime(engine)
    prime(reference)
    real_dumps = json.dumps
    calls = []

    def faulty_dumps(value):
        calls.append(value)
        return result if len(calls) == bad_call else real_dumps(value)

    monkeypatch.setattr(json, "dumps", faulty_dumps)
    with pytest.raises(TypeError) as raised:
        capture_with(engine, vz, prompt="x" * 500)
    monkeypatch.undo()
    assert str(raised.value) == "'%s' object cannot be converted to 'PyString'" % type_name
    a = capture_with(engine, vz)
    b = capture_with(reference, vz)
    assert (a.merkle_root, a.coherence_score, a.reputation_scalar) == (
        b.merkle_root,
        b.coherence_score,
        b.reputation_scalar,
    )


def test_calls_made_while_serialising_are_refused_not_queued(vz, monkeypatch):
    """The serialiser runs host code in the middle of a capture; the engine and
    the input records are held for the whole call, so nested use fails fast
    and the record reflects the inputs as they were when the call started."""
    engine = vz.ZELEngine(":memory:")
    triplet = vz.PPPTriplet("a", "b", "c")
    chain = vz.HumanDeltaChain("d", True, "n", "id")
    real_dumps = json.dumps
    seen = []

    def meddling_dumps(value):
        attempts = [
            lambda: engine.capture(None, "", None, "", triplet, chain),
            engine.public_key_hex,
            lambda: setattr(triplet, "place", "changed"),
            lambda: setattr(chain, "resolved", False),
        ]
        for attempt in attempts:
            with pytest.raises(RuntimeError) as raised:
                attempt()
            seen.append(str(raised.value))
        return real_dumps(value)

    monkeypatch.setattr(json, "dumps", meddling_dumps)
    record = engine.capture(None, "p", None, "o", triplet, chain)
    monkeypatch.undo()
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed", "Already borrowed"] * 2
    assert record.ppp_json == oracle.ppp_json("a", "b", "c")
    assert record.human_delta_chain_json == oracle.chain_json("id", "d", True, "n")
    assert record.merkle_root == oracle.next_root(oracle.GENESIS_HEX, record.hash)
    # The engine is free again afterwards and chains on from that record.
    following = engine.capture(None, "", None, "", triplet, chain)
    assert following.merkle_root == oracle.next_root(record.merkle_root, following.hash)
