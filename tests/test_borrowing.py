"""The borrow rule observed from host code that ``capture`` runs:
the host's ``json.dumps``, patched to call back into the module."""
import json
import threading

import pytest

ORIGINAL_DUMPS = json.dumps


class Trigger:
    """A ``ctx`` (or ``reasoning_trace``) whose serialisation runs ``action``.

    The outcome of the action (its result or the exception it raised) is
    kept; ``raise_after`` makes the patched ``dumps`` itself fail afterwards.
    """

    def __init__(self, action, in_thread=False, raise_after=None):
        self.action = action
        self.in_thread = in_thread
        self.raise_after = raise_after
        self.outcome = None

    def fire(self):
        def run():
            try:
                self.outcome = ("ok", self.action())
            except BaseException as exc:  # noqa: B902 - recorded for the test
                self.outcome = ("raised", exc)
        if self.in_thread:
            worker = threading.Thread(target=run)
            worker.start()
            worker.join()
        else:
            run()
        if self.raise_after is not None:
            raise self.raise_after
        return ORIGINAL_DUMPS("trigger")


@pytest.fixture
def patched_dumps(monkeypatch):
    def dumps(obj, *args, **kwargs):
        if isinstance(obj, Trigger):
            return obj.fire()
        return ORIGINAL_DUMPS(obj, *args, **kwargs)
    monkeypatch.setattr(json, "dumps", dumps)


@pytest.fixture
def scene(vz, patched_dumps):
    """An engine, the two records it captures with, and a second engine."""
    class Scene:
        engine = vz.ZELEngine(":memory:")
        other = vz.ZELEngine(":memory:")
        triplet = vz.PPPTriplet("prov", "place", "purpose")
        chain = vz.HumanDeltaChain("ref", False, "node", "chain")

        def capture(self, ctx=None, reasoning_trace=None, engine=None):
            return (engine or self.engine).capture(ctx, "prompt", reasoning_trace, "output",
                                                   self.triplet, self.chain)
    return Scene()


def reference_records(vz, count):
    """The records a fresh engine gives for ``count`` plain captures."""
    engine = vz.ZELEngine(":memory:")
    triplet = vz.PPPTriplet("prov", "place", "purpose")
    chain = vz.HumanDeltaChain("ref", False, "node", "chain")
    return [engine.capture(None, "prompt", None, "output", triplet, chain) for _ in range(count)]


def sealed(record):
    return (record.hash, record.merkle_root, record.coherence_score, record.reputation_scalar,
            record.ppp_json, record.human_delta_chain_json)


CONFLICTS = {
    "capture same engine": (lambda s: s.capture(), "Already borrowed"),
    "capture same engine, bad prompt": (
        lambda s: s.engine.capture(None, 1, None, "o", s.triplet, s.chain), "Already borrowed"),
    "public_key_hex": (lambda s: s.engine.public_key_hex(), "Already mutably borrowed"),
    "set provenance": (lambda s: setattr(s.triplet, "provenance", "new"), "Already borrowed"),
    "set place": (lambda s: setattr(s.triplet, "place", "new"), "Already borrowed"),
    "set purpose": (lambda s: setattr(s.triplet, "purpose", "new"), "Already borrowed"),
    "set chain_id": (lambda s: setattr(s.chain, "chain_id", "new"), "Already borrowed"),
    "set agent_decision_ref": (lambda s: setattr(s.chain, "agent_decision_ref", "new"), "Already borrowed"),
    "set resolved": (lambda s: setattr(s.chain, "resolved", True), "Already borrowed"),
    "set terminal_node": (lambda s: setattr(s.chain, "terminal_node", "new"), "Already borrowed"),
}


@pytest.mark.parametrize("in_thread", [False, True], ids=["reentrant", "other-thread"])
@pytest.mark.parametrize("where", ["ctx", "reasoning_trace"])
@pytest.mark.parametrize("conflict", list(CONFLICTS))
def test_conflicting_call_inside_capture(vz, scene, conflict, where, in_thread):
    action, message = CONFLICTS[conflict]
    trigger = Trigger(lambda: action(scene), in_thread=in_thread)
    record = scene.capture(**{where: trigger})

    kind, exc = trigger.outcome
    assert kind == "raised"
    assert type(exc) is RuntimeError
    assert str(exc) == message
    # The records were not changed and the outer capture is undisturbed.
    assert (scene.triplet.provenance, scene.triplet.place, scene.triplet.purpose) == ("prov", "place", "purpose")
    assert (scene.chain.chain_id, scene.chain.agent_decision_ref, scene.chain.resolved,
            scene.chain.terminal_node) == ("chain", "ref", False, "node")
    reference = reference_records(vz, 2)
    assert sealed(record) == sealed(reference[0])
    # Everything is free again, and the failed inner call left no trace.
    assert len(scene.engine.public_key_hex()) == 64
    assert sealed(scene.capture()) == sealed(reference[1])
    scene.triplet.place = "changed"
    scene.chain.resolved = True
    assert scene.triplet.place == "changed" and scene.chain.resolved is True


