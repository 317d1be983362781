"""Overhead of the agent adapters per sealed event, next to a bare capture.

For each adapter the same events go, in one run, through

- the adapter: its callbacks called directly with prebuilt framework objects
  (LangChain's start and end callbacks, the Agents SDK's span start and end,
  OpenTelemetry's on_start and on_end), which map the event, convert the
  values, take the trail's lock, record warnings and capture;
- ``AuditTrail.capture`` with the fields the adapter produced;
- a bare ``ZELEngine.capture`` of the very same converted fields and records.

Each is timed in interleaved rounds on its own in-memory engine (warmed past
the 500-record history first); the medians per event and the ratios to the
bare capture are printed. The signature alone is most of a bare capture, so
the ratio shows what the layer adds next to it. Framework machinery (the
callback manager, the span provider) is outside the timed calls.

    python benchmarks/bench_adapters.py [--events N] [--rounds R]
"""
import argparse
import asyncio
import json
import statistics
import time
import warnings

import vorm_zel
from vorm_zel_audit.agents import AuditTrail


class RecordingTrail(AuditTrail):
    """A trail that keeps the prepared decisions (for the bare replay)."""

    def __init__(self):
        super().__init__(":memory:", place="bench-host/1")
        self.decisions = []

    def seal(self, decision):
        self.decisions.append(decision)
        return super().seal(decision)


def langchain_events():
    import uuid

    from langchain_core.messages import AIMessage, HumanMessage
    from langchain_core.outputs import ChatGeneration, LLMResult

    from vorm_zel_audit.agents.langchain import AuditCallbackHandler

    root = uuid.uuid4()
    messages = [[HumanMessage("Ticket 4711 from Ada: charged twice for order 1234, please refund.")]]
    reply = AIMessage("", tool_calls=[{"name": "lookup_order", "args": {"order": 1234}, "id": "call_1"}])
    result = LLMResult(generations=[[ChatGeneration(message=reply)]], llm_output={"token_usage": {"total": 42}})
    metadata = {"ls_provider": "fake", "ls_model_name": "fake-model", "ls_model_type": "chat"}

    def events(handler):
        def model_call():
            run_id = uuid.uuid4()
            handler.on_chat_model_start({"name": "FakeChatModel"}, messages, run_id=run_id, parent_run_id=root,
                                        tags=[], metadata=metadata, invocation_params={"model": "fake-model"})
            handler.on_llm_end(result, run_id=run_id, parent_run_id=root, tags=[])

        def tool_call():
            run_id = uuid.uuid4()
            handler.on_tool_start({"name": "lookup_order"}, "{'order': 1234}", run_id=run_id, parent_run_id=root,
                                  tags=[], metadata={}, inputs={"order": 1234}, tool_call_id="call_1")
            handler.on_tool_end("order 1234: charged twice", run_id=run_id, parent_run_id=root, name="lookup_order")
        handler.on_chain_start({"name": "support-agent"}, {"input": "x"}, run_id=root, parent_run_id=None,
                               name="support-agent")
        return [model_call, tool_call]
    return AuditCallbackHandler, events


def openai_agents_events():
    from agents import set_trace_processors
    from agents.tracing import agent_span, function_span, generation_span, trace

    from vorm_zel_audit.agents.openai_agents import AuditTracingProcessor

    set_trace_processors([])  # the spans are made here, then fed to the processor by hand
    with trace("support") as run:
        with agent_span(name="billing") as agent:
            with generation_span(model="scripted-model") as generation:
                generation.span_data.input = [{"role": "user", "content": "Ticket 4711: charged twice."}]
                generation.span_data.output = [{"type": "function_call", "name": "lookup_order",
                                                "arguments": '{"order": 1234}', "call_id": "c1"}]
                generation.span_data.usage = {"input_tokens": 12, "output_tokens": 7}
            with function_span("lookup_order", input='{"order": 1234}') as function:
                function.span_data.output = "order 1234: charged twice"

    def events(processor):
        processor.on_trace_start(run)
        processor.on_span_start(agent)

        def seal(span):
            return lambda: (processor.on_span_start(span), processor.on_span_end(span))
        return [seal(generation), seal(function)]
    return AuditTracingProcessor, events


