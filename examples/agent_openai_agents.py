"""An OpenAI Agents SDK run, sealed span by span, offline.

A scripted Model answers in place of the API: the triage agent hands off to
billing, which calls a tool and replies. AuditTracingProcessor replaces the
SDK's default trace exporter (nothing leaves the process) and seals each
model call, tool call and handoff; the log is then verified.

    pip install .[openai-agents]
    python examples/agent_openai_agents.py [--wal PATH]
"""
import argparse
import json

from agents import Agent, Model, ModelResponse, RunConfig, Runner, Usage, function_tool, set_trace_processors
from agents.tracing import generation_span
from openai.types.responses import ResponseFunctionToolCall, ResponseOutputMessage, ResponseOutputText

from vorm_zel_audit import verify_log
from vorm_zel_audit.agents import AuditTrail
from vorm_zel_audit.agents.openai_agents import AuditTracingProcessor


def tool_call(name, arguments, call_id):
    return ResponseFunctionToolCall(type="function_call", name=name, arguments=json.dumps(arguments),
                                    call_id=call_id, id="fc_" + call_id, status="completed")


def reply(text):
    return ResponseOutputMessage(id="msg_1", type="message", role="assistant", status="completed",
                                 content=[ResponseOutputText(type="output_text", text=text, annotations=[])])


class ScriptedModel(Model):
    """Plays back a script, tracing each turn like a real model."""

    def __init__(self, turns):
        self.turns = list(turns)

    async def get_response(self, system_instructions, input, model_settings, tools, output_schema, handoffs,
                           tracing, *, previous_response_id=None, conversation_id=None, prompt=None):
        output = self.turns.pop(0)
        with generation_span(model="scripted-model", disabled=tracing.is_disabled()) as span:
            span.span_data.input = [{"role": "user", "content": input}] if isinstance(input, str) else input
            span.span_data.output = [item.model_dump() for item in output]
        return ModelResponse(output=output, usage=Usage(requests=1), response_id=None)

    def stream_response(self, *args, **kwargs):
        raise NotImplementedError


@function_tool
def lookup_order(order: int) -> str:
    """Look an order up."""
    return "order %d: charged twice" % order


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wal", default="agents-audit.wal")
    args = parser.parse_args()

    model = ScriptedModel([[tool_call("transfer_to_billing", {}, "c1")],
                           [tool_call("lookup_order", {"order": 7}, "c2")],
                           [reply("Order 7 was charged twice; I refunded one charge.")]])
    billing = Agent(name="billing", instructions="Fix billing problems.", model=model, tools=[lookup_order])
    triage = Agent(name="triage", instructions="Route each ticket.", model=model, handoffs=[billing])

    with AuditTrail(args.wal) as trail:
        processor = AuditTracingProcessor(trail, keep_records=True)
        set_trace_processors([processor])  # replaces the default exporter
        result = Runner.run_sync(triage, "Why was I charged twice for order 7?",
                                 run_config=RunConfig(workflow_name="support"))
        key = trail.public_key_hex()
    report = verify_log(args.wal, key)
    print("answer:          ", result.final_output)
    print("records sealed:  ", len(processor.records))
    print("log verified:    ", "yes" if report.passed else "NO", "(%d records)" % report.records)
    print("verify it with:   python -m vorm_zel_audit verify %s --public-key %s" % (args.wal, key))
    return 0 if report.passed else 1


if __name__ == "__main__":
    raise SystemExit(main())
