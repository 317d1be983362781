"""The checks of a run of lines that need no chain state: parsing, the hash
of the seal text, the signature, and whether each record extends the record
before it (or the genesis root). Runs in worker processes.

The result is compact so that the parent, which walks the chains, does little
per line: a record that passes every check and extends the record just
before it is not reported on its own but counted into the *run* of the
record that opens it.
"""
from __future__ import annotations

import blake3
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from . import failures
from .logfile import MalformedRecord, iter_lines, parse_record, read_range, split_line
from .seal import GENESIS_ROOT_HEX, next_root_hex, seal_text

# How a record's merkle_root relates to what comes before it in the file.
LINK_NONE = 0  # extends neither the previous record (in this run of lines) nor genesis
LINK_PREVIOUS = 1  # extends the root of the record just before it
LINK_GENESIS = 2  # starts a chain at the genesis root
LINK_UNKNOWN = 3  # first record of the run of lines: the parent decides

# Event tags.
RECORD = 0
MALFORMED = 1

_keys = {}


def _public_key(key_bytes):
    key = _keys.get(key_bytes)
    if key is None:
        key = _keys[key_bytes] = Ed25519PublicKey.from_public_bytes(key_bytes)
    return key


class ChunkResult(object):
    """What a run of lines held. ``events`` is a list of tuples:

    ``(RECORD, line, offset, id, hash, merkle_root, link, problems,
    run_count, run_last_root, run_last_line)`` for a record that opens a run
    (``problems``: list of ``(kind, detail)``; the ``run_count`` records
    after it, the last on line ``run_last_line`` with root ``run_last_root``,
    passed everything and each extends the one before), and
    ``(MALFORMED, line, offset, detail)``. Line numbers are 0-based within
    the run of lines.
    """

    __slots__ = ("lines", "records", "events", "empty_lines", "shared_lines", "bytes")

    def __init__(self, lines, records, events, empty_lines, shared_lines, nbytes):
        self.lines = lines
        self.records = records
        self.events = events
        self.empty_lines = empty_lines
        self.shared_lines = shared_lines
        self.bytes = nbytes

    def __getstate__(self):
        return (self.lines, self.records, self.events, self.empty_lines, self.shared_lines, self.bytes)

    def __setstate__(self, state):
        (self.lines, self.records, self.events, self.empty_lines, self.shared_lines,
         self.bytes) = state


def check_range(path, start, end, key_bytes):
    """Check the complete lines in bytes ``[start, end)`` of the log at
    ``path``. ``key_bytes`` is the raw 32-byte public key, or None to skip
    signatures (inspection)."""
    return check_bytes(read_range(path, start, end), start, key_bytes)


def check_bytes(data, base_offset, key_bytes):
    key = _public_key(key_bytes) if key_bytes is not None else None
    events = []
    append = events.append
    records = empty_lines = shared_lines = 0
    previous_root = None
    run = None  # the event list of the record that opens the current run
    lines = 0
    for index, offset, line in iter_lines(data, base_offset):
        lines += 1
        if not line:
            empty_lines += 1
            continue
        pieces = split_line(line)
        if len(pieces) > 1:
            shared_lines += 1
        for position, piece in pieces:
            try:
                record = parse_record(piece)
            except MalformedRecord as error:
                append((MALFORMED, index, offset + position, str(error)))
                run = None
                continue
            records += 1
            problems = None
            recorded = bytes.fromhex(record.hash)
            digest = blake3.blake3(seal_text(record.provenance, record.place, record.purpose,
                                             record.prompt, record.coherence,
                                             record.reputation)).digest()
            if digest != recorded:
                problems = [(failures.HASH_MISMATCH,
                             "BLAKE3 of the seal text rebuilt from the line is %s, not the "
                             "recorded hash: a sealed member was changed" % digest.hex())]
            if key is not None:
                try:
                    key.verify(record.signature, recorded)
                except InvalidSignature:
                    problem = (failures.BAD_SIGNATURE,
                               "the signature does not verify over the recorded hash with the public key")
                    if problems is None:
                        problems = [problem]
                    else:
                        problems.append(problem)
            root = record.merkle_root
            if previous_root is not None and next_root_hex(previous_root, record.hash) == root:
                link = LINK_PREVIOUS
            elif next_root_hex(GENESIS_ROOT_HEX, record.hash) == root:
                link = LINK_GENESIS
            elif previous_root is None:
                link = LINK_UNKNOWN
            else:
                link = LINK_NONE
            previous_root = root
            if problems is None and link == LINK_PREVIOUS and run is not None:
                run[8] += 1
                run[9] = root
                run[10] = index
                continue
            run = [RECORD, index, offset + position, record.id, record.hash, root, link,
                   problems, 0, None, None]
            append(run)
    return ChunkResult(lines, records, [tuple(event) for event in events], empty_lines,
                       shared_lines, len(data))