def opentelemetry_events():
    from opentelemetry.sdk.trace import TracerProvider

    from vorm_zel_audit.agents.opentelemetry import AuditSpanProcessor

    tracer = TracerProvider().get_tracer("bench")
    with tracer.start_as_current_span("invoke_agent support", attributes={"gen_ai.agent.name": "support"}):
        with tracer.start_as_current_span("chat fake-model", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "fake-model",
                "gen_ai.input.messages": json.dumps([{"role": "user", "parts": [
                    {"type": "text", "content": "Ticket 4711: charged twice."}]}]),
                "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [
                    {"type": "tool_call", "name": "lookup_order"}]}]),
                "gen_ai.usage.input_tokens": 12}) as chat:
            pass
        with tracer.start_as_current_span("execute_tool lookup_order", attributes={
                "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "lookup_order",
                "gen_ai.tool.call.arguments": '{"order": 1234}',
                "gen_ai.tool.call.result": "order 1234: charged twice"}) as tool:
            pass

    def events(processor):
        def seal(span):
            return lambda: (processor.on_start(span), processor.on_end(span))
        return [seal(chat), seal(tool)]
    return AuditSpanProcessor, events


ADAPTERS = [("langchain", langchain_events), ("openai-agents", openai_agents_events),
            ("opentelemetry", opentelemetry_events)]


def per_event(calls, n):
    started = time.perf_counter()
    for index in range(n):
        calls[index % len(calls)]()
    return (time.perf_counter() - started) / n


def bench(name, setup, events, rounds):
    adapter_class, make_events = setup()
    recorder = RecordingTrail()
    recording_calls = make_events(adapter_class(recorder))
    for call in recording_calls:
        call()
    decisions = recorder.decisions
    assert len(decisions) == len(recording_calls), "each event must seal exactly one record"

    trail = AuditTrail(":memory:", place="bench-host/1")
    adapter_calls = make_events(adapter_class(trail))
    trail_only = AuditTrail(":memory:", place="bench-host/1")
    fields = [_capture_fields(d) for d in decisions]
    trail_calls = [lambda f=f: trail_only.capture(**f) for f in fields]
    engine = vorm_zel.ZELEngine(":memory:")
    bare_calls = [lambda d=d: engine.capture(d.ctx, d.prompt, d.trace, d.output, d.triplet, d.review,
                                             d.auto_insight) for d in decisions]
    for calls in (adapter_calls, trail_calls, bare_calls):
        per_event(calls, 600)  # past the engine's 500-record history
    times = {"adapter": [], "trail": [], "bare": []}
    for _ in range(rounds):
        times["adapter"].append(per_event(adapter_calls, events))
        times["trail"].append(per_event(trail_calls, events))
        times["bare"].append(per_event(bare_calls, events))
    medians = {key: statistics.median(values) for key, values in times.items()}
    return medians


def _capture_fields(decision):
    """The prepared decision as AuditTrail.capture arguments (already converted)."""
    return {"prompt": decision.prompt, "output": decision.output, "ctx": decision.ctx, "trace": decision.trace,
            "provenance": decision.triplet.provenance, "place": decision.triplet.place,
            "purpose": decision.triplet.purpose, "review": decision.review}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2000, help="events per round and adapter")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    warnings.simplefilter("error")  # nothing may go wrong unseen in a benchmark
    asyncio.set_event_loop(asyncio.new_event_loop())
    print("per sealed event, median of %d rounds of %d events (in-memory engines)" % (args.rounds, args.events))
    print("%-14s %10s %10s %10s %14s %14s" % ("adapter", "bare µs", "trail µs", "adapter µs",
                                             "trail / bare", "adapter / bare"))
    for name, setup in ADAPTERS:
        m = bench(name, setup, args.events, args.rounds)
        print("%-14s %10.1f %10.1f %10.1f %13.2fx %13.2fx" % (
            name, m["bare"] * 1e6, m["trail"] * 1e6, m["adapter"] * 1e6, m["trail"] / m["bare"],
            m["adapter"] / m["bare"]))


if __name__ == "__main__":
    main()
