"""The ``vorm-zel`` command: verify, checkpoint, inspect.

Exit codes: 0 the log verified (or the command did its job), 1 verification
failed (nothing written by ``checkpoint``), 2 the command could not run
(bad arguments, unreadable log, key or checkpoint).
"""
from __future__ import annotations

import argparse
import json
import os
import sys

from . import __version__
from .checkpoint import InvalidCheckpoint, coerce, make_checkpoint
from .log_summary import NoSuchLine, format_line_view, format_summary, line_view, summarize
from .keys import InvalidKey, normalise_public_key_hex, public_key_from_key_file
from . import notary_cli
from .progress import ProgressBar
from .verify import DEFAULT_MAX_FAILURES, verify_log

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2

SELF_CONSISTENCY = (
    "self-consistency only: the public key was derived from the key file next to the log (%s), so whoever "
    "could rewrite the log could also have replaced that key and re-signed it. Pin the key: --public-key "
    "with the engine's public_key_hex() kept elsewhere, or a checkpoint.")


class UsageError(Exception):
    pass


def _parser():
    parser = argparse.ArgumentParser(
        prog="vorm-zel", description="Verify and inspect vorm_zel write-ahead logs.",
        epilog="exit codes: 0 verified, 1 verification failed, 2 could not run")
    parser.add_argument("--version", action="version", version="vorm_zel_audit " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def key_options(sub):
        group = sub.add_mutually_exclusive_group()
        group.add_argument("--public-key", metavar="HEX", help="the engine's public key, 64 hex digits (pinned)")
        group.add_argument("--key-file", metavar="PATH",
                           help="derive the public key from a 32-byte seed file (default: LOG.key, "
                                "which only shows self-consistency)")
        sub.add_argument("--jobs", "-j", type=int, metavar="N",
                         help="worker processes (default: the number of CPUs)")
        sub.add_argument("--max-failures", type=int, default=DEFAULT_MAX_FAILURES, metavar="N",
                         help="failures reported in detail (all are counted; default %d)" % DEFAULT_MAX_FAILURES)
        sub.add_argument("--json", action="store_true", help="print one machine-readable JSON report")
        sub.add_argument("--no-progress", action="store_true", help="no progress bar on a terminal")

    verify = commands.add_parser("verify", help="verify a log; exit 0 when it verifies",
                                 description="Check every record's hash, signature and chain.")
    verify.add_argument("log", metavar="LOG")
    key_options(verify)
    verify.add_argument("--checkpoint", metavar="FILE",
                        help="a checkpoint of this log: detects truncation and rewriting, checks only "
                             "newer lines and pins the key when none is given")
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
    inspect.add_argument("--line", "-n", type=int, metavar="N", help="show line N with its JSON texts decoded")
    inspect.add_argument("--json", action="store_true", help="print JSON")
    parser.set_defaults(notary_commands=notary_cli.add_commands(commands))
    return parser


def _resolve_key(args, checkpoint):
    """(public key hex or None, source, self-consistency only?)"""
    next_to_log = args.log + ".key"
    if args.public_key:
        return normalise_public_key_hex(args.public_key), "given with --public-key", False
    if args.key_file:
        own = os.path.exists(next_to_log) and os.path.exists(args.key_file) and os.path.samefile(
            args.key_file, next_to_log)
        return public_key_from_key_file(args.key_file), "derived from %s" % args.key_file, own
    if checkpoint is not None:
        return checkpoint.public_key, "pinned by the checkpoint", False
    if not os.path.exists(next_to_log):
        raise UsageError("no public key: give --public-key, --key-file or --checkpoint (%s does not exist)"
                         % next_to_log)
    return public_key_from_key_file(next_to_log), "derived from %s" % next_to_log, True


def _progress(args):
    if args.json or args.no_progress or not sys.stderr.isatty():
        return None
    return ProgressBar(sys.stderr)


def _checked(args, checkpoint, check):
    """Resolves the key, runs ``check(key, progress)`` (which returns a value
    and its report) under the progress bar, and notes where the key came
    from on the report."""
    if args.max_failures is not None and args.max_failures < 0:
        raise UsageError("--max-failures must be 0 or more")
    key, source, own_key = _resolve_key(args, checkpoint)
    bar = _progress(args)
    try:
        value, report = check(key, bar)
    finally:
        if bar is not None:
            bar.close()
    report.key_source = source
    if own_key:
        report.notes.insert(0, SELF_CONSISTENCY % (args.log + ".key"))
    return value, report


def _verify(args):
    checkpoint = coerce(args.checkpoint) if args.checkpoint else None
    _, report = _checked(args, checkpoint, lambda key, bar: (None, verify_log(
        args.log, key, checkpoint=checkpoint, jobs=args.jobs, max_failures=args.max_failures,
        strict=args.strict, progress=bar, checkpoints=args.checkpoints,
        require_notarized=args.require_notarized)))
    if args.json:
        print(report.to_json(indent=2))
    else:
        print(report.format_text())
    return EXIT_OK if report.passed else EXIT_FAILED


def _checkpoint(args):
    previous = coerce(args.previous) if args.previous else None
    checkpoint, report = _checked(args, previous, lambda key, bar: make_checkpoint(
        args.log, key, previous, jobs=args.jobs, max_failures=args.max_failures, progress=bar))
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
        print("checkpoint%s: %d lines, %d bytes, %d chains" % (
            " written to %s" % args.output if args.output else "", checkpoint.line_count,
            checkpoint.byte_length, len(checkpoint.segments)), file=summary)
    return EXIT_OK


def _inspect(args):
    if args.line is not None:
        view = line_view(args.log, args.line)
        print(format_line_view(view))
        return EXIT_OK
    summary = summarize(args.log)
    print(json.dumps(summary, indent=2, ensure_ascii=False) if args.json else format_summary(summary))
    return EXIT_OK


def main(argv=None):
    args = _parser().parse_args(argv)
    command = {"verify": _verify, "checkpoint": _checkpoint, "inspect": _inspect}.get(args.command) \
        or args.notary_commands[args.command]
    try:
        return command(args)
    except (UsageError, InvalidKey, InvalidCheckpoint, NoSuchLine, ValueError, OSError) + notary_cli.ERRORS as error:
        if isinstance(error, OSError) and error.filename:
            message = "%s: %s" % (error.filename, error.strerror or error)
        else:
            message = str(error)
        if getattr(args, "json", False):
            print(json.dumps({"error": message, "passed": False}))
        print("vorm-zel: error: %s" % message, file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("vorm-zel: interrupted", file=sys.stderr)
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
