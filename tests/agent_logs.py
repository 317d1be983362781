"""Helpers for the agent-adapter tests: read a trail's log back and check it."""
import json

from vorm_zel_audit import verify_log


def verified_records(trail):
    """The log's records, after vorm_zel_audit passed the whole log as one chain."""
    report = verify_log(trail.wal_path, trail.public_key_hex(), max_failures=None)
    assert report.passed, [str(failure) for failure in report.failures]
    assert len(report.segments) == 1 and report.segments[0].records == report.records
    with open(trail.wal_path, encoding="utf-8") as handle:
        lines = [json.loads(line) for line in handle]
    for line in lines:
        line["ppp"] = json.loads(line["ppp_json"])
        line["ctx"] = json.loads(line["ctx_json"])
        line["trace"] = json.loads(line["reasoning_trace_json"])
        line["review"] = json.loads(line["human_delta_chain_json"])
    return lines
