"""Looking into a log without a key: a summary, and one line decoded."""
from __future__ import annotations

import collections
import json
import os

from .chain import ChainWalker
from .linecheck import MALFORMED, check_bytes
from .logfile import FIELDS, MalformedRecord, complete_length, iter_lines, line_boundaries, parse_record, \
    read_range, split_line
from .seal import GENESIS_ROOT_HEX, next_root_hex, payload_digest

# Members that hold JSON text, decoded for display.
JSON_TEXT_MEMBERS = ("ppp_json", "ctx_json", "reasoning_trace_json", "human_delta_chain_json",
                     "core_insight_json")
_TOP = 5


def summarize(path):
    """A dict describing the log: size, lines, records, chains (by their
    links alone: no signature is checked), time span, the most frequent
    provenance, place and purpose values, insights and human reviews."""
    size = os.stat(path).st_size
    complete = complete_length(path, size)
    counts = {name: collections.Counter() for name in ("provenance", "place", "purpose")}
    summary = {"path": os.fspath(path), "file_bytes": size, "lines": 0, "records": 0, "malformed_lines": 0,
               "torn_tail_bytes": size - complete, "first_timestamp": None, "last_timestamp": None,
               "core_insights": 0, "human_reviews": {"resolved": 0, "open": 0, "unreadable": 0},
               "hash_mismatches": 0, "insight_rate": None,
               "reputation": {"first": None, "last": None, "min": None, "max": None}}
    key_path = os.fspath(path) + ".key"
    summary["key_file"] = key_path if os.path.exists(key_path) else None
    problems = []
    walker = ChainWalker(problems.append)
    line_base = 0
    for low, high in line_boundaries(path, 0, complete, 1 << 22):
        data = read_range(path, low, high)
        result = check_bytes(data, low, None)
        for event in result.events:
            if event[0] == MALFORMED:
                summary["malformed_lines"] += 1
                continue
            _, index, offset, record_id, digest, root, link, issues, count, last_root, last_index = event
            if issues:
                summary["hash_mismatches"] += len(issues)
            walker.record(line_base + index + 1, offset, record_id, digest, root, link, True)
            if count:
                walker.run(count, last_root, line_base + last_index + 1)
        for _, _, line in iter_lines(data):
            for _, piece in split_line(line) if line else ():
                try:
                    record = parse_record(piece)
                except MalformedRecord:
                    continue
                members = record.members
                timestamp = members["timestamp"]
                if summary["first_timestamp"] is None or timestamp < summary["first_timestamp"]:
                    summary["first_timestamp"] = timestamp
                if summary["last_timestamp"] is None or timestamp > summary["last_timestamp"]:
                    summary["last_timestamp"] = timestamp
                counts["provenance"][record.provenance] += 1
                counts["place"][record.place] += 1
                counts["purpose"][record.purpose] += 1
                if members["core_insight_json"] is not None:
                    summary["core_insights"] += 1
                reputation = summary["reputation"]
                value = members["reputation_scalar"]
                if reputation["first"] is None:
                    reputation["first"] = reputation["min"] = reputation["max"] = value
                reputation["last"] = value
                reputation["min"] = min(reputation["min"], value)
                reputation["max"] = max(reputation["max"], value)
                try:
                    resolved = json.loads(members["human_delta_chain_json"])["resolved"]
                    summary["human_reviews"]["resolved" if resolved else "open"] += 1
                except (ValueError, KeyError, TypeError):
                    summary["human_reviews"]["unreadable"] += 1
        line_base += result.lines
        summary["records"] += result.records
    summary["lines"] = line_base
    if summary["records"]:
        summary["insight_rate"] = summary["core_insights"] / summary["records"]
    summary["chains"] = [segment.to_dict() for segment in walker.final_segments()]
    summary["chain_breaks"] = len(problems)
    for name, counter in counts.items():
        summary[name] = [{"value": value, "records": number} for value, number in counter.most_common(_TOP)]
        summary["distinct_" + name] = len(counter)
    return summary


