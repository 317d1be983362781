"""LangChain callback handlers that seal every model call, tool call and agent step.

``pip install .[langchain]`` (``langchain-core``). Pass a handler in a run's
config, and every event below becomes one record on the trail::

    from vorm_zel_audit.agents import AuditTrail
    from vorm_zel_audit.agents.langchain import AuditCallbackHandler

    trail = AuditTrail("audit.wal")
    agent.invoke(question, config={"callbacks": [AuditCallbackHandler(trail)]})

``AsyncAuditCallbackHandler`` does the same from ``ainvoke`` and friends,
sealing through ``AuditTrail.acapture``.

===============================  ===========================================  ==========================================
event (sealed when it ends)      ``prompt``                                    ``output``
===============================  ===========================================  ==========================================
chat model or LLM call           the messages, one ``type: content`` line       the generated text; with tool calls, the
(``on_llm_end``)                 each (LLM: the prompt texts)                   JSON ``{"content", "tool_calls"}``
tool call (``on_tool_end``)      the tool's inputs as JSON (else its input     the tool's output (a ``ToolMessage``'s
                                 text)                                         content)
agent action                     the action's ``log``                          JSON ``{"tool", "tool_input"}``
(``on_agent_action``)
agent finish                     the finish's ``log``                          its ``return_values`` (JSON)
(``on_agent_finish``)
model or tool error              as for the call                               ``error: <type>: <message>``
(``on_llm_error``,
``on_tool_error``)
===============================  ===========================================  ==========================================

Every record's ``ctx`` holds ``framework`` (``"langchain"``), ``event``, the
LangChain ``run_id``, ``parent_run_id`` and ``root_run_id`` and ``tags``,
plus ``invocation_params``, ``metadata`` and ``llm_output`` (token usage)
for model calls and ``tool``, ``tool_call_id``, ``inputs``, ``metadata`` and
``status`` for tools. The
reasoning trace of a model call lists each generation's tool calls, usage
and response metadata. The triplet: ``provenance`` is ``AGENT/MODEL`` for
model calls, ``AGENT/tool:NAME`` for tools and agent actions and
``AGENT/finish`` for an agent's finish, where AGENT
is the handler's ``agent_name`` or else the name of the run's root (the
agent or chain invoked) and MODEL the model's ``ls_model_name``, ``model``
parameter or class name; ``place`` is the trail's (``host/pid``);
``purpose`` is ``run ROOT_RUN_ID``. The review refers to the event's own
``run_id``.

Chain runs are followed (for the root's name and id) but not sealed. The
handler sets ``raise_error``, so a ``LostRecordError`` (policy ``"raise"``)
stops the run instead of being logged by LangChain's callback manager.
"""
from __future__ import annotations

import dataclasses
import json
import threading
from typing import Any, Callable, Dict, List, Optional

from langchain_core.callbacks import AsyncCallbackHandler, BaseCallbackHandler

from .trail import AuditTrail

FRAMEWORK = "langchain"


@dataclasses.dataclass(frozen=True)
class _Run:
    parent: Any
    name: str
    prompt: str
    details: Dict[str, Any]


