"""OpenAI Agents SDK end to end: a scripted model drives a triage agent
with an input guardrail that hands off to a billing agent with a tool.
The default trace exporter is replaced, so nothing reaches the network."""
import json

import pytest
from agents import (Agent, GuardrailFunctionOutput, Model, ModelResponse, RunConfig, Runner, Usage,
                    function_tool, input_guardrail, set_trace_processors)
from agents.tracing import generation_span
from openai.types.responses import ResponseFunctionToolCall, ResponseOutputMessage, ResponseOutputText

from agent_logs import verified_records
from vorm_zel_audit.agents import AuditTrail
from vorm_zel_audit.agents.openai_agents import AuditTracingProcessor


def say(text):
    return ResponseOutputMessage(id="msg_1", type="message", role="assistant", status="completed",
                                 content=[ResponseOutputText(type="output_text", text=text, annotations=[])])


def call(name, arguments, call_id):
    return ResponseFunctionToolCall(type="function_call", name=name, arguments=json.dumps(arguments),
                                    call_id=call_id, id="fc_" + call_id, status="completed")


class ScriptedModel(Model):
    """Answers from a script, and traces each answer as real models do."""

    def __init__(self, turns):
        self.turns = list(turns)

    async def get_response(self, system_instructions, input, model_settings, tools, output_schema, handoffs,
                           tracing, *, previous_response_id=None, conversation_id=None, prompt=None):
        output = self.turns.pop(0)
        with generation_span(model="scripted-model", disabled=tracing.is_disabled()) as span:
            messages = [{"role": "user", "content": input}] if isinstance(input, str) else list(input)
            span.span_data.input = [{"role": "system", "content": system_instructions}] + messages
            span.span_data.output = [item.model_dump() for item in output]
        return ModelResponse(output=output, usage=Usage(requests=1), response_id=None)

    def stream_response(self, *args, **kwargs):
        raise NotImplementedError


@function_tool
def lookup_order(order: int) -> str:
    """Look an order up."""
    return "order %d: charged twice" % order


@input_guardrail
async def no_card_numbers(context, agent, user_input):
    return GuardrailFunctionOutput(output_info="clean", tripwire_triggered=False)


@pytest.fixture
def sealed_run(wal_path):
    model = ScriptedModel([
        [call("transfer_to_billing", {}, "c1")],
        [call("lookup_order", {"order": 7}, "c2")],
        [say("Refunded the double charge on order 7.")],
    ])
    billing = Agent(name="billing", instructions="Fix billing.", model=model, tools=[lookup_order])
    triage = Agent(name="triage", instructions="Route tickets.", model=model, handoffs=[billing],
                   input_guardrails=[no_card_numbers])
    with AuditTrail(wal_path) as trail:
        processor = AuditTracingProcessor(trail, keep_records=True)
        set_trace_processors([processor])
        try:
            result = Runner.run_sync(triage, "I was charged twice for order 7",
                                     run_config=RunConfig(workflow_name="support"))
        finally:
            set_trace_processors([])
        yield result, processor.records, verified_records(trail)


def test_every_span_of_a_handoff_run_becomes_one_record(sealed_run):
    result, records, lines = sealed_run
    assert result.final_output == "Refunded the double charge on order 7."
    assert [line["id"] for line in lines] == [record.id for record in records]
    got = sorted((line["ctx"]["span_type"], line["ppp"]["provenance"], line["prompt"].splitlines()[0],
                  line["output"]) for line in lines)
    assert got == sorted([
        ("guardrail", "triage/guardrail:no_card_numbers", "no_card_numbers", "not triggered"),
        ("generation", "triage/scripted-model", "system: Route tickets.",
         json.dumps({"content": "", "tool_calls": [{"name": "transfer_to_billing", "arguments": "{}",
                                                     "call_id": "c1"}]})),
        ("handoff", "triage/handoff", "handoff from triage", "billing"),
        ("generation", "billing/scripted-model", "system: Fix billing.",
         json.dumps({"content": "", "tool_calls": [{"name": "lookup_order", "arguments": '{"order": 7}',
                                                     "call_id": "c2"}]})),
        ("function", "billing/tool:lookup_order", '{"order": 7}', "order 7: charged twice"),
        ("generation", "billing/scripted-model", "system: Fix billing.",
         "Refunded the double charge on order 7."),
    ])


def test_records_carry_the_sdk_ids(sealed_run):
    _, _, lines = sealed_run
    trace_ids = {line["ctx"]["trace_id"] for line in lines}
    assert len(trace_ids) == 1 and next(iter(trace_ids)).startswith("trace_")
    assert {line["ppp"]["purpose"] for line in lines} == {"run " + next(iter(trace_ids))}
    assert len({line["ctx"]["span_id"] for line in lines}) == len(lines)
    for line in lines:
        assert line["ctx"]["framework"] == "openai-agents" and line["ctx"]["workflow"] == "support"
        assert line["review"]["agent_decision_ref"] == line["ctx"]["span_id"]
    last = [line for line in lines if line["ctx"]["span_type"] == "generation"][-1]
    first = [line for line in lines if line["ctx"]["span_type"] == "generation"][0]
    assert first["prompt"] == "system: Route tickets.\nuser: I was charged twice for order 7"
    assert '"name": "lookup_order"' in last["prompt"]  # the model saw the tool call and its result
    assert "order 7: charged twice" in last["prompt"]
    assert last["trace"][0]["content"][0]["text"] == "Refunded the double charge on order 7."
