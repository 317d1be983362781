"""Verify a vorm_zel write-ahead log with vorm_zel_audit.

vorm_zel_audit is an independent verifier (blake3 and cryptography; it never
imports vorm_zel). For every line it rebuilds the seal text, checks the
BLAKE3 hash and the Ed25519 signature, and checks that the chained merkle
roots are consistent; a new engine opened on an existing log starts a new
chain from the genesis root, which is reported as a restart, not as a break.
The report says what that proves and what it does not: the chain is unkeyed,
so a pass alone does not prove the log complete or in order.

    pip install .        # vorm_zel, vorm_zel_audit and the vorm-zel command
    python examples/verify_log.py audit.wal [--public-key HEX] [--checkpoint FILE]

Exit status 0 when every line verifies, 1 otherwise. The `vorm-zel verify`
command does the same with more options (see the README).
"""
import argparse
import sys

from vorm_zel_audit import public_key_from_key_file, verify_log


def main():
    parser = argparse.ArgumentParser(description="Verify a vorm_zel write-ahead log.")
    parser.add_argument("log")
    parser.add_argument("--public-key", help="64 hex digits (default: derived from LOG.key)")
    parser.add_argument("--checkpoint", help="a checkpoint written by `vorm-zel checkpoint`")
    args = parser.parse_args()

    key = args.public_key
    if key is None and args.checkpoint is None:
        key = public_key_from_key_file(args.log + ".key")
        print("public key derived from %s.key: this shows self-consistency only; "
              "pin the key with --public-key" % args.log)
    report = verify_log(args.log, key, checkpoint=args.checkpoint, max_failures=None)
    print("public key: %s" % report.public_key_hex)

    for failure in report.failures:
        where = "log" if failure.line is None else "line %d" % failure.line
        print("%s: %s: %s" % (where, failure.kind, failure.detail))
    failed_lines = {failure.line for failure in report.failures
                    if failure.line is not None and failure.kind != "torn_tail"}
    restarts = max(0, report.chain_starts - 1)
    print("%d lines, %d verified, %d failed, %d chain restarts"
          % (report.lines, report.lines - len(failed_lines), len(failed_lines), restarts))
    print(report.proven.statement)
    return 0 if report.passed else 1


if __name__ == "__main__":
    sys.exit(main())
