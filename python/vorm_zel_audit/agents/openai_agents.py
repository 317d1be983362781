"""An OpenAI Agents SDK tracing processor that seals every model call, tool
call, handoff and guardrail when its span ends.

``pip install .[openai-agents]``. Register the processor; ``set_trace_processors``
also replaces the SDK's default exporter, so no trace leaves the process::

    from agents import set_trace_processors
    from vorm_zel_audit.agents import AuditTrail
    from vorm_zel_audit.agents.openai_agents import AuditTracingProcessor

    set_trace_processors([AuditTracingProcessor(AuditTrail("audit.wal"))])

(``add_trace_processor`` keeps the SDK's exporter beside it.)

=========================  ==================================  ==================================  ===========================
span (sealed when it       ``prompt``                          ``output``                          ``provenance``
ends)
=========================  ==================================  ==================================  ===========================
generation                 the input, one ``role: content``    the output text; with tool calls,   ``AGENT/MODEL``
                           line per message, other items as    the JSON ``{"content",
                           JSON                                "tool_calls"}``
response (Responses API)   as for generation                   as for generation, from             ``AGENT/MODEL``
                                                               ``response.output``
function (tool call)       the arguments (JSON text)           the tool's output as text           ``AGENT/tool:NAME``
handoff                    ``handoff from FROM``               the agent handed to                 ``FROM/handoff``
guardrail                  the guardrail's name                ``triggered`` or ``not triggered``  ``AGENT/guardrail:NAME``
=========================  ==================================  ==================================  ===========================

AGENT is the name of the nearest agent span around the sealed one; a span
that failed has ``error: MESSAGE`` as its output when it has none. Every
record's ``ctx`` holds ``framework`` (``"openai-agents"``), ``span_type``,
``trace_id``, ``span_id``, ``parent_id``, ``group_id``, ``workflow`` (the
trace's name), ``started_at``, ``ended_at`` and ``error``, plus ``usage``
and ``model_config`` for model calls and ``mcp_data`` for tools; the
reasoning trace of a model call is its output items. ``place`` is the
trail's (``host/pid``), ``purpose`` is ``run TRACE_ID``, and the review
refers to the span id. Other spans (agent, task, turn, custom, speech) are
followed, not sealed.

The SDK catches what a processor raises and logs it, so a ``LostRecordError``
(policy ``"raise"``) does not stop a run here: choose ``"warn"`` or a
callable when the run must know.
"""
from __future__ import annotations

import dataclasses
import json
import threading
from typing import Any, Dict, Iterable, List, Optional, Tuple

from agents.tracing import TracingProcessor

from .trail import AuditTrail

FRAMEWORK = "openai-agents"
SEALED_SPANS = ("generation", "response", "function", "handoff", "guardrail")


@dataclasses.dataclass(frozen=True)
class _SpanInfo:
    parent: Optional[str]
    agent: Optional[str]


