"""The checks of a span of lines that need no chain state: parsing, the hash
of the seal text, the signature, and whether each record extends the record
before it (or the genesis root). Runs in worker processes and in-process
alike.

Whatever goes wrong while one line is checked (a MalformedRecord, or any
other exception a hostile line provokes) becomes a ``MalformedEvent`` for that
line, and the next line is checked: ``check_bytes`` is the one place that
turns an exception into a line's failure.

The result is compact so that the parent, which walks the chains, does little
per line: a record that passes every check and extends the record just
before it is not reported on its own but counted into the *run* of the
record that opens it.
"""
from __future__ import annotations

from typing import Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import blake3
from nacl.bindings import crypto_sign_open
from nacl.exceptions import BadSignatureError

from . import failures
from .log_source import LogSource
from .logfile import Span, iter_lines, read_path_span
from .record import MalformedRecord, Record, parse_record, split_line
from .regular_file import PathLike
from .seal import GENESIS_ROOT_HEX, seal_number

# How a record's merkle_root relates to what comes before it in the file.
LINK_NONE = 0  # extends neither the previous record (in this span) nor genesis
LINK_PREVIOUS = 1  # extends the root of the record just before it
LINK_GENESIS = 2  # starts a chain at the genesis root
LINK_UNKNOWN = 3  # first record of the span: the parent decides

Problems = Optional[Tuple[Tuple[str, str], ...]]


class RecordEvent(NamedTuple):
    """A record that opens a run. ``line`` is 0-based within the span;
    ``problems`` lists ``(kind, detail)``; the ``run_count`` records after it
    (the last on ``run_last_line`` with root ``run_last_root``) passed every
    check and each extends the one before."""

    line: int
    offset: int
    id: str
    hash: str
    root: str
    link: int
    problems: Problems
    run_count: int = 0
    run_last_root: Optional[str] = None
    run_last_line: Optional[int] = None


class MalformedEvent(NamedTuple):
    line: int
    offset: int
    detail: str


Event = Union[RecordEvent, MalformedEvent]


class SpanResult(NamedTuple):
    """What a span of lines held."""

    lines: int
    records: int
    events: List[Event]
    empty_lines: int
    shared_lines: int
    bytes: int


# Scores repeat from line to line; their seal forms are kept. Zero is left
# out: 0.0 and -0.0 are one key but have two forms.
_SEAL_NUMBERS: Dict[float, str] = {}
_SEAL_NUMBERS_SIZE = 4096


def _seal_number(value: float) -> str:
    text = _SEAL_NUMBERS.get(value) if value else None
    if text is None:
        text = seal_number(value)
        if value:
            if len(_SEAL_NUMBERS) >= _SEAL_NUMBERS_SIZE:
                _SEAL_NUMBERS.clear()
            _SEAL_NUMBERS[value] = text
    return text


def _next_root(previous_root: str, digest: str) -> str:
    """The chain step (``seal.next_root_hex``) for two roots that parsing has
    already shown to be 64 hex digits."""
    return blake3.blake3(b'Hash("' + previous_root.encode("ascii") + b'")Hash("' + digest.encode("ascii")
                         + b'")').hexdigest()


def unexpected(error: BaseException) -> str:
    """The detail for a line whose check raised something unforeseen."""
    text = str(error)
    if len(text) > 200:
        text = text[:200] + "..."
    return "the line could not be checked (%s%s)" % (type(error).__name__, ": " + text if text else "")


def check_span(path: PathLike, span: Span, key_bytes: Optional[bytes]) -> SpanResult:
    """Check the complete lines of ``span`` of the log at ``path``.
    ``key_bytes`` is the raw 32-byte public key, or None to skip signatures
    (inspection)."""
    return check_bytes(read_path_span(path, span), span.start, key_bytes)


def check_source_span(source: LogSource, span: Span, key_bytes: Optional[bytes]) -> SpanResult:
    """``check_span`` for a log at a path or an fsspec URL: the span is read
    where this runs (a worker process, or a Dask worker)."""
    return check_bytes(source.read(span), span.start, key_bytes)


def _check(record: Record, key: Optional[bytes]) -> Problems:
    """The hash and signature problems of one record. The signature is
    checked with libsodium (PyNaCl), the library the module signs with: it
    refuses a non-canonical S, and an R or a key of small order."""
    problems: Problems = None
    recorded = bytes.fromhex(record.hash)
    digest = blake3.blake3((record.provenance + record.place + record.purpose + record.prompt
                            + _seal_number(record.coherence) + _seal_number(record.reputation)
                            ).encode("utf-8")).digest()
    if digest != recorded:
        problems = ((failures.HASH_MISMATCH,
                     "BLAKE3 of the seal text rebuilt from the line is %s, not the recorded hash: a sealed "
                     "member was changed" % digest.hex()),)
    if key is not None:
        try:
            crypto_sign_open(record.signature + recorded, key)
        except BadSignatureError:
            problem = (failures.BAD_SIGNATURE,
                       "the signature does not verify over the recorded hash with the public key")
            problems = (problem,) if problems is None else problems + (problem,)
    return problems


def _closed(opener: RecordEvent, count: int, root: Optional[str], line: Optional[int]) -> RecordEvent:
    return opener._replace(run_count=count, run_last_root=root, run_last_line=line) if count else opener


def check_bytes(data: bytes, base_offset: int, key_bytes: Optional[bytes],
                visit: Optional[Callable[[int, Record], None]] = None) -> SpanResult:
    """Check the lines of ``data`` (which start at ``base_offset`` in the
    file). ``visit(line_index, record)`` is called for every record that
    parses, before its checks."""
    key = key_bytes
    events: List[Event] = []
    append = events.append
    records = empty_lines = shared_lines = 0
    previous_root: Optional[str] = None
    opener: Optional[RecordEvent] = None  # the record that opens the current run
    run_count = 0
    run_root: Optional[str] = None
    run_line: Optional[int] = None
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
                if visit is not None:
                    visit(index, record)
                problems = _check(record, key)
                root = record.merkle_root
                if previous_root is not None and _next_root(previous_root, record.hash) == root:
                    link = LINK_PREVIOUS
                elif _next_root(GENESIS_ROOT_HEX, record.hash) == root:
                    link = LINK_GENESIS
                elif previous_root is None:
                    link = LINK_UNKNOWN
                else:
                    link = LINK_NONE
            except MalformedRecord as error:
                detail = str(error)
            except Exception as error:  # a hostile line must not stop the run
                detail = unexpected(error)
            else:
                records += 1
                previous_root = root
                if problems is None and link == LINK_PREVIOUS and opener is not None:
                    run_count += 1
                    run_root = root
                    run_line = index
                    continue
                if opener is not None:
                    append(_closed(opener, run_count, run_root, run_line))
                opener = RecordEvent(index, offset + position, record.id, record.hash, root, link, problems)
                run_count = 0
                continue
            if opener is not None:
                append(_closed(opener, run_count, run_root, run_line))
                opener = None
                run_count = 0
            append(MalformedEvent(index, offset + position, detail))
    if opener is not None:
        append(_closed(opener, run_count, run_root, run_line))
    return SpanResult(lines, records, events, empty_lines, shared_lines, len(data))
