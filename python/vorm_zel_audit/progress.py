"""A one-line progress bar on a terminal (stderr)."""
from __future__ import annotations

import time


class ProgressBar(object):
    """``bar(done, total, lines)`` redraws at most ten times a second;
    ``bar.close()`` clears the line."""

    WIDTH = 30

    def __init__(self, stream, label="verifying"):
        self._stream = stream
        self._label = label
        self._started = time.perf_counter()
        self._last = 0.0
        self._drawn = False

    def __call__(self, done, total, lines):
        now = time.perf_counter()
        if done < total and now - self._last < 0.1:
            return
        self._last = now
        fraction = done / total if total else 1.0
        filled = int(self.WIDTH * fraction)
        rate = lines / (now - self._started) if now > self._started else 0.0
        self._stream.write("\r%s [%s%s] %3d%% %d lines %.0f lines/s " % (
            self._label, "#" * filled, "." * (self.WIDTH - filled), int(fraction * 100), lines, rate))
        self._stream.flush()
        self._drawn = True

    def close(self):
        if self._drawn:
            self._stream.write("\r" + " " * 79 + "\r")
            self._stream.flush()
            self._drawn = False
