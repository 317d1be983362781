"""An OpenTelemetry span processor that seals every span carrying GenAI
semantic-convention attributes, so any OTel-instrumented agent is covered.

``pip install .[opentelemetry]`` (``opentelemetry-sdk``)::

    from opentelemetry.sdk.trace import TracerProvider
    from vorm_zel_audit.agents import AuditTrail
    from vorm_zel_audit.agents.opentelemetry import AuditSpanProcessor

    provider = TracerProvider()
    provider.add_span_processor(AuditSpanProcessor(AuditTrail("audit.wal")))

A span is sealed when it ends if any of its attributes starts with
``gen_ai.``; other spans pass by. The first attribute (or span event) of each
list that the span has supplies the field:

================  ==========================================================================
field             taken from
================  ==========================================================================
``prompt``        ``gen_ai.input.messages``; ``gen_ai.prompt``; ``gen_ai.prompt.N.role`` and
                  ``.content`` (one ``role: content`` line each); the ``gen_ai.prompt`` of a
                  ``gen_ai.content.prompt`` event; ``gen_ai.tool.call.arguments``;
                  ``gen_ai.retrieval.query.text``; else empty
``output``        ``gen_ai.output.messages``; ``gen_ai.completion``; ``gen_ai.completion.N.*``;
                  the ``gen_ai.completion`` of a ``gen_ai.content.completion`` event;
                  ``gen_ai.tool.call.result``; else empty
reasoning trace   the span's other events, each ``{"name", "attributes"}``
``ctx``           ``framework`` (``"opentelemetry"``), ``span_name``, ``trace_id``,
                  ``span_id``, ``parent_span_id`` (hex), ``kind``, ``status``,
                  ``description``, ``start_time``, ``end_time`` (ns), ``service``,
                  ``scope`` and every attribute not used above, under ``attributes``
``provenance``    ``AGENT/tool:NAME`` with ``gen_ai.tool.name``, else ``AGENT/MODEL``;
                  AGENT is the ``gen_ai.agent.name`` of the span or of the nearest span
                  around it that has one, else the resource's ``service.name``;
                  MODEL ``gen_ai.response.model``, ``gen_ai.request.model``,
                  ``gen_ai.operation.name`` or the span's name
``place``         the resource's ``host.name/process.pid`` when it has both, else
                  the trail's (``host/pid``)
``purpose``       ``run TRACE_ID`` (32 hex digits)
review            refers to the span id
================  ==========================================================================

Text attributes are taken as they are (``gen_ai.input.messages`` is JSON
text in the conventions); others are stored as JSON. ``on_end`` runs on the
thread that ends the span, and what it raises (a ``LostRecordError`` under
policy ``"raise"``) comes out of ``span.end()``.
"""
from __future__ import annotations

import json
import threading
from typing import Any, Dict, List, Optional, Set, Tuple

from opentelemetry.sdk.trace import ReadableSpan, SpanProcessor

from .trail import AuditTrail

FRAMEWORK = "opentelemetry"
GEN_AI_PREFIX = "gen_ai."

_PROMPT_ATTRIBUTES = ("gen_ai.input.messages", "gen_ai.prompt")
_PROMPT_LATE = ("gen_ai.tool.call.arguments", "gen_ai.retrieval.query.text")
_OUTPUT_ATTRIBUTES = ("gen_ai.output.messages", "gen_ai.completion")
_OUTPUT_LATE = ("gen_ai.tool.call.result",)


