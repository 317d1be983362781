"""LangChain end to end: a fake chat model drives a two-step tool-using
agent; every model call, tool call and agent step becomes one record."""
import asyncio
import json
import shutil

import pytest
from langchain_core.agents import AgentAction, AgentFinish
from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
from langchain_core.messages import AIMessage, HumanMessage
from langchain_core.runnables import RunnableLambda
from langchain_core.tools import tool

from agent_logs import verified_records
from vorm_zel_audit.agents import AuditTrail, LostRecordError
from vorm_zel_audit.agents.langchain import AsyncAuditCallbackHandler, AuditCallbackHandler


@tool
def lookup_order(order: int) -> str:
    """Look an order up."""
    return "order %d: charged twice" % order


@tool
def refund(order: int, amount: float) -> str:
    """Refund part of an order."""
    if amount > 100:
        raise ValueError("refunds over 100 need a human")
    return "refunded %.2f on order %d" % (amount, order)


def scripted_model():
    return FakeMessagesListChatModel(responses=[
        AIMessage("", tool_calls=[{"name": "lookup_order", "args": {"order": 7}, "id": "call_1"}]),
        AIMessage("", tool_calls=[{"name": "refund", "args": {"order": 7, "amount": 12.5}, "id": "call_2"}]),
        AIMessage("Refunded the double charge on order 7."),
    ])


TOOLS = {"lookup_order": lookup_order, "refund": refund}


def make_agent(model):
    """A small tool-calling loop that reports its steps like an agent executor."""
    def step_messages(question):
        return [HumanMessage(question)]

    def agent(question, config, run_manager):
        messages = step_messages(question)
        while True:
            reply = model.invoke(messages, config)
            messages.append(reply)
            if not reply.tool_calls:
                run_manager.on_agent_finish(AgentFinish({"output": reply.content}, reply.content))
                return reply.content
            for call in reply.tool_calls:
                run_manager.on_agent_action(AgentAction(call["name"], call["args"], "use " + call["name"]))
                messages.append(TOOLS[call["name"]].invoke(call, config))

    async def aagent(question, config, run_manager):
        messages = step_messages(question)
        while True:
            reply = await model.ainvoke(messages, config)
            messages.append(reply)
            if not reply.tool_calls:
                await run_manager.on_agent_finish(AgentFinish({"output": reply.content}, reply.content))
                return reply.content
            for call in reply.tool_calls:
                await run_manager.on_agent_action(AgentAction(call["name"], call["args"], "use " + call["name"]))
                messages.append(await TOOLS[call["name"]].ainvoke(call, config))

    return RunnableLambda(agent, afunc=aagent, name="support-agent")


EXPECTED = [  # (event, provenance, prompt, output)
    ("llm_end", "support-agent/FakeMessagesListChatModel", "human: where is order 7?",
     {"content": "", "tool_calls": [{"name": "lookup_order", "args": {"order": 7}, "id": "call_1",
                                     "type": "tool_call"}]}),
    ("agent_action", "support-agent/tool:lookup_order", "use lookup_order",
     {"tool": "lookup_order", "tool_input": {"order": 7}}),
    ("tool_end", "support-agent/tool:lookup_order", {"order": 7}, "order 7: charged twice"),
    ("llm_end", "support-agent/FakeMessagesListChatModel", None, None),
    ("agent_action", "support-agent/tool:refund", "use refund", {"tool": "refund",
                                                                "tool_input": {"order": 7, "amount": 12.5}}),
    ("tool_end", "support-agent/tool:refund", {"order": 7, "amount": 12.5}, "refunded 12.50 on order 7"),
    ("llm_end", "support-agent/FakeMessagesListChatModel", None, "Refunded the double charge on order 7."),
    ("agent_finish", "support-agent/finish", "Refunded the double charge on order 7.",
     {"output": "Refunded the double charge on order 7."}),
]


def maybe_json(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def check_log(trail, records):
    lines = verified_records(trail)
    assert [line["id"] for line in lines] == [record.id for record in records]
    assert [line["ctx"]["event"] for line in lines] == [event for event, *_ in EXPECTED]
    root = lines[0]["ctx"]["root_run_id"]
    for line, (event, provenance, prompt, output) in zip(lines, EXPECTED):
        assert line["ppp"]["provenance"] == provenance, event
        assert line["ppp"]["purpose"] == "run %s" % root
        assert line["ctx"]["root_run_id"] == root and line["ctx"]["framework"] == "langchain"
        assert line["review"]["agent_decision_ref"] == line["ctx"]["run_id"]
        assert line["review"]["terminal_node"] == "not reviewed"
        if prompt is not None:
            assert maybe_json(line["prompt"]) == prompt, event
        if output is not None:
            assert maybe_json(line["output"]) == output, event
    tool_ends = [line for line in lines if line["ctx"]["event"] == "tool_end"]
    assert [line["ctx"]["tool_call_id"] for line in tool_ends] == ["call_1", "call_2"]
    assert len({line["ctx"]["run_id"] for line in lines if line["ctx"]["event"] in ("llm_end", "tool_end")}) == 5
    assert lines[3]["prompt"].splitlines()[-1] == "tool: order 7: charged twice"  # the model saw the result
    return lines


def test_a_multi_step_agent_is_sealed_event_by_event(wal_path):
    with AuditTrail(wal_path) as trail:
        handler = AuditCallbackHandler(trail, keep_records=True)
        answer = make_agent(scripted_model()).invoke("where is order 7?", {"callbacks": [handler]})
        assert answer == "Refunded the double charge on order 7."
        check_log(trail, handler.records)


def test_the_async_handler_seals_the_same_events(wal_path):
    with AuditTrail(wal_path) as trail:
        handler = AsyncAuditCallbackHandler(trail, keep_records=True)
        answer = asyncio.run(make_agent(scripted_model()).ainvoke("where is order 7?", {"callbacks": [handler]}))
        assert answer == "Refunded the double charge on order 7."
        check_log(trail, handler.records)


def test_a_failing_tool_is_sealed_as_an_error(wal_path):
    model = FakeMessagesListChatModel(responses=[
        AIMessage("", tool_calls=[{"name": "refund", "args": {"order": 7, "amount": 500}, "id": "call_9"}])])
    with AuditTrail(wal_path) as trail:
        handler = AuditCallbackHandler(trail, agent_name="refunder")
        with pytest.raises(ValueError, match="need a human"):
            make_agent(model).invoke("refund everything", {"callbacks": [handler]})
        lines = verified_records(trail)
    assert [line["ctx"]["event"] for line in lines] == ["llm_end", "agent_action", "tool_error"]
    assert lines[2]["output"] == "error: ValueError: refunds over 100 need a human"
    assert lines[2]["ppp"]["provenance"] == "refunder/tool:refund"


def test_a_lost_record_stops_the_run_under_raise(tmp_path):
    directory = tmp_path / "gone"
    directory.mkdir()
    trail = AuditTrail(str(directory / "audit.wal"), on_lost_record="raise")
    shutil.rmtree(str(directory))
    with pytest.raises(LostRecordError) as caught:
        make_agent(scripted_model()).invoke("where is order 7?", {"callbacks": [AuditCallbackHandler(trail)]})
    assert json.loads(caught.value.record.ctx_json)["event"] == "llm_end"
