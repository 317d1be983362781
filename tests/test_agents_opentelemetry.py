"""OpenTelemetry end to end: an agent instrumented with GenAI spans (an
agent span around two model calls and a tool call); each GenAI span becomes
one record, other spans none. An in-memory exporter sees the same spans."""
import json
import shutil
import threading

import pytest
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from agent_logs import verified_records
from vorm_zel_audit.agents import AuditTrail, LostRecordError
from vorm_zel_audit.agents.opentelemetry import AuditSpanProcessor

MESSAGES_IN = json.dumps([{"role": "user", "parts": [{"type": "text", "content": "where is order 7?"}]}])
MESSAGES_OUT = json.dumps([{"role": "assistant", "parts": [{"type": "tool_call", "name": "lookup_order"}]}])


def run_agent(tracer):
    with tracer.start_as_current_span("invoke_agent triage", attributes={
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "triage",
            "gen_ai.conversation.id": "conv-1"}):
        with tracer.start_as_current_span("chat scripted-model", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "scripted-model",
                "gen_ai.input.messages": MESSAGES_IN, "gen_ai.output.messages": MESSAGES_OUT,
                "gen_ai.usage.input_tokens": 12, "gen_ai.response.finish_reasons": ("tool_calls",)}):
            pass
        with tracer.start_as_current_span("execute_tool lookup_order", attributes={
                "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "lookup_order",
                "gen_ai.tool.call.id": "call_1", "gen_ai.tool.call.arguments": '{"order": 7}',
                "gen_ai.tool.call.result": "order 7: charged twice"}):
            with tracer.start_as_current_span("HTTP GET orders"):  # no GenAI attributes: not sealed
                pass
        with tracer.start_as_current_span("chat legacy-model", attributes={
                "gen_ai.system": "openai", "gen_ai.request.model": "legacy-model",
                "gen_ai.prompt.0.role": "user", "gen_ai.prompt.0.content": "where is order 7?",
                "gen_ai.prompt.1.role": "tool", "gen_ai.prompt.1.content": "order 7: charged twice"}) as span:
            span.add_event("gen_ai.content.completion", {"gen_ai.completion": "It was charged twice."})
            span.add_event("retry", {"attempt": 1})


@pytest.fixture
def provider():
    resource = Resource.create({"service.name": "support", "host.name": "node-3", "process.pid": 4242})
    return TracerProvider(resource=resource)


def test_gen_ai_spans_become_one_record_each(wal_path, provider):
    exporter = InMemorySpanExporter()
    with AuditTrail(wal_path) as trail:
        processor = AuditSpanProcessor(trail, keep_records=True)
        provider.add_span_processor(processor)
        provider.add_span_processor(SimpleSpanProcessor(exporter))
        run_agent(provider.get_tracer("test"))
        lines = verified_records(trail)
    spans = {span.name: span for span in exporter.get_finished_spans()}
    assert len(spans) == 5
    assert [line["id"] for line in lines] == [record.id for record in processor.records]
    by_name = {line["ctx"]["span_name"]: line for line in lines}
    assert list(by_name) == ["chat scripted-model", "execute_tool lookup_order", "chat legacy-model",
                             "invoke_agent triage"]
    expected = {  # span: (provenance, prompt, output, trace)
        "chat scripted-model": ("triage/scripted-model", MESSAGES_IN, MESSAGES_OUT, []),
        "execute_tool lookup_order": ("triage/tool:lookup_order", '{"order": 7}', "order 7: charged twice", []),
        "chat legacy-model": ("triage/legacy-model", "user: where is order 7?\ntool: order 7: charged twice",
                              "It was charged twice.", [{"name": "retry", "attributes": {"attempt": 1}}]),
        "invoke_agent triage": ("triage/invoke_agent", "", "", []),
    }
    for name, (provenance, prompt, output, trace) in expected.items():
        line, span = by_name[name], spans[name]
        assert (line["ppp"]["provenance"], line["prompt"], line["output"], line["trace"]) == \
            (provenance, prompt, output, trace), name
        assert line["ppp"]["place"] == "node-3/4242"
        assert line["ppp"]["purpose"] == "run %032x" % span.context.trace_id
        assert line["ctx"]["span_id"] == "%016x" % span.context.span_id == line["review"]["agent_decision_ref"]
        assert line["ctx"]["trace_id"] == "%032x" % span.context.trace_id
        assert (line["ctx"]["start_time"], line["ctx"]["end_time"]) == (span.start_time, span.end_time)
    chat = by_name["chat scripted-model"]["ctx"]["attributes"]
    assert chat == {"gen_ai.operation.name": "chat", "gen_ai.request.model": "scripted-model",
                    "gen_ai.usage.input_tokens": 12, "gen_ai.response.finish_reasons": ["tool_calls"]}
    assert "gen_ai.prompt.0.content" not in by_name["chat legacy-model"]["ctx"]["attributes"]


def test_spans_ended_on_many_threads(wal_path, provider):
    with AuditTrail(wal_path) as trail:
        provider.add_span_processor(AuditSpanProcessor(trail))
        tracer = provider.get_tracer("test")
        workers = [threading.Thread(target=run_agent, args=(tracer,)) for _ in range(8)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        lines = verified_records(trail)
    assert len(lines) == 8 * 4
    assert len({line["ppp"]["purpose"] for line in lines}) == 8


def test_a_lost_record_comes_out_of_span_end_under_raise(tmp_path, provider):
    directory = tmp_path / "gone"
    directory.mkdir()
    trail = AuditTrail(str(directory / "audit.wal"), on_lost_record="raise")
    shutil.rmtree(str(directory))
    provider.add_span_processor(AuditSpanProcessor(trail))
    span = provider.get_tracer("test").start_span("chat m", attributes={"gen_ai.request.model": "m"})
    with pytest.raises(LostRecordError):
        span.end()
