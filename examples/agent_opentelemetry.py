"""An OpenTelemetry-instrumented agent, sealed span by span, offline.

The agent below records its work as GenAI semantic-convention spans, as
instrumentation libraries do; AuditSpanProcessor seals every such span when
it ends (an in-memory exporter stands in for a collector), and the log is
then verified.

    pip install .[opentelemetry]
    python examples/agent_opentelemetry.py [--wal PATH]
"""
import argparse
import json

from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from vorm_zel_audit import verify_log
from vorm_zel_audit.agents import AuditTrail
from vorm_zel_audit.agents.opentelemetry import AuditSpanProcessor


def messages(role, text):
    return json.dumps([{"role": role, "parts": [{"type": "text", "content": text}]}])


def support_agent(tracer, question):
    """A scripted model that asks for one tool, then answers."""
    with tracer.start_as_current_span("invoke_agent support", attributes={
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "support"}):
        with tracer.start_as_current_span("chat scripted-model", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "scripted-model",
                "gen_ai.input.messages": messages("user", question),
                "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [
                    {"type": "tool_call", "name": "lookup_order", "arguments": {"order": 7}}]}])}):
            pass
        result = "order 7: charged twice"
        with tracer.start_as_current_span("execute_tool lookup_order", attributes={
                "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "lookup_order",
                "gen_ai.tool.call.arguments": '{"order": 7}', "gen_ai.tool.call.result": result}):
            pass
        answer = "Order 7 was charged twice; I refunded one charge."
        with tracer.start_as_current_span("chat scripted-model", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "scripted-model",
                "gen_ai.input.messages": messages("tool", result),
                "gen_ai.output.messages": messages("assistant", answer)}):
            pass
        return answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wal", default="otel-audit.wal")
    args = parser.parse_args()

    with AuditTrail(args.wal) as trail:
        provider = TracerProvider(resource=Resource.create({"service.name": "support"}))
        processor = AuditSpanProcessor(trail, keep_records=True)
        provider.add_span_processor(processor)
        provider.add_span_processor(SimpleSpanProcessor(InMemorySpanExporter()))
        print("answer:          ", support_agent(provider.get_tracer("support"), "Why was I charged twice?"))
        key = trail.public_key_hex()
    report = verify_log(args.wal, key)
    print("records sealed:  ", len(processor.records))
    print("log verified:    ", "yes" if report.passed else "NO", "(%d records)" % report.records)
    print("verify it with:   python -m vorm_zel_audit verify %s --public-key %s" % (args.wal, key))
    return 0 if report.passed else 1


if __name__ == "__main__":
    raise SystemExit(main())