class AuditSpanProcessor(SpanProcessor):
    """Seals GenAI spans on an ``AuditTrail`` (see the module's table).

    With ``keep_records=True`` it also keeps every ``SealedRecord`` it made
    in ``records``, in order. ``shutdown`` leaves the trail open: it belongs
    to the caller.
    """

    def __init__(self, trail: AuditTrail, *, keep_records: bool = False) -> None:
        self.trail = trail
        self.keep_records = keep_records
        self.records: List[Any] = []
        self._spans: Dict[int, Tuple[Optional[int], Optional[str]]] = {}
        self._lock = threading.Lock()

    def on_start(self, span: Any, parent_context: Any = None) -> None:
        parent = span.parent.span_id if span.parent is not None else None
        with self._lock:
            self._spans[span.context.span_id] = (parent, (span.attributes or {}).get("gen_ai.agent.name"))

    def on_end(self, span: ReadableSpan) -> None:
        context = span.get_span_context()
        if context is None:  # the SDK gives every recorded span one
            return
        attributes = dict(span.attributes or {})
        with self._lock:
            self._spans.pop(context.span_id, None)
            agent = attributes.get("gen_ai.agent.name") or self._agent_of(span.parent)
        if not any(key.startswith(GEN_AI_PREFIX) for key in attributes):
            return
        used: Set[str] = set()
        used_events: Set[int] = set()
        events = list(span.events or ())
        prompt = _first(attributes, events, _PROMPT_ATTRIBUTES, "gen_ai.prompt", "gen_ai.content.prompt",
                        _PROMPT_LATE, used, used_events)
        output = _first(attributes, events, _OUTPUT_ATTRIBUTES, "gen_ai.completion", "gen_ai.content.completion",
                        _OUTPUT_LATE, used, used_events)
        resource = dict(span.resource.attributes) if span.resource is not None else {}
        trace_id = "%032x" % context.trace_id
        span_id = "%016x" % context.span_id
        ctx = {"framework": FRAMEWORK, "span_name": span.name, "trace_id": trace_id, "span_id": span_id,
               "parent_span_id": "%016x" % span.parent.span_id if span.parent is not None else None,
               "kind": span.kind.name, "status": span.status.status_code.name,
               "description": span.status.description, "start_time": span.start_time, "end_time": span.end_time,
               "service": resource.get("service.name"),
               "scope": span.instrumentation_scope.name if span.instrumentation_scope is not None else None,
               "attributes": {key: value for key, value in attributes.items() if key not in used}}
        trace = [{"name": event.name, "attributes": dict(event.attributes or {})}
                 for index, event in enumerate(events) if index not in used_events]
        record = self.trail.capture(prompt, output, ctx=ctx, trace=trace,
                                    provenance=_provenance(span, attributes, agent or resource.get("service.name")),
                                    place=_place(resource),
                                    purpose="run %s" % trace_id, decision_ref=span_id)
        if self.keep_records:
            self.records.append(record)

    def shutdown(self) -> None:
        pass

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        return True

    def _agent_of(self, parent: Any) -> Optional[str]:
        """The agent name of the nearest open span above, if any has one."""
        span_id = parent.span_id if parent is not None else None
        seen = set()
        while span_id is not None and span_id not in seen:
            seen.add(span_id)
            entry = self._spans.get(span_id)
            if entry is None:
                return None
            if entry[1]:
                return str(entry[1])
            span_id = entry[0]
        return None


def _first(attributes: Dict[str, Any], events: List[Any], names: Tuple[str, ...], indexed: str,
           event_name: str, late: Tuple[str, ...], used: Set[str], used_events: Set[int]) -> str:
    for name in names:
        if name in attributes:
            used.add(name)
            return _text(attributes[name])
    lines = _indexed_lines(attributes, indexed, used)
    if lines:
        return lines
    for index, event in enumerate(events):
        event_attributes = event.attributes or {}
        if event.name == event_name and indexed in event_attributes:
            used_events.add(index)
            return _text(event_attributes[indexed])
    for name in late:
        if name in attributes:
            used.add(name)
            return _text(attributes[name])
    return ""


def _indexed_lines(attributes: Dict[str, Any], prefix: str, used: Set[str]) -> str:
    """``PREFIX.N.role`` / ``PREFIX.N.content`` pairs as ``role: content`` lines, by N."""
    entries: Dict[int, Dict[str, Any]] = {}
    for key, value in attributes.items():
        parts = key[len(prefix) + 1:].split(".", 1) if key.startswith(prefix + ".") else []
        if len(parts) == 2 and parts[0].isdigit() and parts[1] in ("role", "content"):
            entries.setdefault(int(parts[0]), {})[parts[1]] = value
            used.add(key)
    return "\n".join("%s: %s" % (entry.get("role", ""), _text(entry.get("content", "")))
                     for _, entry in sorted(entries.items()))


def _text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(list(value) if isinstance(value, tuple) else value)


def _provenance(span: ReadableSpan, attributes: Dict[str, Any], agent: Any) -> str:
    agent = agent or "agent"
    tool = attributes.get("gen_ai.tool.name")
    if tool:
        return "%s/tool:%s" % (agent, tool)
    model = (attributes.get("gen_ai.response.model") or attributes.get("gen_ai.request.model")
             or attributes.get("gen_ai.operation.name") or span.name)
    return "%s/%s" % (agent, model)


def _place(resource: Dict[str, Any]) -> Optional[str]:
    host, pid = resource.get("host.name"), resource.get("process.pid")
    return "%s/%s" % (host, pid) if host and pid is not None else None
