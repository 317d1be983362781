"""Checking a log against its signed checkpoints (``LOG.checkpoints``).

``check_notarized`` reads every checkpoint in the sidecar, checks its
signature with the pinned public key (never a key found beside the log),
that every checkpoint names the same log, and then streams the log once,
computing the Merkle tree root at every checkpoint's size. A root that
equals the checkpoint's proves that the log's first lines are byte for byte
those the key signed; when every root matches, the checkpoints are also
consistent with each other (each later one extends the earlier ones), so
the log only grew between them.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from . import failures
from .failures import Failure
from .line_stream import line_batches
from .log_identity import LogIdentity, escape_file_name
from .logfile import complete_length as find_complete_length
from .merkle import RightEdge
from .regular_file import open_regular
from .sidecar import SidecarContents, SidecarEntry, default_path, read_sidecar
from .signed_note import MalformedNote, parse_note
from .tree_head import MalformedTreeHead, TreeHead


@dataclass(frozen=True)
class SignedCheckpoint:
    entry: SidecarEntry
    head: TreeHead

    @property
    def where(self) -> str:
        return "checkpoint %d (byte %d of the checkpoints file)" % (self.entry.number, self.entry.offset)


@dataclass
class CheckpointScan:
    """The checkpoints of a sidecar that the pinned key signed, and what is
    wrong with the others."""

    valid: List[SignedCheckpoint] = field(default_factory=list)
    failures: List[Failure] = field(default_factory=list)
    identity: Optional[LogIdentity] = None
    entries: int = 0


def _failure(kind: str, detail: str, line: Optional[int] = None, offset: Optional[int] = None) -> Failure:
    return Failure(kind, line, offset, detail)


def scan_checkpoints(contents: SidecarContents, public_key: bytes) -> CheckpointScan:
    scan = CheckpointScan(entries=len(contents.entries))
    for entry in contents.entries:
        where = "checkpoint %d (byte %d of the checkpoints file)" % (entry.number, entry.offset)
        if entry.problem:
            scan.failures.append(_failure(failures.MALFORMED_CHECKPOINT, "%s: %s" % (where, entry.problem)))
            continue
        try:
            note = parse_note(entry.data)
            head = TreeHead.parse(note.text)
        except (MalformedNote, MalformedTreeHead) as error:
            scan.failures.append(_failure(failures.MALFORMED_CHECKPOINT, "%s: %s" % (where, error)))
            continue
        identity = LogIdentity.from_origin(head.origin)
        if identity is None:
            scan.failures.append(_failure(
                failures.MALFORMED_CHECKPOINT, "%s: its origin %r is not one of a vorm_zel log"
                % (where, head.origin[:200])))
            continue
        if identity.public_key != public_key:
            scan.failures.append(_failure(
                failures.CHECKPOINT_SIGNATURE, "%s: its origin names the key %s, not the pinned key %s: "
                "it was signed for another key" % (where, identity.public_key.hex(), public_key.hex())))
            continue
        signed, why = note.signed_by(identity.verifier_key)
        if not signed:
            scan.failures.append(_failure(
                failures.CHECKPOINT_SIGNATURE, "%s (tree size %d): %s: changed after it was signed, or signed "
                "by another key" % (where, head.size, why)))
            continue
        if scan.identity is None:
            scan.identity = identity
        elif identity != scan.identity:
            scan.failures.append(_failure(
                failures.ORIGIN_MISMATCH, "%s: its origin names the log %r; the checkpoints before it name %r"
                % (where, identity.display_name, scan.identity.display_name)))
            continue
        scan.valid.append(SignedCheckpoint(entry, head))
    return scan


@dataclass
class NotarizedResult:
    """What checking a log against its checkpoints showed.

    ``lines_covered`` lines (the first ones) are proven unchanged since the
    latest valid checkpoint was signed; ``lines_after`` complete lines follow
    them, sealed only by their own records. ``failures`` use the verifier's
    failure kinds, with 1-based line numbers where a line is known.
    """

    checkpoints_path: str
    sidecar_found: bool = False
    entries: int = 0
    valid_checkpoints: int = 0
    latest: Optional[TreeHead] = None
    latest_entry: Optional[int] = None
    lines: int = 0
    lines_covered: int = 0
    lines_after: int = 0
    torn_entry: Optional[Tuple[int, int]] = None
    failures: List[Failure] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    statement: str = ""

    @property
    def proven(self) -> bool:
        """True when the latest checkpoint matches the log and nothing failed."""
        return self.latest is not None and not self.failures

    def to_dict(self) -> Dict[str, Any]:
        return {
            "checkpoints_path": self.checkpoints_path,
            "sidecar_found": self.sidecar_found,
            "entries": self.entries,
            "valid_checkpoints": self.valid_checkpoints,
            "origin": self.latest.origin if self.latest else None,
            "latest_tree_size": self.latest.size if self.latest else None,
            "latest_root": self.latest.root.hex() if self.latest else None,
            "latest_entry": self.latest_entry,
            "lines": self.lines,
            "lines_covered": self.lines_covered,
            "lines_after": self.lines_after,
            "torn_entry": list(self.torn_entry) if self.torn_entry else None,
            "proven": self.proven,
            "failures": [failure.to_dict() for failure in self.failures],
            "notes": list(self.notes),
            "statement": self.statement,
        }


def _roots_at(log_path: str, end: int, sizes: List[int]) -> Tuple[int, Dict[int, Tuple[bytes, int]]]:
    """Stream the log's complete lines (through byte ``end``); returns the
    number of lines and, for every size in ``sizes`` that the log reaches,
    the tree root at that size and the byte offset just after that line."""
    wanted = sorted(set(size for size in sizes if size > 0))
    found: Dict[int, Tuple[bytes, int]] = {}
    if 0 in sizes:
        found[0] = (RightEdge().root(), 0)
    edge = RightEdge()
    targets = iter(wanted)
    target = next(targets, None)
    with open_regular(log_path, "log") as handle:
        for offset, lines in line_batches(handle, 0, end):
            start = 0
            while target is not None and target - edge.size <= len(lines) - start:
                take = target - edge.size
                piece = lines[start:start + take]
                edge.extend(piece)
                offset += sum(map(len, piece)) + len(piece)
                start += take
                found[target] = (edge.root(), offset)
                target = next(targets, None)
            if start:
                lines = lines[start:]
            edge.extend(lines)
    return edge.size, found


def check_notarized(log_path: str, checkpoints_path: str, public_key: bytes,
                    complete_length: Optional[int] = None, require: bool = False) -> NotarizedResult:
    """Check the log at ``log_path`` against the checkpoints at
    ``checkpoints_path`` with the pinned Ed25519 ``public_key`` (32 bytes).

    ``complete_length`` is the log's length through its last line feed (found
    when not given). With ``require``, lines after the latest checkpoint, or a
    missing sidecar, are failures (``not_notarized``) instead of notes.
    Never raises for the contents of the files: an unreadable or hostile
    sidecar is a typed failure; OSError only when the log cannot be read.
    """
    log_path = os.fspath(log_path)
    result = NotarizedResult(os.fspath(checkpoints_path))
    if complete_length is None:
        with open_regular(log_path, "log") as handle:
            complete_length = find_complete_length(handle)
    try:
        contents = read_sidecar(result.checkpoints_path)
        result.sidecar_found = True
    except FileNotFoundError:
        contents = None
    except OSError as error:
        result.failures.append(_failure(failures.MALFORMED_CHECKPOINT, "cannot read the checkpoints file %s: %s"
                                        % (result.checkpoints_path, error.strerror or error)))
        contents = None
    if contents is None:
        result.lines, _ = _roots_at(log_path, complete_length, [])
        result.lines_after = result.lines
        if not result.failures:
            _nothing_notarized(result, require)
        return result

    result.entries = len(contents.entries)
    if contents.torn_tail:
        result.torn_entry = contents.torn_tail
        result.notes.append("the checkpoints file ends in %d bytes of an entry that was not written whole "
                            "(at byte %d): ignored" % (contents.torn_tail[1], contents.torn_tail[0]))
    scan = scan_checkpoints(contents, public_key)
    result.failures.extend(scan.failures)
    result.valid_checkpoints = len(scan.valid)
    if scan.identity is not None and scan.identity.file_name != escape_file_name(log_path):
        result.notes.append("the checkpoints were made for a log named %r; this file is named %r"
                            % (scan.identity.display_name, os.path.basename(log_path)))
    result.lines, roots = _roots_at(log_path, complete_length, [c.head.size for c in scan.valid])
    if not scan.valid:
        result.lines_after = result.lines
        if not result.failures:
            _nothing_notarized(result, require)
        else:
            result.statement = "no checkpoint signed by the pinned key: nothing is notarised"
        return result
    _compare(result, scan.valid, roots, complete_length)
    if require and result.lines_after:
        result.failures.append(_failure(
            failures.NOT_NOTARIZED, "lines %d to %d come after the latest checkpoint that matches the log"
            % (result.lines_covered + 1, result.lines), result.lines_covered + 1,
            roots.get(result.lines_covered, (b"", 0))[1]))
    return result


def _nothing_notarized(result: NotarizedResult, require: bool) -> None:
    where = result.checkpoints_path if result.sidecar_found else "%s (not found)" % result.checkpoints_path
    result.statement = ("no checkpoints in %s: nothing is notarised; the %d lines are sealed only by their "
                        "records' own signatures and chains" % (where, result.lines))
    if require:
        result.failures.append(_failure(failures.NOT_NOTARIZED, "no signed checkpoint covers the log (%s)" % where))


def _compare(result: NotarizedResult, valid: List[SignedCheckpoint], roots: Dict[int, Tuple[bytes, int]],
             complete_length: int) -> None:
    by_size: Dict[int, List[SignedCheckpoint]] = {}
    for checkpoint in valid:
        by_size.setdefault(checkpoint.head.size, []).append(checkpoint)
    # Two signed heads of one size with different roots: a fork, whatever the log says.
    for size, group in sorted(by_size.items()):
        distinct = {c.head.root for c in group}
        if len(distinct) > 1:
            result.failures.append(_failure(
                failures.INCONSISTENT_CHECKPOINTS, "%s and %s both sign a tree of %d lines, with different roots"
                % (group[0].where, next(c for c in group if c.head.root != group[0].head.root).where, size)))
    matched = [size for size, group in by_size.items() if size in roots and
               any(c.head.root == roots[size][0] for c in group)]
    top = max(matched) if matched else 0
    top_checkpoint = next((c for c in by_size.get(top, []) if roots.get(top, (None,))[0] == c.head.root), None)
    for size, group in sorted(by_size.items()):
        if size >= top or size in matched:
            continue
        # The log matches a larger checkpoint, so its first lines are what
        # that one signed: a smaller one that disagrees contradicts it.
        assert top_checkpoint is not None
        result.failures.append(_failure(
            failures.INCONSISTENT_CHECKPOINTS, "%s (tree size %d) is not a prefix of %s (tree size %d), which "
            "the log matches: the key signed two histories" % (group[0].where, size, top_checkpoint.where, top)))
    above = sorted(size for size in by_size if size > top)
    start_line = top + 1
    start_offset = roots[top][1] if top in roots else 0
    if above:
        differing = [size for size in above if size in roots]
        if differing:
            first = differing[0]
            result.failures.append(_failure(
                failures.REWRITTEN, "lines %d to %d differ from what %s signed (tree size %d)%s" % (
                    start_line, first, by_size[first][0].where, first,
                    "; the checkpoints up to line %d still match" % top if top else
                    "; no checkpoint matches, so the change is somewhere in these lines"),
                start_line, start_offset))
        else:
            first = above[0]
            result.failures.append(_failure(
                failures.TRUNCATED, "the log has %d lines; %s signed %d: lines were cut off at the end, or removed "
                "anywhere after line %d" % (result.lines, by_size[first][0].where, first, top),
                result.lines + 1, complete_length))
    latest = max(valid, key=lambda c: (c.head.size, c.entry.number))
    result.latest = latest.head
    result.latest_entry = latest.entry.number
    result.lines_covered = top if top_checkpoint is not None else 0
    result.lines_after = result.lines - result.lines_covered
    if result.failures:
        result.statement = (
            "the log does not match its signed checkpoints%s" % (
                "; its first %d lines are those checkpoint %d signed" % (top, top_checkpoint.entry.number)
                if top_checkpoint is not None else ""))
        return
    result.statement = (
        "lines 1 to %d are byte for byte those the pinned key signed in checkpoint %d (tree size %d); "
        "every valid checkpoint (%d) matches the log, so the log only grew between them" % (
            top, latest.entry.number, top, result.valid_checkpoints))
    if result.lines_after:
        result.statement += ("; lines %d to %d (%d) came after the latest checkpoint and are sealed only by "
                             "their records' own signatures and chains" % (top + 1, result.lines, result.lines_after))
    else:
        result.statement += "; every complete line is notarised"
    result.statement += (". Lines cut off together with the checkpoints that covered them leave no trace here: "
                         "only a copy of a checkpoint kept elsewhere shows that")


def check_beside_log(log_path: Any, checkpoints: Any, public_key: bytes, complete_length: int,
                     require: bool = False) -> Optional[NotarizedResult]:
    """The verifier's entry point. ``checkpoints``: the sidecar's path; None
    for ``LOG.checkpoints`` when it exists (or when ``require``); False for
    no check (None is returned)."""
    if checkpoints is False:
        return None
    path = os.fspath(checkpoints) if checkpoints is not None else default_path(os.fspath(log_path))
    if checkpoints is None and not require and not os.path.lexists(path):
        return None
    return check_notarized(log_path, path, public_key, complete_length, require)
