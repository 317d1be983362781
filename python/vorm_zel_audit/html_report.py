"""An audit report people can look at: one self-contained HTML file.

    report = verify_log("audit.wal", public_key_hex)       # the verification pass
    result = write_html_report(report, "report.html")      # the summary pass, then the page

The log is read twice in all: once by ``verify_log`` (hashes, signatures,
chains) and once by the inspector's summary (``summarize``), which also
gathers every per-record series the timelines draw (``timeline.Timeline``).
Only for the failed lines that do not parse is a short excerpt read, at the
offset verification reported.

Plotting library: Plotly, with its JavaScript inlined (about 4.8 MB). It was
chosen over Bokeh and matplotlib because it writes one file that works
offline with zoom, pan and hover on every chart (a hover names a record's
line), its shared time axis gives a time-range filter for free, and its
Python side needs only narwhals and packaging. Bokeh's inline page is
smaller (about 1.5 MB of JavaScript) but the Python package pulls in pandas,
tornado, pillow and more; matplotlib's SVG is the smallest but static: no
hover, no zoom, nothing to filter with. Plotly and numpy are the optional
``report`` extra (``pip install vorm_zel[report]``), imported only here, so
verification never loads them.
"""
from __future__ import annotations

import dataclasses
import os
import time
from typing import Collection, Dict

from .atomic_file import write_atomically
from .log_summary import summarize
from .logfile import DEFAULT_MAX_LINE_BYTES
from .regular_file import PathLike, open_regular
from .report import VerifyReport
from .timeline import Timeline

EXCERPT_BYTES = 4096
MAX_VIEWS = 500  # failed lines shown decoded


class MissingExtra(ImportError):
    """Plotly or numpy, which the report needs, is not installed."""


@dataclasses.dataclass
class HtmlReport:
    """What ``write_html_report`` wrote: the output path and size, whether the
    timelines were binned, the points each chart holds, and the time taken by
    the summary pass and the page (verification's own is ``verify.elapsed``)."""

    output: str
    verify: VerifyReport
    bytes_written: int
    records: int
    binned: bool
    points: Dict[str, int]
    seconds: float


def _libraries() -> None:
    try:
        import numpy  # noqa: F401
        import plotly  # noqa: F401
    except ImportError as error:
        raise MissingExtra("the report needs plotly and numpy: pip install 'vorm_zel[report]' (%s)" % error) \
            from None


def _excerpts(path: str, report: VerifyReport, views: Collection[int]) -> Dict[int, str]:
    """The first bytes of each failed line that holds no parsed record."""
    wanted: Dict[int, int] = {}
    for failure in report.failures:
        if failure.line is not None and failure.offset is not None and failure.line not in views:
            wanted.setdefault(failure.line, failure.offset)
    excerpts: Dict[int, str] = {}
    if not wanted:
        return excerpts
    with open_regular(path, "log") as handle:
        for line, offset in sorted(wanted.items())[:MAX_VIEWS]:
            handle.seek(offset)
            data = handle.read(EXCERPT_BYTES)
            end = data.find(b"\n")
            text = data[:end if end >= 0 else len(data)].decode("utf-8", "replace")
            excerpts[line] = text + ("..." if end < 0 and len(data) == EXCERPT_BYTES else "")
    return excerpts


def write_html_report(report: VerifyReport, output: PathLike) -> HtmlReport:
    """Summarise the log ``report`` verified, draw it and write the page to
    ``output`` (replaced whole). Raises MissingExtra without plotly or numpy,
    OSError when the log cannot be read again or the page cannot be
    written."""
    _libraries()
    from .report_charts import build_charts
    from .report_page import render_page

    started = time.perf_counter()
    timeline = Timeline((failure.line for failure in report.failures if failure.line is not None), MAX_VIEWS)
    summary = summarize(report.path, report.max_line_bytes or DEFAULT_MAX_LINE_BYTES, observer=timeline)
    excerpts = _excerpts(report.path, report, timeline.views)
    changed = None
    if summary["lines"] != report.lines:
        changed = ("the log had %d complete lines when it was verified and %d when it was summarised: it "
                   "changed in between, and the timelines and tables show the later state"
                   % (report.lines, summary["lines"]))
    charts = build_charts(timeline, report.failures)
    figure_html = charts.figure.to_html(full_html=False, include_plotlyjs=True, div_id="timeline",
                                        config={"displaylogo": False, "responsive": True})
    page = render_page(report, summary, timeline, charts, figure_html, excerpts, changed)
    data = page.encode("utf-8", "backslashreplace")  # a lone surrogate in a decoded text stays visible
    write_atomically(output, data)
    return HtmlReport(os.fspath(output), report, len(data), timeline.records, charts.binned, charts.points,
                      time.perf_counter() - started)

