"""The ``vorm-zel`` subcommands of notarised logs: notarize, prove,
verify-proof, public-key. ``cli`` registers them and maps their errors to
exit codes (0 done or verified, 1 not verified, 2 could not run)."""
from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
from typing import Callable, Dict

from . import bounded_json
from .arguments import at_least, positive_seconds
from .atomic_file import write_atomically
from .keys import normalise_public_key_hex
from .log_identity import LogIdentity
from .notary import DEFAULT_INTERVAL, Notary, NotaryError
from .proof_file import (NotAProof, ProofError, build_consistency_proof, build_inclusion_proof,
                         check_old_checkpoint, check_proof)
from .sidecar import default_path
from .regular_file import read_regular_file
from .signing_key import SigningKey

EXIT_OK, EXIT_FAILED, EXIT_ERROR = 0, 1, 2
MAX_PROOF_BYTES = 1 << 20

# Errors that mean "could not run" (exit 2).
ERRORS = (NotaryError, ProofError, NotAProof)


def add_commands(commands: "argparse._SubParsersAction") -> Dict[str, Callable[[argparse.Namespace], int]]:
    notarize = commands.add_parser(
        "notarize", help="sign a checkpoint of every complete line into LOG.checkpoints",
        description="Sign a Merkle tree checkpoint of the log's complete lines with the log's own key and "
                    "append it to the checkpoints file.")
    notarize.add_argument("log", metavar="LOG")
    notarize.add_argument("--key-file", metavar="PATH", help="the 32-byte Ed25519 seed (default: LOG.key)")
    notarize.add_argument("--checkpoints", metavar="PATH", help="the checkpoints file (default: LOG.checkpoints)")
    notarize.add_argument("--follow", action="store_true",
                          help="keep notarising as the log grows; SIGINT or SIGTERM stops after a last checkpoint")
    notarize.add_argument("--interval", type=positive_seconds, default=DEFAULT_INTERVAL, metavar="SECONDS",
                          help="pause between checkpoints with --follow (default %g)" % DEFAULT_INTERVAL)

    prove = commands.add_parser(
        "prove", help="write a proof of one line, or that the log only grew",
        description="Write a self-contained inclusion proof of one line (--line), or a consistency proof from "
                    "an older tree size to the latest checkpoint (--consistency).")
    prove.add_argument("log", metavar="LOG")
    what = prove.add_mutually_exclusive_group(required=True)
    what.add_argument("--line", "-n", type=at_least(1), metavar="N", help="the line, counted from 1 as verify reports it")
    what.add_argument("--consistency", type=at_least(0), metavar="OLD_SIZE", help="the older tree size (lines)")
    prove.add_argument("--checkpoints", metavar="PATH", help="the checkpoints file (default: LOG.checkpoints)")
    key = prove.add_mutually_exclusive_group()
    key.add_argument("--public-key", metavar="HEX", help="accept checkpoints of this key only (default: LOG.key's)")
    key.add_argument("--key-file", metavar="PATH", help="take the public key from this seed file")
    prove.add_argument("-o", "--output", metavar="FILE", help="write the proof here (default: stdout)")

    verify_proof = commands.add_parser(
        "verify-proof", help="check a proof offline; exit 0 when it verifies",
        description="Check a proof written by prove with the pinned public key. Needs nothing else.")
    verify_proof.add_argument("proof", metavar="PROOF")
    verify_proof.add_argument("--public-key", metavar="HEX", required=True, help="the log's public key (pinned)")
    verify_proof.add_argument("--old-checkpoint", metavar="FILE",
                              help="a checkpoint note you kept: a consistency proof must start from it")
    verify_proof.add_argument("--json", action="store_true", help="print one JSON object")

    public_key = commands.add_parser(
        "public-key", help="print a key file's public key and checkpoint verifier key",
        description="Print the public key (hex) of a 32-byte seed file, and the verifier key of the checkpoints "
                    "of the log beside it, for auditors and witnesses.")
    public_key.add_argument("key_file", metavar="LOG.key")
    public_key.add_argument("--log", metavar="LOG", help="the log the key signs (default: the key file's name "
                                                         "without .key)")
    return {"notarize": _notarize, "prove": _prove, "verify-proof": _verify_proof, "public-key": _public_key}


