"""Seal an agent's decisions where it already runs.

``AuditTrail`` is a thread-safe façade over one ``vorm_zel.ZELEngine``; the
adapters turn a framework's events into captures on a trail:

- ``vorm_zel_audit.agents.langchain``: ``AuditCallbackHandler`` and
  ``AsyncAuditCallbackHandler`` for LangChain (``pip install .[langchain]``);
- ``vorm_zel_audit.agents.openai_agents``: ``AuditTracingProcessor`` for the
  OpenAI Agents SDK (``pip install .[openai-agents]``);
- ``vorm_zel_audit.agents.opentelemetry``: ``AuditSpanProcessor`` for spans
  with the GenAI semantic-convention attributes (``pip install .[opentelemetry]``).

Importing this package loads neither ``vorm_zel`` nor any framework: the
module is imported when a trail is made, a framework when its adapter is.
"""
from __future__ import annotations

import importlib
from typing import Any

from .convert import JsonConverter, to_jsonable
from .lost_records import LostRecord, LostRecordError, LostRecordWarning
from .trail import NOT_REVIEWED, AuditTrail

_ADAPTERS = {
    "AuditCallbackHandler": "langchain",
    "AsyncAuditCallbackHandler": "langchain",
    "AuditTracingProcessor": "openai_agents",
    "AuditSpanProcessor": "opentelemetry",
}

__all__ = ["AuditTrail", "JsonConverter", "to_jsonable", "LostRecord", "LostRecordError", "LostRecordWarning",
           "NOT_REVIEWED", *_ADAPTERS]


def __getattr__(name: str) -> Any:
    """The adapters, imported (with their framework) on first use."""
    if name in _ADAPTERS:
        module = importlib.import_module("%s.%s" % (__name__, _ADAPTERS[name]))
        return getattr(module, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
