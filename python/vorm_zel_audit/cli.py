"""The ``vorm-zel`` command: verify, checkpoint, inspect, report, and (``notary_cli``)
notarize, prove, verify-proof, public-key.

Exit codes: 0 the log verified (or the command did its job), 1 verification
failed (nothing written by ``checkpoint``), 2 the command could not run (bad
arguments; a log, key or checkpoint that is missing, unreadable, unusable or
not a regular file), 3 an internal error (a bug: please report it with the
traceback printed). With ``--json`` exactly one JSON object is printed on
every path, errors included.
"""
from __future__ import annotations

import argparse
import json
import sys
import traceback
from typing import Any, Callable, List, NoReturn, Optional, Sequence, Tuple

from . import fleet_cli, notary_cli
from .arguments import UsageError, at_least
from .checkpoint import Checkpoint, InvalidCheckpoint, coerce
from .checkpointing import make_checkpoint
from .cli_keys import SELF_CONSISTENCY, resolve_key
from .html_report import MissingExtra, write_html_report
from .keys import InvalidKey
from .log_summary import NoSuchLine, format_line_view, format_summary, line_view, summarize
from .logfile import DEFAULT_MAX_LINE_BYTES
from .progress import ProgressBar
from .report import VerifyReport
from .verify import DEFAULT_MAX_FAILURES, verify_log
from .version import __version__

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERNAL = 3

class _Parser(argparse.ArgumentParser):
    """Reports a usage error by raising it, so that ``main`` answers it like
    every other error (in JSON with ``--json``)."""

    def error(self, message: str) -> NoReturn:
        raise UsageError("%s: %s" % (self.prog, message))


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vorm-zel", description="Verify and inspect vorm_zel write-ahead logs.",
        epilog="exit codes: 0 verified, 1 verification failed, 2 could not run, 3 internal error")
    parser.add_argument("--version", action="version", version="vorm_zel_audit " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def line_cap(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--max-line-bytes", type=at_least(1), default=DEFAULT_MAX_LINE_BYTES, metavar="N",
                         help="a longer line is reported as malformed without being read (default %d)"
                              % DEFAULT_MAX_LINE_BYTES)

    def key_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_mutually_exclusive_group()
        group.add_argument("--public-key", metavar="HEX", help="the engine's public key, 64 hex digits (pinned)")
        group.add_argument("--key-file", metavar="PATH",
                           help="derive the public key from a 32-byte seed file (default: LOG.key, "
                                "which only shows self-consistency)")
        sub.add_argument("--jobs", "-j", type=at_least(1), metavar="N",
                         help="worker processes, at least 1 (default: the usable CPUs)")
        sub.add_argument("--max-failures", type=at_least(0), default=DEFAULT_MAX_FAILURES, metavar="N",
                         help="failures reported in detail (all are counted; default %d)" % DEFAULT_MAX_FAILURES)
        sub.add_argument("--recheck", action="store_true",
                         help="check again the lines a checkpoint vouches for (default: accept them on its word)")
        line_cap(sub)
        sub.add_argument("--json", action="store_true", help="print one machine-readable JSON report")
        sub.add_argument("--no-progress", action="store_true", help="no progress bar on a terminal")

    verify = commands.add_parser("verify", help="verify one log or many; exit 0 when every one verifies",
                                 description="Check every record's hash and signature and the chains' links, "
                                             "and say what that proves. With several logs, or --dask, each "
                                             "log gets its report and the fleet a summary; exit 1 when any log "
                                             "failed, else 2 when any could not be verified.")
    verify.add_argument("logs", metavar="LOG", nargs="+", help="a path, or an fsspec URL (needs the dask extra)")
    key_options(verify)
    verify.add_argument("--dask", metavar="SCHEDULER_ADDRESS",
                        help="check the logs' spans on this Dask cluster (pip install vorm_zel[dask]); a local "
                             "path must be readable at the same path on every worker")
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="a checkpoint of this log: detects truncation and rewriting, accepts the lines it "
                             "covers on its word and supplies its key when none is given")
    verify.add_argument("--strict", action="store_true", help="a torn tail (incomplete last line) fails")
    verify.add_argument("--checkpoints", metavar="PATH",
                        help="signed checkpoints of this log (default: LOG.checkpoints when it exists)")
    verify.add_argument("--require-notarized", action="store_true",
                        help="lines no signed checkpoint covers fail")

    checkpoint = commands.add_parser("checkpoint", help="verify a log and write a checkpoint of it",
                                     description="Verify the log and, if it passes, write a checkpoint.")
    checkpoint.add_argument("log", metavar="LOG")
    key_options(checkpoint)
    checkpoint.add_argument("--checkpoint", metavar="FILE", dest="previous",
                            help="an earlier checkpoint: only lines after it are checked")
    checkpoint.add_argument("-o", "--output", metavar="FILE", help="write the checkpoint here (default: stdout)")

    inspect = commands.add_parser("inspect", help="summarise a log, or show one line decoded",
                                  description="Summarise a log (no key needed), or show one line.")
    inspect.add_argument("log", metavar="LOG")
    inspect.add_argument("--line", "-n", type=at_least(1), metavar="N",
                         help="show line N (from 1) with its JSON texts decoded")
    line_cap(inspect)
    inspect.add_argument("--json", action="store_true", help="print JSON")

    report = commands.add_parser("report", help="write a self-contained HTML audit report; exit 0 when the log "
                                                "verifies",
                                 description="Verify the log, summarise it, and write one HTML page (no network "
                                             "needed) with the verdict, timelines, tables and the failed lines "
                                             "decoded. Needs the report extra: pip install 'vorm_zel[report]'.")
    report.add_argument("log", metavar="LOG")
    key_options(report)
    report.add_argument("--checkpoints", metavar="PATH",
                        help="signed checkpoints of this log (default: LOG.checkpoints when it exists)")
    report.add_argument("-o", "--output", metavar="FILE", required=True, help="write the HTML page here")
    parser.set_defaults(notary_commands=notary_cli.add_commands(commands))
    return parser