def _notarize(args: argparse.Namespace) -> int:
    notary = Notary(args.log, key_file=args.key_file, checkpoints_path=args.checkpoints, interval=args.interval)
    print("notarising %s as %s" % (args.log, notary.origin), file=sys.stderr)
    head = notary.notarize()
    _said(notary, head)
    if args.follow:
        stop = threading.Event()

        def finish(signum, frame):
            stop.set()
        previous = {number: signal.signal(number, finish) for number in (signal.SIGINT, signal.SIGTERM)}
        try:
            while not stop.wait(args.interval):
                _said(notary, notary.notarize())
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)
        _said(notary, notary.notarize())
    if notary.last_checkpoint is None:
        print("nothing to notarise: %s has no complete line" % args.log, file=sys.stderr)
    return EXIT_OK


def _said(notary: Notary, head) -> None:
    if head is not None:
        print("checkpoint: %d lines, root %s -> %s" % (head.size, head.root.hex(), notary.checkpoints_path),
              flush=True)


def _public_key_for(args: argparse.Namespace) -> bytes:
    if args.public_key:
        return bytes.fromhex(normalise_public_key_hex(args.public_key))
    return SigningKey.from_seed_file(args.key_file or args.log + ".key").public_key


def _prove(args: argparse.Namespace) -> int:
    key = _public_key_for(args)
    checkpoints = args.checkpoints or default_path(args.log)
    if args.line is not None:
        proof = build_inclusion_proof(args.log, args.line, checkpoints, key)
    else:
        proof = build_consistency_proof(args.log, args.consistency, checkpoints, key)
    text = json.dumps(proof, indent=1, ensure_ascii=False) + "\n"
    if args.output:
        write_atomically(args.output, text.encode("utf-8"))
        print("proof written to %s (tree size %d)" % (args.output, proof["tree_size"]), file=sys.stderr)
    else:
        sys.stdout.write(text)
    return EXIT_OK


def _verify_proof(args: argparse.Namespace) -> int:
    key = bytes.fromhex(normalise_public_key_hex(args.public_key))
    try:
        proof = bounded_json.loads(read_regular_file(args.proof, MAX_PROOF_BYTES + 1).decode("utf-8"), 8)
    except UnicodeDecodeError:
        raise NotAProof("%s is not UTF-8 text" % args.proof)
    except ValueError as error:
        raise NotAProof("%s is not JSON: %s" % (args.proof, error))
    result = check_proof(proof, key)
    if result.verified and args.old_checkpoint:
        try:
            check_old_checkpoint(proof, read_regular_file(args.old_checkpoint, MAX_PROOF_BYTES).decode(
                "utf-8", "replace"), key)
            result.statement += "; it starts from the checkpoint in %s" % args.old_checkpoint
        except ValueError as error:
            result.verified = False
            result.statement = "NOT verified: %s" % error
    if args.json:
        print(json.dumps(result.to_dict(), indent=2, ensure_ascii=False))
    else:
        print(result.statement)
    return EXIT_OK if result.verified else EXIT_FAILED


def _public_key(args: argparse.Namespace) -> int:
    key = SigningKey.from_seed_file(args.key_file).public_key
    log = args.log or (args.key_file[:-4] if args.key_file.endswith(".key") else args.key_file)
    identity = LogIdentity.for_log(log, key)
    print("public key: %s" % key.hex())
    print("checkpoint origin: %s" % identity.origin)
    print("checkpoint verifier key: %s" % identity.verifier_key.to_string())
    return EXIT_OK

