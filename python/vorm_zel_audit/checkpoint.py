"""Checkpoints: what a clean verification saw, so that later runs can prove
the log was only appended to.

A checkpoint records the public key and where it came from (pinned, or read
from the key file beside the log: self-consistency only), the byte length and
line count of the verified log (through its last line feed), the BLAKE3
digest of exactly those bytes, digests of every 64 KiB block of them (to
locate a change) and the open end of every chain (its last ``merkle_root``).
A later verification against it:

- fails with ``truncated`` when the log is now shorter;
- fails with ``rewritten`` when the first ``byte_length`` bytes differ (the
  BLAKE3 digest of the whole prefix decides; the block digests only say
  where): this also catches changes to members no signature covers;
- otherwise accepts the lines it covers on its word (their bytes are
  unchanged; ``recheck`` verifies them again) and checks the lines appended
  since, continuing every chain from the root the checkpoint recorded.

A checkpoint is not signed: it proves something only when kept where the
log's writers cannot change it. A checkpoint made without a pinned key keeps
saying so wherever it is used.
"""
from __future__ import annotations

import dataclasses
import datetime
import json
from typing import Any, BinaryIO, Dict, List, Optional, Tuple, Union

import blake3

from . import bounded_json, failures
from .atomic_file import write_atomically
from .chain import Segment
from .keys import normalise_public_key_hex
from .regular_file import PathLike, open_regular

FORMAT = "vorm-zel-checkpoint/1"
BLOCK_SIZE = 1 << 16
BLOCK_DIGEST_BYTES = 16  # truncated: they only locate a change
MAX_CHECKPOINT_BYTES = 1 << 30
_DEPTH = 4
_READ = 1 << 22


class InvalidCheckpoint(ValueError):
    """A checkpoint file that cannot be used; ``str()`` says why."""


