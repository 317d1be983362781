"""Where a log's bytes come from: a local path, or any fsspec URL.

A plain path is a *local* log: it is opened only when it is a regular file,
and its signed checkpoints (``LOG.checkpoints``) are checked. Anything with a
protocol (``file://``, ``memory://``, ``s3://``, ``gs://``, ...) is read
through fsspec (``pip install vorm_zel[dask]``, imported only then): the
verifier reads the size, the bytes around the cuts between spans and the
tail; whoever checks a span (a worker process or a Dask worker) reads that
span itself. A source is small and picklable so that it can travel to the
workers with the span they are to check.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any, BinaryIO, Dict, Optional, Union

from .logfile import Span, file_size, read_path_span, read_span
from .regular_file import PathLike, open_regular


def is_url(log: Union[str, "os.PathLike[str]"]) -> bool:
    """True for ``protocol://...``; a plain (or ``os.PathLike``) path is local."""
    return isinstance(log, str) and "://" in log


@dataclasses.dataclass(frozen=True)
class LocalLog:
    path: str

    @property
    def name(self) -> str:
        return self.path

    def open(self) -> BinaryIO:
        return open_regular(self.path, "log")

    def size(self, handle: BinaryIO) -> int:
        return file_size(handle)

    def read(self, span: Span) -> bytes:
        return read_path_span(self.path, span)


@dataclasses.dataclass(frozen=True)
class UrlLog:
    url: str
    storage_options: Optional[Dict[str, Any]] = None

    @property
    def name(self) -> str:
        return self.url

    def _file_system(self) -> Any:
        try:
            from fsspec.core import url_to_fs
        except ImportError:
            raise OSError("reading %s needs fsspec (pip install vorm_zel[dask])" % self.url) from None
        return url_to_fs(self.url, **(self.storage_options or {}))

    def open(self) -> BinaryIO:
        file_system, path = self._file_system()
        if file_system.isdir(path):
            raise IsADirectoryError(21, "the log is a directory; only a file can be read", self.url)
        return file_system.open(path, "rb")

    def size(self, handle: BinaryIO) -> int:
        size = getattr(handle, "size", None)
        if size is None:
            size = handle.seek(0, os.SEEK_END)
        return int(size)

    def read(self, span: Span) -> bytes:
        with self.open() as handle:
            return read_span(handle, span)

    def exists_beside(self, suffix: str) -> bool:
        file_system, path = self._file_system()
        return bool(file_system.exists(path + suffix))


LogSource = Union[LocalLog, UrlLog]


def log_source(log: PathLike, storage_options: Optional[Dict[str, Any]] = None) -> LogSource:
    if is_url(log):
        return UrlLog(str(log), storage_options)
    return LocalLog(os.fspath(log))

