"""Argument types the ``vorm-zel`` subcommands share; a value they refuse is
a usage error (exit 2)."""
from __future__ import annotations

import argparse
from typing import Callable


class UsageError(Exception):
    """A command line that cannot be run as given (exit 2)."""


def at_least(minimum: int) -> Callable[[str], int]:
    """A whole number of at least ``minimum``."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
        if value < minimum:
            raise argparse.ArgumentTypeError("must be at least %d, not %d" % (minimum, value))
        return value
    return parse


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text) from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number of seconds, not %s" % text)
    return value
