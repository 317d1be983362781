"""Self-contained proofs: one line of a log, or that a log only grew.

An inclusion proof is one JSON object::

    {"format": "vorm-zel-inclusion-proof/1",
     "line": "<the entry: the line without its line feed, as text>",
     "line_number": 42, "index": 41, "tree_size": 1000,
     "inclusion": ["<base64 hash>", ...],      # RFC 9162 path, leaf to root
     "checkpoint": "<the signed checkpoint note>"}

(``line_base64`` replaces ``line`` for a line that is not UTF-8.) Checking it
needs only the pinned public key: the note's signature, its origin naming
that key, and the path from SHA-256(0x00 || line) at ``index`` to the root
the note signs. Nothing else of the log is shown.

A consistency proof (``"format": "vorm-zel-consistency-proof/1"``) holds
``old_size``, ``old_root``, ``tree_size``, the RFC 9162 ``consistency`` path,
the signed ``checkpoint`` of the new size and, when the sidecar has one,
``old_checkpoint``, the signed note of the old size.
"""
from __future__ import annotations

import base64
import binascii
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

from . import merkle
from .line_stream import line_batches
from .log_identity import LogIdentity
from .logfile import complete_length
from .regular_file import open_regular
from .notarized import SignedCheckpoint, scan_checkpoints
from .sidecar import read_sidecar
from .signed_note import MalformedNote, parse_note
from .tree_head import MalformedTreeHead, TreeHead

INCLUSION_FORMAT = "vorm-zel-inclusion-proof/1"
CONSISTENCY_FORMAT = "vorm-zel-consistency-proof/1"
MAX_PATH = 64


class ProofError(ValueError):
    """A proof cannot be built from this log and these checkpoints."""


class NotAProof(ValueError):
    """A file that is not a proof of this package; ``str()`` says why."""


def _b64(value: bytes) -> str:
    return base64.b64encode(value).decode("ascii")


class _Leaves(object):
    """The leaf hashes of the first ``count`` lines of a log, streamed; on
    the way it keeps the root of the whole stream, the root after
    ``mark`` leaves and the leaf hash at ``index``."""

    def __init__(self, log_path: str, count: int, index: int = -1, mark: int = -1) -> None:
        self.log_path, self.count, self.index, self.mark = log_path, count, index, mark
        self.edge = merkle.RightEdge()
        self.leaf: Optional[bytes] = None
        self.mark_root: Optional[bytes] = None
        self._stream = self._generate()

    def __iter__(self) -> "_Leaves":
        return self

    def __next__(self) -> bytes:
        return next(self._stream)

    def _generate(self):
        edge = self.edge
        with open_regular(self.log_path, "log") as handle:
            for _, lines in line_batches(handle, 0, complete_length(handle)):
                for line in lines:
                    if edge.size == self.count:
                        return
                    value = merkle.leaf_hash(line)
                    if edge.size == self.index:
                        self.leaf = value
                    edge.append_hash(value)
                    if edge.size == self.mark:
                        self.mark_root = edge.root()
                    yield value

    def drain(self) -> None:
        for _ in self:
            pass


def _checkpoints(log_path: str, checkpoints_path: str, public_key: bytes) -> List[SignedCheckpoint]:
    try:
        contents = read_sidecar(checkpoints_path)
    except OSError as error:
        raise ProofError("cannot read the checkpoints %s: %s" % (checkpoints_path, error.strerror or error))
    valid = scan_checkpoints(contents, public_key).valid
    if not valid:
        raise ProofError("%s holds no checkpoint signed by the key %s" % (checkpoints_path, public_key.hex()))
    return valid


def _line(log_path: str, number: int) -> bytes:
    seen = 0
    with open_regular(log_path, "log") as handle:
        for _, lines in line_batches(handle, 0, complete_length(handle)):
            if seen + len(lines) >= number:
                return lines[number - seen - 1]
            seen += len(lines)
    raise ProofError("the log has %d complete lines; there is no line %d" % (seen, number))


def _path(leaves: _Leaves, ranges: List[merkle.Range], checkpoint: SignedCheckpoint) -> List[bytes]:
    try:
        path = merkle.range_roots(leaves, ranges)
    except ValueError:
        path = []
    leaves.drain()
    if leaves.edge.size < checkpoint.head.size:
        raise ProofError("the log has %d lines, fewer than checkpoint %d signed (%d): it was cut"
                         % (leaves.edge.size, checkpoint.entry.number, checkpoint.head.size))
    return path


