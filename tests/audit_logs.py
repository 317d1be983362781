"""Helpers for the vorm_zel_audit tests: logs written by the real module,
and line-level edits of them."""
import json
import os

import vorm_zel

from vorm_zel_audit.record import FIELDS


def seal(path, count, start=0, provenance="triage-agent/v3", engine=None):
    """Append ``count`` records to the log at ``path`` with one engine (a new
    one unless given); returns the engine."""
    engine = engine or vorm_zel.ZELEngine(str(path))
    for number in range(start, start + count):
        capture(engine, number, provenance)
    return engine


def capture(engine, number, provenance="triage-agent/v3"):
    triplet = vorm_zel.PPPTriplet(provenance, "eu-west-1/worker-%d" % (number % 3), "resolve ticket")
    review = vorm_zel.HumanDeltaChain("ticket-%d" % number, number % 2 == 0, "supervisor")
    return engine.capture({"ticket": number, "note": "caf\u00e9 \"quoted\"\n"},
                          "Ticket %d: the printer is on fire \u2603" % number,
                          [{"step": "classify", "n": number}], "Decision %d" % number, triplet, review)


def read_lines(path):
    with open(str(path), "rb") as handle:
        return handle.read().split(b"\n")[:-1]


def write_lines(path, lines, tail=b""):
    with open(str(path), "wb") as handle:
        handle.write(b"".join(line + b"\n" for line in lines) + tail)


def offsets(lines):
    """Byte offset of each line."""
    result, position = [], 0
    for line in lines:
        result.append(position)
        position += len(line) + 1
    return result


def decode(line):
    return json.loads(line.decode("utf-8"), object_pairs_hook=list)


def encode(pairs):
    """A line in the module's compact layout (the verifier does not require
    byte-exact layout, only the members in order)."""
    return json.dumps(dict(pairs), separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def edit(line, **changes):
    """The line with some members replaced (values may be callables of the
    old value)."""
    pairs = decode(line)
    out = []
    for name, value in pairs:
        if name in changes:
            change = changes[name]
            value = change(value) if callable(change) else change
        out.append((name, value))
    assert [name for name, _ in out] == list(FIELDS)
    return encode(out)


def public_key_of(path):
    return vorm_zel.ZELEngine(str(path)).public_key_hex()


def kinds(report):
    """(kind, line) of every reported failure, in order."""
    return [(failure.kind, failure.line) for failure in report.failures]


def lines_count(path):
    return len(read_lines(path))


def other_key_line(tmp_path, number, previous_root_hex=None):
    """A record sealed by another engine (another key); when
    ``previous_root_hex`` is given its merkle_root is recomputed to extend
    that root, as a forger who knows the (unkeyed) chain step would."""
    from vorm_zel_audit.seal import next_root_hex

    other = os.path.join(str(tmp_path), "other-%d.wal" % number)
    capture(vorm_zel.ZELEngine(other), number)
    line = read_lines(other)[0]
    if previous_root_hex is not None:
        digest = dict(decode(line))["hash"]
        line = edit(line, merkle_root=next_root_hex(previous_root_hex, digest))
    return line
