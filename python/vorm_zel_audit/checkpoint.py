"""Checkpoints: what a clean verification saw, so that later runs can prove
the log was only appended to.

A checkpoint pins the public key and records the byte length and line count
of the verified log (through its last line feed), the BLAKE3 digest of
exactly those bytes, digests of every 64 KiB block of them (to locate a
change) and the open end of every chain (its last ``merkle_root``). A later
verification against it:

- fails with ``truncated`` when the log is now shorter;
- fails with ``rewritten`` when the first ``byte_length`` bytes differ (the
  BLAKE3 digest of the whole prefix decides; the block digests only say
  where): this also catches changes to members no signature covers;
- otherwise checks only the lines appended since, continuing every chain
  from the root the checkpoint recorded.

Keep checkpoints where the log's writers cannot change them.
"""
from __future__ import annotations

import datetime
import json
import os

import blake3

from . import failures
from .chain import Segment
from .keys import normalise_public_key_hex

FORMAT = "vorm-zel-checkpoint/1"
BLOCK_SIZE = 1 << 16
BLOCK_DIGEST_BYTES = 16  # truncated: they only locate a change
_READ = 1 << 22


class InvalidCheckpoint(ValueError):
    """A checkpoint file that cannot be used; ``str()`` says why."""


class Checkpoint(object):
    def __init__(self, public_key, byte_length, line_count, record_count, prefix_blake3, block_size,
                 block_blake3, segments, created=None, log=None, tool=None):
        self.public_key = public_key
        self.byte_length = byte_length
        self.line_count = line_count
        self.record_count = record_count
        self.prefix_blake3 = prefix_blake3
        self.block_size = block_size
        self.block_blake3 = list(block_blake3)
        self.segments = list(segments)  # list of dicts (Segment.to_dict())
        self.created = created
        self.log = log
        self.tool = tool

    def to_dict(self):
        return {
            "format": FORMAT,
            "public_key": self.public_key,
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

    def to_json(self):
        return json.dumps(self.to_dict(), indent=1, ensure_ascii=False) + "\n"

    @classmethod
    def from_dict(cls, data):
        try:
            if data.get("format") != FORMAT:
                raise InvalidCheckpoint("not a %s file" % FORMAT)
            checkpoint = cls(
                normalise_public_key_hex(data["public_key"]), int(data["byte_length"]),
                int(data["line_count"]), int(data["record_count"]), str(data["prefix_blake3"]),
                int(data["block_size"]), [str(d) for d in data["block_blake3"]],
                [dict(s) for s in data["segments"]], data.get("created"), data.get("log"), data.get("tool"))
            for segment in checkpoint.segment_objects():
                if not isinstance(segment.last_root, str) or len(segment.last_root) != 64:
                    raise InvalidCheckpoint("a segment has no last_merkle_root")
        except InvalidCheckpoint:
            raise
        except (KeyError, TypeError, ValueError, AttributeError) as error:
            raise InvalidCheckpoint("checkpoint is incomplete or malformed: %s" % (error,))
        if (checkpoint.byte_length < 0 or checkpoint.block_size <= 0
                or len(checkpoint.block_blake3) != -(-checkpoint.byte_length // checkpoint.block_size)):
            raise InvalidCheckpoint("checkpoint lengths do not agree")
        return checkpoint

    @classmethod
    def load(cls, path):
        try:
            with open(path, "rb") as handle:
                data = json.loads(handle.read().decode("utf-8"))
        except OSError as error:
            raise InvalidCheckpoint("cannot read checkpoint %s: %s" % (path, error.strerror or error))
        except ValueError as error:
            raise InvalidCheckpoint("checkpoint %s is not JSON: %s" % (path, error))
        if not isinstance(data, dict):
            raise InvalidCheckpoint("checkpoint %s is not a JSON object" % path)
        return cls.from_dict(data)

    def save(self, path):
        """Write atomically: a temporary file beside ``path``, then rename."""
        temporary = "%s.tmp%d" % (path, os.getpid())
        with open(temporary, "w", encoding="utf-8") as handle:
            handle.write(self.to_json())
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)

    def segment_objects(self):
        return [Segment.from_dict(segment) for segment in self.segments]


def coerce(checkpoint):
    """A Checkpoint from a Checkpoint, a dict or a path."""
    if checkpoint is None or isinstance(checkpoint, Checkpoint):
        return checkpoint
    if isinstance(checkpoint, dict):
        return Checkpoint.from_dict(checkpoint)
    return Checkpoint.load(checkpoint)


def digest_prefix(path, length, block_size=BLOCK_SIZE):
    """BLAKE3 of the first ``length`` bytes, the truncated digest of each
    block of them and the line feeds in each block:
    ``(prefix_hex, [block_hex], [newlines])``. Reads fewer bytes when the file
    is shorter."""
    whole = blake3.blake3()
    blocks = []
    newlines = []
    with open(path, "rb") as handle:
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


def compare(checkpoint, path, file_size):
    """Compare the log with the checkpoint. Returns ``(prefix_matches,
    failures)``: ``rewritten`` when bytes the checkpoint covered changed
    (named by the first 64 KiB block that differs), else ``truncated`` when
    the log only became shorter."""
    covered = min(checkpoint.byte_length, file_size)
    # Only whole blocks can be compared when the file became shorter.
    shorter = file_size < checkpoint.byte_length
    comparable = covered - covered % checkpoint.block_size if shorter else covered
    prefix, blocks, newlines = digest_prefix(path, comparable, checkpoint.block_size)
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


def make_checkpoint(path, public_key_hex=None, previous=None, **options):
    """Verify the log at ``path`` (against ``previous``, an earlier checkpoint,
    when given) and, if it passed, build a checkpoint of it.

    Returns ``(checkpoint, report)``; ``checkpoint`` is None when the log did
    not pass (a torn tail alone does not stop it: the checkpoint ends at the
    last line feed). ``options`` go to ``verify_log``.
    """
    from .verify import verify_log

    report = verify_log(path, public_key_hex, checkpoint=previous, digest=True, **options)
    if not report.passed:
        return None, report
    from . import __version__

    checkpoint = Checkpoint(
        report.public_key_hex, report.bytes_verified, report.lines, report.records, report.prefix_blake3,
        report.block_size, report.block_digests, [segment.to_dict() for segment in report.segments],
        created=utc_now_text(), log=os.path.abspath(report.path), tool="vorm_zel_audit " + __version__)
    return checkpoint, report


def utc_now_text():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat()