class _Events:
    """Follows runs and turns their ends into ``AuditTrail.capture`` fields."""

    def __init__(self, trail: AuditTrail, agent_name: Optional[str]) -> None:
        self.trail = trail
        self.agent_name = agent_name
        self._runs: Dict[Any, _Run] = {}
        self._lock = threading.Lock()

    # -- starts: remember what the end will need --------------------------

    def chain_start(self, serialized: Any, inputs: Any, *, run_id: Any, parent_run_id: Any = None,
                    **kwargs: Any) -> None:
        self._start(run_id, parent_run_id, _name(serialized, kwargs, "chain"), "", {})

    def chat_model_start(self, serialized: Any, messages: List[List[Any]], *, run_id: Any,
                         parent_run_id: Any = None, **kwargs: Any) -> None:
        prompt = "\n\n".join("\n".join(_message_line(m) for m in batch) for batch in messages)
        self._start(run_id, parent_run_id, _model_name(serialized, kwargs), prompt, _model_details(kwargs))

    def llm_start(self, serialized: Any, prompts: List[str], *, run_id: Any, parent_run_id: Any = None,
                  **kwargs: Any) -> None:
        self._start(run_id, parent_run_id, _model_name(serialized, kwargs), "\n\n".join(prompts),
                    _model_details(kwargs))

    def tool_start(self, serialized: Any, input_str: str, *, run_id: Any, parent_run_id: Any = None,
                   inputs: Any = None, **kwargs: Any) -> None:
        name = _name(serialized, kwargs, "tool")
        details = {"tool": name, "tool_call_id": kwargs.get("tool_call_id"), "inputs": inputs,
                   "tags": kwargs.get("tags"), "metadata": kwargs.get("metadata")}
        prompt = input_str if inputs is None else json.dumps(self.trail.converter(inputs))
        self._start(run_id, parent_run_id, "tool:" + name, prompt, details)

    def other_start(self, *args: Any, run_id: Any, parent_run_id: Any = None, **kwargs: Any) -> None:
        self._start(run_id, parent_run_id, _name(args[0] if args else None, kwargs, "run"), "", {})

    def other_end(self, *args: Any, run_id: Any, **kwargs: Any) -> None:
        with self._lock:
            self._runs.pop(run_id, None)

    # -- ends: one capture each -------------------------------------------

    def llm_end(self, response: Any, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        run = self._end(run_id)
        generations = [g for batch in response.generations for g in batch]
        texts, calls, trace = [], [], []
        for generation in generations:
            message = getattr(generation, "message", None)
            texts.append(generation.text)
            tool_calls = list(getattr(message, "tool_calls", None) or [])
            calls.extend(tool_calls)
            trace.append({"tool_calls": tool_calls, "generation_info": generation.generation_info,
                          "usage_metadata": getattr(message, "usage_metadata", None),
                          "response_metadata": getattr(message, "response_metadata", None)})
        text = "\n".join(texts)
        output: Any = {"content": text, "tool_calls": calls} if calls else text
        extra = dict(run.details, llm_output=response.llm_output)
        return self._fields("llm_end", run_id, run, run.prompt, output, trace, extra, run.name, kwargs)

    def llm_error(self, error: BaseException, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        return self._error("llm_error", error, run_id, kwargs)

    def _error(self, event: str, error: BaseException, run_id: Any, kwargs: Dict[str, Any]) -> Dict[str, Any]:
        run = self._end(run_id)
        return self._fields(event, run_id, run, run.prompt, _error_text(error), None, run.details, run.name, kwargs)

    def tool_end(self, output: Any, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        run = self._end(run_id)
        status = getattr(output, "status", None)
        content = getattr(output, "content", output) if hasattr(output, "tool_call_id") else output
        extra = dict(run.details, status=status)
        return self._fields("tool_end", run_id, run, run.prompt, content, None, extra, run.name, kwargs)

    def tool_error(self, error: BaseException, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        return self._error("tool_error", error, run_id, kwargs)

    def agent_action(self, action: Any, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        run = self._lookup(run_id)
        output = {"tool": action.tool, "tool_input": action.tool_input}
        return self._fields("agent_action", run_id, run, action.log, output, None, {"tool": action.tool},
                            "tool:" + str(action.tool), kwargs)

    def agent_finish(self, finish: Any, *, run_id: Any, **kwargs: Any) -> Dict[str, Any]:
        run = self._lookup(run_id)
        return self._fields("agent_finish", run_id, run, finish.log, finish.return_values, None, {},
                            "finish", kwargs)

    # -- internals ---------------------------------------------------------

    def _start(self, run_id: Any, parent: Any, name: str, prompt: str, details: Dict[str, Any]) -> None:
        with self._lock:
            self._runs[run_id] = _Run(parent, name, prompt, details)

    def _end(self, run_id: Any) -> _Run:
        with self._lock:
            run = self._runs.pop(run_id, None)
        return run if run is not None else _Run(None, "unknown", "", {})

    def _lookup(self, run_id: Any) -> _Run:
        with self._lock:
            run = self._runs.get(run_id)
        return run if run is not None else _Run(None, "unknown", "", {})

    def _root(self, run_id: Any, run: _Run) -> tuple:
        """The outermost run this handler saw above ``run``: (id, name)."""
        root_id, root = run_id, run
        with self._lock:
            seen = {run_id}
            while root.parent is not None and root.parent not in seen:
                parent = self._runs.get(root.parent)
                if parent is None:
                    return root.parent, root.name  # started before the handler saw it
                seen.add(root.parent)
                root_id, root = root.parent, parent
        return root_id, root.name

    def _fields(self, event: str, run_id: Any, run: _Run, prompt: str, output: Any, trace: Any,
                extra: Dict[str, Any], actor: str, kwargs: Dict[str, Any]) -> Dict[str, Any]:
        root_id, root_name = self._root(run_id, run)
        parent = kwargs.get("parent_run_id", run.parent)
        ctx = {"framework": FRAMEWORK, "event": event, "run_id": run_id, "parent_run_id": parent,
               "root_run_id": root_id, "tags": kwargs.get("tags")}
        ctx.update(extra)
        agent = self.agent_name or root_name
        return {"prompt": prompt, "output": output, "ctx": ctx, "trace": trace,
                "provenance": "%s/%s" % (agent, actor), "purpose": "run %s" % root_id,
                "decision_ref": str(run_id)}


def _name(serialized: Any, kwargs: Dict[str, Any], fallback: str) -> str:
    name = kwargs.get("name")
    if not name and isinstance(serialized, dict):
        name = serialized.get("name") or (serialized.get("id") or [None])[-1]
    return str(name or fallback)


def _model_name(serialized: Any, kwargs: Dict[str, Any]) -> str:
    metadata = kwargs.get("metadata") or {}
    params = kwargs.get("invocation_params") or {}
    name = metadata.get("ls_model_name") or params.get("model") or params.get("model_name")
    return str(name or _name(serialized, kwargs, "model"))


def _model_details(kwargs: Dict[str, Any]) -> Dict[str, Any]:
    return {"invocation_params": kwargs.get("invocation_params"), "metadata": kwargs.get("metadata")}


def _message_line(message: Any) -> str:
    content = message.content if isinstance(message.content, str) else json.dumps(message.content, default=repr)
    line = "%s: %s" % (message.type, content)
    tool_calls = getattr(message, "tool_calls", None)
    if tool_calls:
        line += " tool_calls=" + json.dumps(tool_calls, default=repr)
    return line


def _error_text(error: BaseException) -> str:
    return "error: %s: %s" % (type(error).__name__, error)


# Each callback of a handler: the _Events method it feeds, and whether its
# result is a capture.
_CALLBACKS: Dict[str, tuple] = {
    "on_chain_start": ("chain_start", False),
    "on_chain_end": ("other_end", False),
    "on_chain_error": ("other_end", False),
    "on_chat_model_start": ("chat_model_start", False),
    "on_llm_start": ("llm_start", False),
    "on_llm_end": ("llm_end", True),
    "on_llm_error": ("llm_error", True),
    "on_tool_start": ("tool_start", False),
    "on_tool_end": ("tool_end", True),
    "on_tool_error": ("tool_error", True),
    "on_retriever_start": ("other_start", False),
    "on_retriever_end": ("other_end", False),
    "on_retriever_error": ("other_end", False),
    "on_agent_action": ("agent_action", True),
    "on_agent_finish": ("agent_finish", True),
}


def _sync_callback(event: str, seals: bool) -> Callable[..., Any]:
    def callback(self: "AuditCallbackHandler", *args: Any, **kwargs: Any) -> Any:
        fields = getattr(self.events, event)(*args, **kwargs)
        if seals:
            record = self.events.trail.capture(**fields)
            if self.keep_records:
                self.records.append(record)
    return callback


def _async_callback(event: str, seals: bool) -> Callable[..., Any]:
    async def callback(self: "AsyncAuditCallbackHandler", *args: Any, **kwargs: Any) -> Any:
        fields = getattr(self.events, event)(*args, **kwargs)
        if seals:
            record = await self.events.trail.acapture(**fields)
            if self.keep_records:
                self.records.append(record)
    return callback


class AuditCallbackHandler(BaseCallbackHandler):
    """Seals LangChain events on an ``AuditTrail`` (see the module's table).

    ``agent_name`` replaces the root run's name in ``provenance``. With
    ``keep_records=True`` the handler also keeps every ``SealedRecord`` it
    made in ``records``, in order.
    """

    raise_error = True
    run_inline = True

    def __init__(self, trail: AuditTrail, *, agent_name: Optional[str] = None, keep_records: bool = False) -> None:
        super().__init__()
        self.events = _Events(trail, agent_name)
        self.keep_records = keep_records
        self.records: List[Any] = []


class AsyncAuditCallbackHandler(AsyncCallbackHandler):
    """``AuditCallbackHandler`` for async runs: seals with ``acapture``."""

    raise_error = True
    run_inline = True

    def __init__(self, trail: AuditTrail, *, agent_name: Optional[str] = None, keep_records: bool = False) -> None:
        super().__init__()
        self.events = _Events(trail, agent_name)
        self.keep_records = keep_records
        self.records: List[Any] = []


for _callback, (_event, _seals) in _CALLBACKS.items():
    setattr(AuditCallbackHandler, _callback, _sync_callback(_event, _seals))
    setattr(AsyncAuditCallbackHandler, _callback, _async_callback(_event, _seals))