def build_inclusion_proof(log_path: str, line_number: int, checkpoints_path: str,
                          public_key: bytes) -> Dict[str, Any]:
    """The proof that line ``line_number`` (1-based) is in the latest
    checkpoint (of the pinned key) that covers it. Raises ProofError."""
    if line_number < 1:
        raise ProofError("lines are numbered from 1")
    valid = _checkpoints(log_path, checkpoints_path, public_key)
    covering = [c for c in valid if c.head.size >= line_number]
    if not covering:
        raise ProofError("no checkpoint covers line %d yet (the latest signs %d lines): notarise first"
                         % (line_number, max(c.head.size for c in valid)))
    checkpoint = max(covering, key=lambda c: (c.head.size, c.entry.number))
    size = checkpoint.head.size
    index = line_number - 1
    leaves = _Leaves(log_path, size, index=index)
    path = _path(leaves, merkle.inclusion_ranges(index, size), checkpoint)
    if leaves.leaf is None or not merkle.verify_inclusion(leaves.leaf, index, size, path, checkpoint.head.root):
        raise ProofError("the log's first %d lines do not hash to the root of checkpoint %d: the log was "
                         "rewritten; no proof" % (size, checkpoint.entry.number))
    entry = _line(log_path, line_number)
    proof: Dict[str, Any] = {"format": INCLUSION_FORMAT, "log": os.path.basename(log_path),
                             "line_number": line_number, "index": index, "tree_size": size}
    try:
        proof["line"] = entry.decode("utf-8")
    except UnicodeDecodeError:
        proof["line_base64"] = _b64(entry)
    proof["inclusion"] = [_b64(node) for node in path]
    proof["checkpoint"] = checkpoint.entry.data.decode("utf-8")
    return proof


def build_consistency_proof(log_path: str, old_size: int, checkpoints_path: str,
                            public_key: bytes) -> Dict[str, Any]:
    """The proof that the tree of the log's first ``old_size`` lines is a
    prefix of the latest checkpoint's tree. Raises ProofError."""
    valid = _checkpoints(log_path, checkpoints_path, public_key)
    checkpoint = max(valid, key=lambda c: (c.head.size, c.entry.number))
    size = checkpoint.head.size
    if not 0 < old_size <= size:
        raise ProofError("the old size must be from 1 to the latest checkpoint's size, %d" % size)
    leaves = _Leaves(log_path, size, mark=old_size)
    path = _path(leaves, merkle.consistency_ranges(old_size, size), checkpoint)
    old_root = leaves.mark_root
    if old_root is None or leaves.edge.root() != checkpoint.head.root:
        raise ProofError("the log's first %d lines do not hash to the root of checkpoint %d: the log was "
                         "rewritten; no proof" % (size, checkpoint.entry.number))
    old = [c for c in valid if c.head.size == old_size and c.head.root == old_root]
    return {"format": CONSISTENCY_FORMAT, "log": os.path.basename(log_path), "old_size": old_size,
            "old_root": _b64(old_root), "tree_size": size, "consistency": [_b64(node) for node in path],
            "checkpoint": checkpoint.entry.data.decode("utf-8"),
            "old_checkpoint": old[-1].entry.data.decode("utf-8") if old else None}


@dataclass
class ProofCheck:
    """The outcome of checking a proof: ``verified``, and in plain words
    what was proven or why not."""

    verified: bool
    statement: str
    tree_size: Optional[int] = None
    origin: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        return {"verified": self.verified, "statement": self.statement, "tree_size": self.tree_size,
                "origin": self.origin}


def _signed_head(note_text: Any, public_key: bytes, what: str) -> TreeHead:
    """The tree head of a note the pinned key signed; raises ValueError."""
    if not isinstance(note_text, str):
        raise ValueError("%s is not a text" % what)
    try:
        note = parse_note(note_text.encode("utf-8", "surrogatepass"))
        head = TreeHead.parse(note.text)
    except (MalformedNote, MalformedTreeHead) as error:
        raise ValueError("%s is not a signed checkpoint: %s" % (what, error))
    identity = LogIdentity.from_origin(head.origin)
    if identity is None or identity.public_key != public_key:
        raise ValueError("%s's origin %r does not name the pinned key %s" % (what, head.origin[:200],
                                                                            public_key.hex()))
    signed, why = note.signed_by(identity.verifier_key)
    if not signed:
        raise ValueError("%s: %s" % (what, why))
    return head


def _hashes(values: Any, what: str) -> List[bytes]:
    if not isinstance(values, list) or len(values) > MAX_PATH:
        raise ValueError("%s is not a list of at most %d hashes" % (what, MAX_PATH))
    out = []
    for value in values:
        try:
            raw = base64.b64decode(value, validate=True) if isinstance(value, str) else b""
        except (binascii.Error, ValueError):
            raw = b""
        if len(raw) != merkle.HASH_SIZE:
            raise ValueError("%s holds something that is not a base64 SHA-256 hash" % what)
        out.append(raw)
    return out


