"""AuditTrail: one engine shared by threads, asyncio and callbacks, with
defaults for the triplet and the review and converted ctx and trace."""
import asyncio
import datetime
import json
import os
import socket
import sys
import threading
import uuid
import warnings

import pytest

from agent_logs import verified_records
from conftest import scaled
from vorm_zel_audit.agents import NOT_REVIEWED, AuditTrail, JsonConverter


@pytest.fixture
def trail(wal_path):
    with AuditTrail(wal_path, provenance="triage-agent", purpose="resolve ticket") as trail:
        yield trail


def test_defaults_fill_the_triplet_and_an_unreviewed_chain(trail):
    record = trail.capture("Ticket 17", "refund", decision_ref="step-1")
    assert json.loads(record.ppp_json) == {"provenance": "triage-agent",
                                           "place": "%s/%d" % (socket.gethostname(), os.getpid()),
                                           "purpose": "resolve ticket"}
    review = json.loads(record.human_delta_chain_json)
    assert (review["agent_decision_ref"], review["resolved"], review["terminal_node"]) == \
        ("step-1", False, NOT_REVIEWED)
    uuid.UUID(review["chain_id"])
    other = trail.capture("Ticket 18", "refund", provenance="p", place="q", purpose="r")
    assert json.loads(other.ppp_json) == {"provenance": "p", "place": "q", "purpose": "r"}


def test_a_given_review_is_sealed_as_it_is(trail, vz):
    review = vz.HumanDeltaChain("ticket-17", True, "supervisor-ana", "c-1")
    record = trail.capture("Ticket 17", "refund", review=review)
    assert json.loads(record.human_delta_chain_json) == {
        "chain_id": "c-1", "agent_decision_ref": "ticket-17", "resolved": True, "terminal_node": "supervisor-ana"}


def test_sealed_texts_are_json_dumps_of_the_converted_values(trail):
    when = datetime.datetime(2026, 12, 7, 4, 13, 8, tzinfo=datetime.timezone.utc)
    ctx = {"ticket": 17, "at": when, "tags": ("a", "b"), "note": "ünï \"q\""}
    trace = [{"step": "classify", "id": uuid.UUID(int=1)}]
    record = trail.capture({"text": "Ticket 17"}, {"action": "refund", "amount": 12.5}, ctx=ctx, trace=trace)
    assert record.ctx_json == json.dumps({"ticket": 17, "at": when.isoformat(), "tags": ["a", "b"],
                                          "note": "ünï \"q\""})
    assert record.reasoning_trace_json == json.dumps([{"step": "classify", "id": str(uuid.UUID(int=1))}])
    assert record.prompt == json.dumps({"text": "Ticket 17"})
    assert record.output == json.dumps({"action": "refund", "amount": 12.5})
    assert trail.capture("p", "o").ctx_json == "null"


def test_a_converter_of_ones_own_is_used_for_ctx_trace_and_outputs(wal_path):
    class Upper(JsonConverter):
        def convert(self, value, depth, active):
            return value.upper() if isinstance(value, str) else super().convert(value, depth, active)

    with AuditTrail(wal_path, converter=Upper()) as trail:
        record = trail.capture("keep", ["x"], ctx=["y", 1], trace=lambda: 0)
    assert (record.prompt, record.output, record.ctx_json) == ("keep", '["X"]', '["Y", 1]')
    assert record.reasoning_trace_json.startswith('"<FUNCTION')


@pytest.mark.slow
def test_concurrent_threads_never_see_a_busy_engine(wal_path):
    threads, per_thread = 16, scaled(2000, 200)
    errors, previous = [], sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with AuditTrail(wal_path) as trail:
            def work(number):
                try:
                    for index in range(per_thread):
                        trail.capture("t%d-%d" % (number, index), "ok", ctx={"thread": number, "index": index},
                                      trace=[{"step": index}])
                except BaseException as exc:  # collected, asserted below
                    errors.append(exc)
            workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            lines = verified_records(trail)
    finally:
        sys.setswitchinterval(previous)
    assert errors == []
    assert len(lines) == threads * per_thread
    assert len({line["prompt"] for line in lines}) == threads * per_thread


def test_acapture_from_100_concurrent_tasks(wal_path):
    async def main(trail):
        async def task(number):
            await asyncio.sleep(0)
            return await trail.acapture("task %d" % number, {"done": number}, ctx={"task": number})
        return await asyncio.gather(*(task(n) for n in range(100)))

    with AuditTrail(wal_path) as trail:
        records = asyncio.run(main(trail))
        lines = verified_records(trail)
    assert sorted(r.prompt for r in records) == sorted("task %d" % n for n in range(100))
    assert [line["id"] for line in lines] == [record.id for record in records]  # sealed in the order made


def test_acapture_converts_on_the_calling_thread(wal_path):
    async def main(trail):
        ctx = {"items": [1]}
        pending = asyncio.ensure_future(trail.acapture("p", "o", ctx=ctx))
        await asyncio.sleep(0)
        ctx["items"].append(2)  # after the call: must not reach the record
        return await pending

    with AuditTrail(wal_path) as trail:
        assert json.loads(asyncio.run(main(trail)).ctx_json) == {"items": [1]}


class RecordingNotary:
    def __init__(self):
        self.calls = []

    def start(self):
        self.calls.append("start")

    def stop(self):
        self.calls.append("stop")


def test_the_notary_runs_while_the_trail_is_open(wal_path):
    notary = RecordingNotary()
    with AuditTrail(wal_path, notary=notary) as trail:
        assert notary.calls == ["start"]
        trail.capture("p", "o")
    assert notary.calls == ["start", "stop"]
    trail.close()
    assert notary.calls == ["start", "stop"]


def test_notarize_every_signs_checkpoints_and_a_last_one_on_close(wal_path):
    from vorm_zel_audit import verify_log

    with AuditTrail(wal_path, notarize_every=3600) as trail:
        for number in range(5):
            trail.capture("prompt %d" % number, "output")
        key = trail.public_key_hex()
    report = verify_log(wal_path, key, require_notarized=True)
    assert report.passed, report.format_text()
    assert report.notarized.lines_covered == 5 and report.proven.complete_and_in_order
    with pytest.raises(ValueError, match="not both"):
        AuditTrail(wal_path, notarize_every=1, notary=RecordingNotary())
    with pytest.raises(ValueError, match="in-memory"):
        AuditTrail(":memory:", notarize_every=1)


def test_a_closed_trail_refuses_captures(wal_path):
    trail = AuditTrail(wal_path)
    trail.capture("p", "o")
    trail.close()
    assert trail.closed
    with pytest.raises(ValueError, match="closed"):
        trail.capture("p", "o")
    with pytest.raises(ValueError, match="closed"):
        asyncio.run(trail.acapture("p", "o"))
    with pytest.raises(ValueError, match="closed"):
        trail.public_key_hex()


def test_other_warnings_raised_during_a_capture_are_passed_on(wal_path):
    class NoisyDict(dict):  # json.dumps calls items() of a dict subclass, inside capture
        def items(self):
            warnings.warn("from json.dumps", UserWarning)
            return super().items()

    with AuditTrail(wal_path, converter=lambda value: NoisyDict(k=value)) as trail:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            record = trail.capture("p", "o", ctx=1)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, "from json.dumps")] * 2
    assert record.ctx_json == '{"k": 1}'