class AuditTracingProcessor(TracingProcessor):
    """Seals Agents SDK spans on an ``AuditTrail`` (see the module's table).

    With ``keep_records=True`` it also keeps every ``SealedRecord`` it made
    in ``records``, in order. ``shutdown`` leaves the trail open: it belongs
    to the caller.
    """

    def __init__(self, trail: AuditTrail, *, keep_records: bool = False) -> None:
        self.trail = trail
        self.keep_records = keep_records
        self.records: List[Any] = []
        self._traces: Dict[str, Tuple[str, Optional[str]]] = {}
        self._spans: Dict[str, _SpanInfo] = {}
        self._lock = threading.Lock()

    def on_trace_start(self, trace: Any) -> None:
        with self._lock:
            self._traces[trace.trace_id] = (trace.name, getattr(trace, "group_id", None))

    def on_trace_end(self, trace: Any) -> None:
        with self._lock:
            self._traces.pop(trace.trace_id, None)

    def on_span_start(self, span: Any) -> None:
        data = span.span_data
        agent = data.name if data.type == "agent" else None
        with self._lock:
            self._spans[span.span_id] = _SpanInfo(span.parent_id, agent)

    def on_span_end(self, span: Any) -> None:
        data = span.span_data
        with self._lock:
            agent = self._agent_of(span.parent_id)
            self._spans.pop(span.span_id, None)
            workflow, group_id = self._traces.get(span.trace_id, (None, None))
        if data.type not in SEALED_SPANS:
            return
        prompt, output, trace, actor, extra = _MAPPERS[data.type](data)
        error = span.error
        if error is not None and output in (None, ""):
            output = "error: %s" % error.get("message", "")
        if data.type == "handoff":
            agent = data.from_agent or agent
        ctx = {"framework": FRAMEWORK, "span_type": data.type, "trace_id": span.trace_id,
               "span_id": span.span_id, "parent_id": span.parent_id, "group_id": group_id,
               "workflow": workflow, "started_at": span.started_at, "ended_at": span.ended_at, "error": error}
        ctx.update(extra)
        record = self.trail.capture(prompt, "" if output is None else output, ctx=ctx, trace=trace,
                                    provenance="%s/%s" % (agent or "agent", actor),
                                    purpose="run %s" % span.trace_id, decision_ref=span.span_id)
        if self.keep_records:
            self.records.append(record)

    def shutdown(self) -> None:
        pass

    def force_flush(self) -> None:
        pass

    def _agent_of(self, span_id: Optional[str]) -> Optional[str]:
        seen = set()
        while span_id is not None and span_id not in seen:
            seen.add(span_id)
            info = self._spans.get(span_id)
            if info is None:
                return None
            if info.agent is not None:
                return info.agent
            span_id = info.parent
        return None


def _generation(data: Any) -> tuple:
    items = list(data.output or [])
    return (_input_text(data.input), _output_of(items), items, data.model or "model",
            {"usage": data.usage, "model_config": data.model_config})


def _response(data: Any) -> tuple:
    response = data.response
    items = [item.model_dump() if hasattr(item, "model_dump") else item
             for item in (getattr(response, "output", None) or [])]
    model = getattr(response, "model", None) or "model"
    return _input_text(data.input), _output_of(items), items, model, {"usage": data.usage}


def _function(data: Any) -> tuple:
    output = data.output
    return (data.input or "", output if output is None or isinstance(output, str) else str(output), None,
            "tool:%s" % data.name, {"mcp_data": data.mcp_data})


def _handoff(data: Any) -> tuple:
    return "handoff from %s" % (data.from_agent or ""), data.to_agent or "", None, "handoff", {}


def _guardrail(data: Any) -> tuple:
    return (data.name, "triggered" if data.triggered else "not triggered", None, "guardrail:%s" % data.name,
            {"triggered": data.triggered})


_MAPPERS = {"generation": _generation, "response": _response, "function": _function, "handoff": _handoff,
            "guardrail": _guardrail}


def _input_text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return "\n".join(_item_line(item) for item in value)


def _item_line(item: Any) -> str:
    if hasattr(item, "model_dump"):
        item = item.model_dump()
    if isinstance(item, dict) and "role" in item:
        return "%s: %s" % (item["role"], _content_text(item.get("content")))
    return json.dumps(item, default=repr)


def _content_text(content: Any) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        return "".join(str(part.get("text", "")) if isinstance(part, dict) else str(part) for part in content)
    return json.dumps(content, default=repr)


def _output_of(items: Iterable[Any]) -> Any:
    """The text of the message items; with tool calls, both as one object."""
    texts, calls = [], []
    for item in items:
        if not isinstance(item, dict):
            continue
        if item.get("type") == "function_call":
            calls.append({"name": item.get("name"), "arguments": item.get("arguments"),
                          "call_id": item.get("call_id")})
        elif item.get("type") == "message" or "role" in item:
            texts.append(_content_text(item.get("content")))
            calls.extend(item.get("tool_calls") or [])  # a Chat Completions message
    text = "\n".join(texts)
    return {"content": text, "tool_calls": calls} if calls else text