def _size(value: Any, what: str) -> int:
    if type(value) is not int or value < 0:
        raise ValueError("%s is not a whole number" % what)
    return value


def check_proof(proof: Any, public_key: bytes) -> ProofCheck:
    """Check an inclusion or consistency proof (its parsed JSON) with the
    pinned Ed25519 ``public_key``. Raises NotAProof when it is neither."""
    if not isinstance(proof, dict):
        raise NotAProof("a proof is a JSON object")
    kind = proof.get("format")
    if kind not in (INCLUSION_FORMAT, CONSISTENCY_FORMAT):
        raise NotAProof("not a proof of this package (format %r)" % (kind,))
    try:
        if kind == INCLUSION_FORMAT:
            return _check_inclusion(proof, public_key)
        return _check_consistency(proof, public_key)
    except ValueError as error:
        return ProofCheck(False, "NOT verified: %s" % error)


def _entry(proof: Dict[str, Any]) -> bytes:
    if isinstance(proof.get("line"), str):
        try:
            return proof["line"].encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError("the line is not valid text")
    try:
        encoded = proof.get("line_base64")
        if not isinstance(encoded, str):
            raise TypeError("no line_base64")
        return base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError, TypeError):
        raise ValueError("the proof holds no line (line, or line_base64)")


def _checkpoint_of(proof: Dict[str, Any], public_key: bytes) -> Tuple[TreeHead, int]:
    """The proof's signed checkpoint and its ``tree_size``, which must agree."""
    head = _signed_head(proof.get("checkpoint"), public_key, "the checkpoint")
    size = _size(proof.get("tree_size"), "tree_size")
    if size != head.size:
        raise ValueError("tree_size %d is not the checkpoint's size %d" % (size, head.size))
    return head, size


def _check_inclusion(proof: Dict[str, Any], public_key: bytes) -> ProofCheck:
    head, size = _checkpoint_of(proof, public_key)
    index = _size(proof.get("index"), "index")
    number = proof.get("line_number", index + 1)
    if number != index + 1:
        raise ValueError("line_number %r is not index + 1" % (number,))
    path = _hashes(proof.get("inclusion"), "inclusion")
    entry = _entry(proof)
    if not merkle.verify_inclusion(merkle.leaf_hash(entry), index, size, path, head.root):
        raise ValueError("the inclusion path does not lead from this line at index %d to the checkpoint's root"
                         % index)
    return ProofCheck(True, "verified: line %d of the log %s is exactly the text given; the log's key signed a "
                      "tree of %d lines that holds it at that place" % (index + 1, head.origin, size),
                      size, head.origin)


def _check_consistency(proof: Dict[str, Any], public_key: bytes) -> ProofCheck:
    head, size = _checkpoint_of(proof, public_key)
    old_size = _size(proof.get("old_size"), "old_size")
    old_root = _hashes([proof.get("old_root")], "old_root")[0]
    path = _hashes(proof.get("consistency"), "consistency")
    if not merkle.verify_consistency(old_size, size, old_root, head.root, path):
        raise ValueError("the consistency path does not show that the tree of %d lines with old_root is a "
                         "prefix of the checkpoint's tree of %d lines" % (old_size, size))
    old_note = proof.get("old_checkpoint")
    if old_note is not None:
        old = _signed_head(old_note, public_key, "the old checkpoint")
        if old.origin != head.origin or old.size != old_size or old.root != old_root:
            raise ValueError("the old checkpoint is not the tree of %d lines the proof starts from" % old_size)
        source = "the old checkpoint, signed by the same key"
    else:
        source = ("the proof itself (no old checkpoint was included: compare old_root with the checkpoint "
                  "of %d lines you hold)" % old_size)
    return ProofCheck(True, "verified: the log %s only grew from %d lines (root %s, from %s) to the %d lines "
                      "its key signed" % (head.origin, old_size, _b64(old_root), source, size), size, head.origin)


def check_old_checkpoint(proof: Dict[str, Any], note_text: str, public_key: bytes) -> None:
    """Compare a consistency proof with an old checkpoint the auditor kept;
    raises ValueError when they differ."""
    old = _signed_head(note_text, public_key, "the old checkpoint given")
    if old.size != proof.get("old_size") or _b64(old.root) != proof.get("old_root"):
        raise ValueError("the proof starts from a tree of %r lines with root %r; the checkpoint you hold "
                         "signs %d lines with root %s" % (proof.get("old_size"), proof.get("old_root"),
                                                          old.size, _b64(old.root)))
