"""The notary: signs checkpoints of a growing log with the log's own key.

A ``Notary`` keeps the right edge of the Merkle tree over the log's complete
lines and the byte offset where they end, so each ``notarize()`` reads only
the bytes appended since the last one, hashes the new complete lines
(reading stops at the last line feed: a line still being written is never
part of a tree), signs a checkpoint of the new size and appends it to the
sidecar. Several processes may write the log at once: the tree covers its
lines in file order, whoever wrote them.

Between runs the edge and the offset are kept in ``<sidecar>.state``. When
a notary starts, it takes the last checkpoint its key signed in the sidecar
and resumes from the saved state only if that state hashes to that
checkpoint's root; otherwise it rebuilds the tree from the log, and refuses
to sign (NotaryError) when the log no longer matches that checkpoint.

    with Notary("audit.wal"):          # a checkpoint every second, and a last one
        run_the_agent()
"""
from __future__ import annotations

import base64
import json
import os
import threading
from typing import Optional

from .line_stream import line_batches
from .log_identity import LogIdentity
from .atomic_file import write_atomically
from .regular_file import open_regular
from .merkle import RightEdge
from .notarized import SignedCheckpoint, scan_checkpoints
from .sidecar import append_note, default_path, read_sidecar
from .signed_note import sign_note
from .regular_file import read_regular_file
from .signing_key import SigningKey
from .tree_head import TreeHead

STATE_FORMAT = "vorm-zel-notary-state/1"
DEFAULT_INTERVAL = 1.0


class NotaryError(RuntimeError):
    """The notary cannot (or will not) sign; ``str()`` says why."""


