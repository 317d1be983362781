"""``vorm-zel verify LOG... [--dask SCHEDULER_ADDRESS]``: several logs, or a
cluster. One log without ``--dask`` stays with the single-log command."""
from __future__ import annotations

import argparse
import json
from typing import Any, Iterator, Mapping, Optional, Set

from .arguments import UsageError
from .checkpoint import Checkpoint, coerce
from .cli_keys import SELF_CONSISTENCY, resolve_key
from .fleet import FleetReport, LogKey, verify_logs
from .keys import InvalidKey

EXIT_OK, EXIT_FAILED, EXIT_ERROR = 0, 1, 2


class _KeysBesideLogs(Mapping):
    """Each log's key, resolved when the log is verified, so that one log
    without a usable key is an error for that log only."""

    def __init__(self, args: argparse.Namespace, checkpoint: Optional[Checkpoint]) -> None:
        self._args = args
        self._checkpoint = checkpoint
        self.unpinned: Set[str] = set()

    def __getitem__(self, log: str) -> Optional[LogKey]:
        try:
            key, source, pinned = resolve_key(self._args, log, self._checkpoint)
        except UsageError as error:
            raise InvalidKey(str(error)) from None
        if key is None:
            return None
        if not pinned:
            self.unpinned.add(log)
        return LogKey(key, source, pinned)

    def __contains__(self, log: object) -> bool:
        return isinstance(log, str) and log in self._args.logs

    def __iter__(self) -> Iterator[str]:
        return iter(self._args.logs)

    def __len__(self) -> int:
        return len(self._args.logs)


def _client(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--dask needs Dask's distributed package: pip install vorm_zel[dask]") from None
    try:
        return Client(address, timeout="30s")
    except (OSError, ValueError, TypeError) as error:
        raise UsageError("cannot reach the Dask scheduler at %s: %s" % (address, error)) from None


def verify_many(args: argparse.Namespace) -> int:
    several = len(args.logs) > 1
    if several and args.checkpoint:
        raise UsageError("--checkpoint is one log's checkpoint: give one LOG with it")
    if several and args.checkpoints:
        raise UsageError("--checkpoints names one log's signed checkpoints: give one LOG with it "
                         "(each local log's LOG.checkpoints is checked when it exists)")
    if args.dask and args.jobs:
        raise UsageError("--jobs sets the local worker processes; with --dask the cluster's workers check the logs")
    checkpoint = coerce(args.checkpoint) if args.checkpoint else None
    keys = _KeysBesideLogs(args, checkpoint)
    client = _client(args.dask) if args.dask else None
    try:
        fleet = verify_logs(args.logs, keys, client=client, checkpoint=checkpoint, jobs=args.jobs,
                            max_failures=args.max_failures, strict=args.strict, max_line_bytes=args.max_line_bytes,
                            recheck=args.recheck, checkpoints=args.checkpoints,
                            require_notarized=args.require_notarized)
    finally:
        if client is not None:
            client.close()
    for result in fleet.results:
        if result.report is not None and result.log in keys.unpinned:
            result.report.notes.insert(0, SELF_CONSISTENCY % (result.log + ".key"))
    print(json.dumps(fleet.to_dict(), indent=2, ensure_ascii=False) if args.json else fleet.format_text())
    return exit_code(fleet)


def exit_code(fleet: FleetReport) -> int:
    """1 when any log failed verification, else 2 when any could not be
    verified at all, else 0."""
    if fleet.summary.failed:
        return EXIT_FAILED
    return EXIT_ERROR if fleet.summary.errors else EXIT_OK