def format_summary(summary):
    out = ["log: %s" % summary["path"],
           "size: %d bytes, %d lines, %d records" % (summary["file_bytes"], summary["lines"], summary["records"])]
    if summary["malformed_lines"]:
        out.append("malformed lines: %d" % summary["malformed_lines"])
    if summary["torn_tail_bytes"]:
        out.append("torn tail: %d bytes after the last line feed" % summary["torn_tail_bytes"])
    if summary["first_timestamp"]:
        out.append("time span: %s .. %s" % (summary["first_timestamp"], summary["last_timestamp"]))
    out.append("chains: %d (by their links; signatures not checked)" % len(summary["chains"]))
    for number, chain in enumerate(summary["chains"], 1):
        out.append("  chain %d: %d records, lines %d-%d, %s, last merkle_root %s" % (
            number, chain["records"], chain["first_line"], chain["last_line"],
            "from genesis" if chain["start"] == "genesis" else "after a break", chain["last_merkle_root"]))
    if summary["chain_breaks"]:
        out.append("chain breaks: %d" % summary["chain_breaks"])
    if summary["hash_mismatches"]:
        out.append("hashes that do not match their seal text: %d" % summary["hash_mismatches"])
    for name in ("provenance", "place", "purpose"):
        top = ", ".join("%s (%d)" % (json.dumps(item["value"], ensure_ascii=False), item["records"])
                        for item in summary[name])
        out.append("%s: %d distinct; %s" % (name, summary["distinct_" + name], top))
    reviews = summary["human_reviews"]
    if summary["insight_rate"] is not None:
        out.append("core insights: %d (%.1f%% of records)" % (summary["core_insights"],
                                                               100.0 * summary["insight_rate"]))
        reputation = summary["reputation"]
        out.append("reputation (in file order): first %r, last %r, min %r, max %r" % (
            reputation["first"], reputation["last"], reputation["min"], reputation["max"]))
    out.append("human reviews resolved: %d, open: %d" % (reviews["resolved"], reviews["open"]))
    if summary["key_file"]:
        out.append("key file: %s (verify against a public key kept elsewhere)" % summary["key_file"])
    return "\n".join(out)


class NoSuchLine(LookupError):
    pass


def line_view(path, number):
    """Line ``number`` (1-based) as a dict: its offset, each record on it
    with the JSON-text members decoded, the signature in hex and what the
    line shows without a key (does the hash match the seal text, does the
    root start a chain at genesis or extend the record before)."""
    if number < 1:
        raise NoSuchLine("line numbers start at 1")
    previous_root = None
    offset = 0
    with open(path, "rb") as handle:
        for index, raw in enumerate(handle, 1):
            if index == number:
                return _describe(raw, offset, number, previous_root)
            offset += len(raw)
            root = _last_root(raw)
            if root is not None:
                previous_root = root
    raise NoSuchLine("the log has no line %d" % number)


def _last_root(raw):
    root = None
    for _, piece in split_line(raw.rstrip(b"\n")):
        try:
            root = parse_record(piece).merkle_root
        except MalformedRecord:
            pass
    return root


def _describe(raw, offset, number, previous_root):
    view = {"line": number, "offset": offset, "bytes": len(raw), "complete": raw.endswith(b"\n"),
            "records": []}
    for position, piece in split_line(raw.rstrip(b"\n")):
        entry = {"offset": offset + position}
        try:
            record = parse_record(piece)
        except MalformedRecord as error:
            entry["malformed"] = str(error)
            entry["text"] = piece.decode("utf-8", "replace")
            view["records"].append(entry)
            continue
        members = collections.OrderedDict()
        for name in FIELDS:
            value = record.members[name]
            if name == "signature":
                value = value.hex()
            elif name in JSON_TEXT_MEMBERS and value is not None:
                try:
                    value = json.loads(value)
                except ValueError:
                    pass  # shown as the text it is
            members[name] = value
        digest = payload_digest(record.provenance, record.place, record.purpose, record.prompt,
                                record.coherence, record.reputation).hex()
        entry["record"] = members
        entry["hash_matches_seal_text"] = digest == record.hash
        if next_root_hex(GENESIS_ROOT_HEX, record.hash) == record.merkle_root:
            entry["chain"] = "starts a chain at the genesis root"
        elif previous_root is not None and next_root_hex(previous_root, record.hash) == record.merkle_root:
            entry["chain"] = "extends the record before it"
        else:
            entry["chain"] = "extends another chain (or none): see verify"
        previous_root = record.merkle_root
        view["records"].append(entry)
    return view


def format_line_view(view):
    return json.dumps(view, indent=2, ensure_ascii=False)
