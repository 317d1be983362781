"""The distribution's version, from its installed metadata."""
from __future__ import annotations

try:
    from importlib import metadata as _metadata
except ImportError:  # Python 3.7
    import importlib_metadata as _metadata  # type: ignore[no-redef]


def _version() -> str:
    try:
        return _metadata.version("vorm_zel")
    except _metadata.PackageNotFoundError:
        return "0+unknown"  # run from a source tree that was never installed


__version__ = _version()