@dataclasses.dataclass
class Checkpoint:
    public_key: str
    byte_length: int
    line_count: int
    record_count: int
    prefix_blake3: str
    block_size: int
    block_blake3: List[str]
    segments: List[Dict[str, Any]]  # Segment.to_dict() of every chain
    created: Optional[str] = None
    log: Optional[str] = None
    tool: Optional[str] = None
    # False when the key was read from the key file beside the log, and for
    # checkpoints that do not say (written before this was recorded).
    key_pinned: bool = False
    key_source: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        return {
            "format": FORMAT,
            "public_key": self.public_key,
            "key_pinned": self.key_pinned,
            "key_source": self.key_source,
            "log": self.log,
            "created": self.created,
            "tool": self.tool,
            "byte_length": self.byte_length,
            "line_count": self.line_count,
            "record_count": self.record_count,
            "prefix_blake3": self.prefix_blake3,
            "segments": self.segments,
            "block_size": self.block_size,
            "block_blake3": self.block_blake3,
        }

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), indent=1, ensure_ascii=False) + "\n"

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "Checkpoint":
        try:
            if data.get("format") != FORMAT:
                raise InvalidCheckpoint("not a %s file" % FORMAT)
            checkpoint = cls(
                normalise_public_key_hex(data["public_key"]), int(data["byte_length"]),
                int(data["line_count"]), int(data["record_count"]), str(data["prefix_blake3"]),
                int(data["block_size"]), [str(d) for d in data["block_blake3"]],
                [dict(s) for s in data["segments"]], data.get("created"), data.get("log"), data.get("tool"),
                data.get("key_pinned") is True, data.get("key_source"))
            for segment in checkpoint.segment_objects():
                if not isinstance(segment.last_root, str) or len(segment.last_root) != 64:
                    raise InvalidCheckpoint("a segment has no last_merkle_root")
        except InvalidCheckpoint:
            raise
        except (KeyError, TypeError, ValueError, AttributeError, OverflowError) as error:
            raise InvalidCheckpoint("checkpoint is incomplete or malformed: %s" % (error,)) from None
        if (checkpoint.byte_length < 0 or checkpoint.block_size <= 0
                or len(checkpoint.block_blake3) != -(-checkpoint.byte_length // checkpoint.block_size)):
            raise InvalidCheckpoint("checkpoint lengths do not agree")
        return checkpoint

    @classmethod
    def load(cls, path: PathLike) -> "Checkpoint":
        """Read a checkpoint file (only a regular file, at most 1 GiB)."""
        try:
            with open_regular(path, "checkpoint") as handle:
                raw = handle.read(MAX_CHECKPOINT_BYTES + 1)
        except OSError as error:
            raise InvalidCheckpoint("cannot read checkpoint %s: %s" % (path, error.strerror or error)) from None
        if len(raw) > MAX_CHECKPOINT_BYTES:
            raise InvalidCheckpoint("checkpoint %s is larger than %d bytes" % (path, MAX_CHECKPOINT_BYTES))
        try:
            data = bounded_json.loads(raw.decode("utf-8"), _DEPTH)
        except ValueError as error:  # also UnicodeDecodeError and a nesting too deep
            raise InvalidCheckpoint("checkpoint %s is not JSON: %s" % (path, error)) from None
        if not isinstance(data, dict):
            raise InvalidCheckpoint("checkpoint %s is not a JSON object" % path)
        return cls.from_dict(data)

    def save(self, path: PathLike) -> None:
        """Write atomically: a new temporary file beside ``path`` (created
        exclusively, never through a link), then a rename over ``path``."""
        write_atomically(path, self.to_json().encode("utf-8"))

    def segment_objects(self) -> List[Segment]:
        return [Segment.from_dict(segment) for segment in self.segments]


CheckpointLike = Union[Checkpoint, Dict[str, Any], PathLike, None]


def coerce(checkpoint: CheckpointLike) -> Optional[Checkpoint]:
    """A Checkpoint from a Checkpoint, a dict or a path."""
    if checkpoint is None or isinstance(checkpoint, Checkpoint):
        return checkpoint
    if isinstance(checkpoint, dict):
        return Checkpoint.from_dict(checkpoint)
    return Checkpoint.load(checkpoint)


def digest_prefix(handle: BinaryIO, length: int, block_size: int = BLOCK_SIZE) -> Tuple[str, List[str], List[int]]:
    """BLAKE3 of the first ``length`` bytes, the truncated digest of each
    block of them and the line feeds in each block:
    ``(prefix_hex, [block_hex], [newlines])``. Reads fewer bytes when the file
    is shorter."""
    whole = blake3.blake3()
    blocks = []
    newlines = []
    handle.seek(0)
    remaining = length
    while remaining > 0:
        data = handle.read(min(_READ, remaining))
        if not data:
            break
        remaining -= len(data)
        whole.update(data)
        for start in range(0, len(data), block_size):
            block = data[start:start + block_size]
            blocks.append(blake3.blake3(block).digest(BLOCK_DIGEST_BYTES).hex())
            newlines.append(block.count(b"\n"))
    return whole.hexdigest(), blocks, newlines


def compare(checkpoint: Checkpoint, handle: BinaryIO, file_size: int) -> Tuple[bool, List[failures.Failure]]:
    """Compare the log with the checkpoint. Returns ``(prefix_matches,
    failures)``: ``rewritten`` when bytes the checkpoint covered changed
    (named by the first 64 KiB block that differs), else ``truncated`` when
    the log only became shorter."""
    covered = min(checkpoint.byte_length, file_size)
    # Only whole blocks can be compared when the file became shorter.
    shorter = file_size < checkpoint.byte_length
    comparable = covered - covered % checkpoint.block_size if shorter else covered
    prefix, blocks, newlines = digest_prefix(handle, comparable, checkpoint.block_size)
    if not shorter and prefix == checkpoint.prefix_blake3:
        return True, []
    line = 1
    for index, digest in enumerate(blocks):
        if digest != checkpoint.block_blake3[index]:
            start = index * checkpoint.block_size
            end = min(start + checkpoint.block_size, checkpoint.byte_length)
            return False, [failures.Failure(
                failures.REWRITTEN, line, start,
                "bytes %d to %d (from line %d on) differ from when the checkpoint was made%s"
                % (start, end, line, " (and the log is now shorter)" if shorter else ""))]
        line += newlines[index]
    if shorter:
        return False, [failures.Failure(
            failures.TRUNCATED, None, file_size,
            "the log is %d bytes long; the checkpoint covered %d bytes (%d lines): records were cut off "
            "(or changed: bytes from %d on could not be compared)"
            % (file_size, checkpoint.byte_length, checkpoint.line_count, comparable))]
    return False, [failures.Failure(
        failures.REWRITTEN, None, 0,
        "the BLAKE3 digest of the first %d bytes differs from the checkpoint's" % checkpoint.byte_length)]


def utc_now_text() -> str:
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat()