def _progress(args: argparse.Namespace) -> Optional[ProgressBar]:
    if args.json or args.no_progress or not sys.stderr.isatty():
        return None
    return ProgressBar(sys.stderr)


def _checked(args: argparse.Namespace, checkpoint: Optional[Checkpoint],
             check: Callable[[Optional[str], dict], Tuple[Any, VerifyReport]]) -> Tuple[Any, VerifyReport]:
    """Resolves the key and runs ``check(key, options)`` (which returns a
    value and its report) under the progress bar."""
    key, source, pinned = resolve_key(args, args.log, checkpoint)
    bar = _progress(args)
    options = dict(jobs=args.jobs, max_failures=args.max_failures, progress=bar, recheck=args.recheck,
                   max_line_bytes=args.max_line_bytes)
    if key is not None:
        options.update(key_source=source, key_pinned=pinned)
    try:
        value, report = check(key, options)
    finally:
        if bar is not None:
            bar.close()
    if not report.key_pinned and key is not None:
        report.notes.insert(0, SELF_CONSISTENCY % (args.log + ".key"))
    return value, report


def _verify(args: argparse.Namespace) -> int:
    if len(args.logs) > 1 or args.dask:
        return fleet_cli.verify_many(args)
    args.log = args.logs[0]
    checkpoint = coerce(args.checkpoint) if args.checkpoint else None
    _, report = _checked(args, checkpoint, lambda key, options: (None, verify_log(
        args.log, key, checkpoint=checkpoint, strict=args.strict, checkpoints=args.checkpoints,
        require_notarized=args.require_notarized, **options)))
    print(report.to_json(indent=2) if args.json else report.format_text())
    return EXIT_OK if report.passed else EXIT_FAILED