class Notary(object):
    """Signs checkpoints of the log at ``log_path`` with the Ed25519 seed in
    ``key_file`` (default ``LOG.key``) into ``checkpoints_path`` (default
    ``LOG.checkpoints``). ``interval`` is the pause of the background thread
    between checkpoints (``start()``, or use the notary as a context
    manager). Thread-safe."""

    def __init__(self, log_path: str, key_file: Optional[str] = None, checkpoints_path: Optional[str] = None,
                 interval: float = DEFAULT_INTERVAL) -> None:
        self.log_path = os.fspath(log_path)
        self.key_file = os.fspath(key_file) if key_file else self.log_path + ".key"
        self.checkpoints_path = os.fspath(checkpoints_path) if checkpoints_path else default_path(self.log_path)
        self.state_path = self.checkpoints_path + ".state"
        if not interval > 0:
            raise ValueError("the interval must be positive")
        self.interval = float(interval)
        self._key = SigningKey.from_seed_file(self.key_file)
        self.identity = LogIdentity.for_log(self.log_path, self._key.public_key)
        self._edge = RightEdge()
        self._offset = 0
        self._signed: Optional[TreeHead] = None
        self._loaded = False
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self.error: Optional[BaseException] = None
        self.checkpoints_written = 0

    # -- what it signs as -------------------------------------------------------
    @property
    def public_key_hex(self) -> str:
        return self._key.public_key.hex()

    @property
    def origin(self) -> str:
        return self.identity.origin

    @property
    def verifier_key(self) -> str:
        return self.identity.verifier_key.to_string()

    @property
    def last_checkpoint(self) -> Optional[TreeHead]:
        return self._signed

    # -- one checkpoint ------------------------------------------------------------
    def notarize(self) -> Optional[TreeHead]:
        """Sign a checkpoint of every complete line; returns it, or None
        when no line was added since the last one (or the log is empty)."""
        with self._lock:
            if not self._loaded:
                self._resume()
                self._loaded = True
            self._read_new_lines()
            size = self._edge.size
            if size == 0 or (self._signed is not None and self._signed.size == size):
                return None
            head = TreeHead(self.origin, size, self._edge.root())
            append_note(self.checkpoints_path, sign_note(head.to_text(), self.identity.key_name,
                                                         self._key.private_key))
            self._signed = head
            self.checkpoints_written += 1
            self._save_state()
            return head

    def _read_new_lines(self) -> None:
        with open_regular(self.log_path, "log") as handle:
            end = os.fstat(handle.fileno()).st_size
            if end < self._offset:
                raise NotaryError("%s is now %d bytes long, shorter than the %d bytes already notarised: the log "
                                  "was cut; not signing" % (self.log_path, end, self._offset))
            if self._offset:
                handle.seek(self._offset - 1)
                if handle.read(1) != b"\n":
                    raise NotaryError("%s no longer has a line feed where the notarised lines end (byte %d): the "
                                      "log was rewritten; not signing" % (self.log_path, self._offset))
            for offset, lines in line_batches(handle, self._offset, end):
                self._edge.extend(lines)
                self._offset = offset + sum(map(len, lines)) + len(lines)

    # -- resuming ------------------------------------------------------------------
    def _last_signed(self) -> Optional[SignedCheckpoint]:
        try:
            contents = read_sidecar(self.checkpoints_path)
        except FileNotFoundError:
            return None
        except OSError as error:
            raise NotaryError("cannot read %s: %s" % (self.checkpoints_path, error.strerror or error))
        mine = [c for c in scan_checkpoints(contents, self._key.public_key).valid if c.head.origin == self.origin]
        return mine[-1] if mine else None

    def _resume(self) -> None:
        last = self._last_signed()
        if last is None:
            return
        head = last.head
        state = self._load_state()
        if state is not None and state[0].size == head.size and state[0].root() == head.root:
            self._edge, self._offset = state
            self._signed = head
            return
        # Rebuild the tree over the lines the checkpoint covered.
        edge = RightEdge()
        offset = 0
        with open_regular(self.log_path, "log") as handle:
            end = os.fstat(handle.fileno()).st_size
            for start, lines in line_batches(handle, 0, end):
                take = lines[:head.size - edge.size]
                edge.extend(take)
                offset = start + sum(map(len, take)) + len(take)
                if edge.size == head.size:
                    break
        if edge.size < head.size:
            raise NotaryError("%s has %d complete lines; checkpoint %d in %s signed %d: the log was cut; not "
                              "signing" % (self.log_path, edge.size, last.entry.number, self.checkpoints_path,
                                           head.size))
        if edge.root() != head.root:
            raise NotaryError("the first %d lines of %s do not hash to the root checkpoint %d in %s signed: the "
                              "log was rewritten; not signing" % (head.size, self.log_path, last.entry.number,
                                                                  self.checkpoints_path))
        self._edge, self._offset, self._signed = edge, offset, head

    def _load_state(self):
        try:
            data = json.loads(read_regular_file(self.state_path, 1 << 16).decode("utf-8"))
            if data.get("format") != STATE_FORMAT or data.get("origin") != self.origin:
                return None
            edge = RightEdge(int(data["size"]), [base64.b64decode(h, validate=True) for h in data["edge"]])
            offset = int(data["offset"])
        except (OSError, ValueError, KeyError, TypeError, AttributeError):
            return None
        if not edge.is_well_formed() or offset < edge.size:
            return None
        return edge, offset

    def _save_state(self) -> None:
        data = {"format": STATE_FORMAT, "origin": self.origin, "size": self._edge.size, "offset": self._offset,
                "edge": [base64.b64encode(h).decode("ascii") for h in self._edge.hashes]}
        try:
            # No fsync: a state lost in a crash is rebuilt from the log.
            write_atomically(self.state_path, json.dumps(data).encode("utf-8"), durable=False)
        except OSError:
            pass  # only a shortcut for the next start; without it the tree is rebuilt

    # -- in the background -------------------------------------------------------
    def start(self) -> "Notary":
        """Notarise every ``interval`` seconds in a daemon thread."""
        if self._thread is not None:
            raise NotaryError("the notary is already running")
        self._stop.clear()
        self.error = None
        self._thread = threading.Thread(target=self._run, name="vorm-zel-notary", daemon=True)
        self._thread.start()
        return self

    def _run(self) -> None:
        while not self._stop.wait(self.interval):
            try:
                self.notarize()
            except BaseException as error:  # kept for stop(), which raises it
                self.error = error
                return

    def stop(self) -> Optional[TreeHead]:
        """Stop the thread and sign a last checkpoint (returned, or None when
        nothing was added). Raises NotaryError when the thread had failed."""
        thread, self._thread = self._thread, None
        if thread is not None:
            self._stop.set()
            thread.join()
        if self.error is not None:
            error, self.error = self.error, None
            raise NotaryError("the notary thread stopped: %s" % error) from error
        return self.notarize()

    def __enter__(self) -> "Notary":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