def test_binding_and_conversion_errors_come_before_and_after_the_borrow(scene):
    """Binding fails before the engine borrow; a setter converts before it borrows."""
    def inner():
        errors = []
        for call in (lambda: scene.engine.capture(),
                     lambda: setattr(scene.triplet, "place", 3),
                     lambda: setattr(scene.chain, "resolved", None)):
            try:
                call()
            except BaseException as exc:  # noqa: B902
                errors.append((type(exc), str(exc)))
        return errors
    trigger = Trigger(inner)
    scene.capture(ctx=trigger)
    assert trigger.outcome == ("ok", [
        (TypeError, "ZELEngine.capture() missing 6 required positional arguments: 'ctx', 'prompt', "
                    "'reasoning_trace', 'output', 'ppp_triplet', and 'human_delta_chain'"),
        (TypeError, "argument 'place': 'int' object cannot be converted to 'PyString'"),
        (TypeError, "argument 'resolved': 'NoneType' object cannot be converted to 'PyBool'"),
    ])


def test_shared_uses_inside_capture_succeed(vz, scene):
    def inner():
        reads = (scene.triplet.provenance, scene.triplet.place, scene.triplet.purpose,
                 scene.chain.chain_id, scene.chain.agent_decision_ref, scene.chain.resolved,
                 scene.chain.terminal_node, len(scene.other.public_key_hex()))
        record = scene.capture(engine=scene.other)  # the same two records, shared again
        return reads, sealed(record)
    trigger = Trigger(inner)
    outer = scene.capture(ctx=trigger)

    kind, (reads, inner_sealed) = trigger.outcome
    assert kind == "ok"
    assert reads == ("prov", "place", "purpose", "chain", "ref", False, "node", 64)
    reference = reference_records(vz, 1)[0]
    assert inner_sealed == sealed(reference)
    assert sealed(outer) == sealed(reference)
    assert outer.ctx_json == '"trigger"'


@pytest.mark.parametrize("where", ["ctx", "reasoning_trace"])
def test_borrows_are_released_when_dumps_raises(vz, scene, where):
    boom = ValueError("boom")
    trigger = Trigger(lambda: scene.engine.public_key_hex(), raise_after=boom)
    with pytest.raises(ValueError) as info:
        scene.capture(**{where: trigger})
    assert info.value is boom
    assert trigger.outcome[0] == "raised"
    assert str(trigger.outcome[1]) == "Already mutably borrowed"

    assert len(scene.engine.public_key_hex()) == 64
    scene.triplet.purpose = "purpose"
    scene.chain.resolved = False
    assert sealed(scene.capture()) == sealed(reference_records(vz, 1)[0])


def test_borrows_are_released_when_json_rejects_the_context(vz, scene):
    with pytest.raises(TypeError) as info:
        scene.capture(ctx={1, 2})
    assert type(info.value) is TypeError
    assert str(info.value) == "Object of type set is not JSON serializable"
    scene.triplet.place = "place"
    assert sealed(scene.capture()) == sealed(reference_records(vz, 1)[0])


@pytest.mark.parametrize("bad_call", [0, 1], ids=["ctx", "reasoning_trace"])
@pytest.mark.parametrize("result, type_name", [(5, "int"), (None, "NoneType"), (b"{}", "bytes")])
def test_dumps_returning_a_non_str(vz, tmp_path, monkeypatch, bad_call, result, type_name):
    wal = str(tmp_path / "shared.wal")
    engine, twin = vz.ZELEngine(wal), vz.ZELEngine(wal)  # one key file, same start state
    triplet = vz.PPPTriplet("prov", "place", "purpose")
    chain = vz.HumanDeltaChain("ref", False, "node", "chain")
    calls = []

    def dumps(obj, *args, **kwargs):
        calls.append(obj)
        return result if len(calls) == bad_call + 1 else ORIGINAL_DUMPS(obj, *args, **kwargs)
    monkeypatch.setattr(json, "dumps", dumps)
    with pytest.raises(TypeError) as info:
        engine.capture({"a": 1}, "prompt", [1], "output", triplet, chain)
    assert type(info.value) is TypeError
    assert str(info.value) == "'%s' object cannot be converted to 'PyString'" % type_name
    assert len(calls) == bad_call + 1
    assert (tmp_path / "shared.wal").read_bytes() == b""

    monkeypatch.setattr(json, "dumps", ORIGINAL_DUMPS)
    after_failure = engine.capture({"a": 1}, "prompt", [1], "output", triplet, chain)
    fresh = twin.capture({"a": 1}, "prompt", [1], "output", triplet, chain)
    assert sealed(after_failure) == sealed(fresh)
    assert after_failure.signature == fresh.signature