def _checkpoint(args: argparse.Namespace) -> int:
    previous = coerce(args.previous) if args.previous else None
    checkpoint, report = _checked(args, previous, lambda key, options: make_checkpoint(
        args.log, key, previous, **options))
    if checkpoint is None:
        if args.json:
            print(json.dumps({"checkpoint": None, "report": report.to_dict()}, indent=2, ensure_ascii=False))
        else:
            print(report.format_text())
            print("no checkpoint written: the log did not verify", file=sys.stderr)
        return EXIT_FAILED
    if args.output:
        checkpoint.save(args.output)
    if args.json:
        print(json.dumps({"checkpoint": checkpoint.to_dict(), "written_to": args.output,
                          "report": report.to_dict()}, indent=2, ensure_ascii=False))
    else:
        if args.output is None:
            sys.stdout.write(checkpoint.to_json())
        summary = sys.stderr if args.output is None else sys.stdout
        print(report.format_text(), file=summary)
        print("checkpoint%s: %d lines, %d bytes, %d chains, key %s" % (
            " written to %s" % args.output if args.output else "", checkpoint.line_count,
            checkpoint.byte_length, len(checkpoint.segments),
            "pinned" if checkpoint.key_pinned else "not pinned (self-consistency only)"), file=summary)
    return EXIT_OK


def _inspect(args: argparse.Namespace) -> int:
    if args.line is not None:
        view = line_view(args.log, args.line, args.max_line_bytes)
        print(format_line_view(view))
        return EXIT_OK
    summary = summarize(args.log, args.max_line_bytes)
    print(json.dumps(summary, indent=2, ensure_ascii=False) if args.json else format_summary(summary))
    return EXIT_OK


def _report(args: argparse.Namespace) -> int:
    _, report = _checked(args, None, lambda key, options: (None, verify_log(
        args.log, key, checkpoints=args.checkpoints, **options)))
    written = write_html_report(report, args.output)
    if args.json:
        print(json.dumps({"passed": report.passed, "written_to": written.output, "bytes": written.bytes_written,
                          "records_drawn": written.records, "binned": written.binned,
                          "proven": report.proven.statement if report.proven else None}, indent=2,
                         ensure_ascii=False))
    else:
        print("%s: %s (%d bytes); %s" % ("PASSED" if report.passed else "FAILED", written.output,
                                         written.bytes_written, report.proven.statement if report.proven else ""))
    return EXIT_OK if report.passed else EXIT_FAILED


_EXPECTED = (UsageError, MissingExtra, InvalidKey, InvalidCheckpoint, NoSuchLine, OSError) + notary_cli.ERRORS


def _fail(message: str, kind: str, as_json: bool, code: int) -> int:
    if as_json:
        print(json.dumps({"passed": False, "error": message, "error_kind": kind}))
    print("vorm-zel: %s: %s" % ("internal error" if code == EXIT_INTERNAL else "error", message), file=sys.stderr)
    return code


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments: List[str] = list(sys.argv[1:] if argv is None else argv)
    as_json = "--json" in arguments
    try:
        args = _parser().parse_args(arguments)
        as_json = bool(getattr(args, "json", False))
        command = {"verify": _verify, "checkpoint": _checkpoint, "inspect": _inspect,
                   "report": _report}.get(args.command) \
            or args.notary_commands[args.command]
        return command(args)
    except _EXPECTED as error:
        if isinstance(error, OSError) and error.filename and error.strerror:
            message = "%s: %s" % (error.filename, error.strerror)
        else:
            message = str(error)
        return _fail(message, "usage" if isinstance(error, UsageError) else "input", as_json, EXIT_ERROR)
    except KeyboardInterrupt:
        return _fail("interrupted", "interrupted", as_json, EXIT_ERROR)
    except Exception as error:  # a bug (a ValueError too): say so, never blame the input
        traceback.print_exc()
        return _fail("%s: %s" % (type(error).__name__, error), "internal", as_json, EXIT_INTERNAL)


if __name__ == "__main__":
    sys.exit(main())
