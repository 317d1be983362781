"""A LangChain agent, sealed call by call, offline.

A scripted chat model (LangChain's FakeMessagesListChatModel) asks for one
tool, reads its answer and replies; AuditCallbackHandler seals the model
calls, the tool call and the agent's steps into the log, which is then
verified.

    pip install .[langchain]
    python examples/agent_langchain.py [--wal PATH]
"""
import argparse

from langchain_core.agents import AgentAction, AgentFinish
from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
from langchain_core.messages import AIMessage, HumanMessage
from langchain_core.runnables import RunnableLambda
from langchain_core.tools import tool

from vorm_zel_audit import verify_log
from vorm_zel_audit.agents import AuditTrail
from vorm_zel_audit.agents.langchain import AuditCallbackHandler


@tool
def lookup_order(order: int) -> str:
    """Look an order up."""
    return "order %d: charged twice" % order


model = FakeMessagesListChatModel(responses=[
    AIMessage("", tool_calls=[{"name": "lookup_order", "args": {"order": 7}, "id": "call_1"}]),
    AIMessage("Order 7 was charged twice; I refunded one charge."),
])


def support_agent(question, config, run_manager):
    messages = [HumanMessage(question)]
    while True:
        reply = model.invoke(messages, config)
        messages.append(reply)
        if not reply.tool_calls:
            run_manager.on_agent_finish(AgentFinish({"output": reply.content}, reply.content))
            return reply.content
        for call in reply.tool_calls:
            run_manager.on_agent_action(AgentAction(call["name"], call["args"], "look the order up"))
            messages.append(lookup_order.invoke(call, config))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wal", default="langchain-audit.wal")
    args = parser.parse_args()

    with AuditTrail(args.wal) as trail:
        handler = AuditCallbackHandler(trail, keep_records=True)
        agent = RunnableLambda(support_agent, name="support-agent")
        print("answer:          ", agent.invoke("Why was I charged twice for order 7?", {"callbacks": [handler]}))
        key = trail.public_key_hex()
    report = verify_log(args.wal, key)
    print("records sealed:  ", len(handler.records))
    print("log verified:    ", "yes" if report.passed else "NO", "(%d records)" % report.records)
    print("verify it with:   python -m vorm_zel_audit verify %s --public-key %s" % (args.wal, key))
    return 0 if report.passed else 1


if __name__ == "__main__":
    raise SystemExit(main())
