"""The timelines of an audit report: one Plotly figure of four rows that
share the time axis, so that zooming one zooms all (and filters the failure
table, see ``report_page``).

1. records per chain lane (one lane per chain: an engine run, or the records
   after a break), with the failures marked at their lines;
2. reputation and coherence;
3. core insight events;
4. the capture rate (records per second).

Up to ``EMBED_LIMIT`` timed records every record is a point (hover shows
its line). Above it the timelines are binned into ``TIME_BINS`` equal spans
of time: lanes become a heat map of records per bin, the scores the mean of
each bin with its minimum and maximum, insights a count per bin. Failures
are always drawn one by one (there are at most ``--max-failures``).
Needs numpy and plotly (the ``report`` extra), imported by the caller.
"""
from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
import plotly.graph_objects as go
from plotly.subplots import make_subplots

from .failures import Failure
from .timeline import Timeline

EMBED_LIMIT = 20_000
TIME_BINS = 1000
MAX_LANES = 40  # the later chains share one lane, "other chains"
RATE_BINS = 200
FAILURE_COLOUR = "#c62828"


@dataclasses.dataclass
class Charts:
    """The figure and what it holds: ``points`` maps each trace name to its
    number of points (what the page test checks in the browser)."""

    figure: Any
    binned: bool
    points: Dict[str, int]
    records_drawn: int
    untimed: int
    failures_placed: int
    failures_unplaced: int
    failure_ms: Dict[int, float]  # failure line -> the time it is drawn at (ms since the epoch)


def _bins(seconds: np.ndarray, count: int) -> np.ndarray:
    low, high = float(seconds.min()), float(seconds.max())
    if high <= low:
        high = low + 1.0
    return np.linspace(low, high, count + 1)


def _lane_rows(lanes: np.ndarray) -> np.ndarray:
    """Lane numbers as drawn: chains past MAX_LANES (and records outside any
    chain) share the last row."""
    rows = lanes.astype(np.int32)
    rows[(rows < 0) | (rows >= MAX_LANES)] = MAX_LANES
    return rows


def build_charts(timeline: Timeline, failures: Sequence[Failure]) -> Charts:
    seconds = np.frombuffer(timeline.seconds, dtype=np.float64) if timeline.records else np.zeros(0)
    timed = np.isfinite(seconds)
    times = seconds[timed]
    lines = np.frombuffer(timeline.lines, dtype=np.int64)[timed] if timeline.records else np.zeros(0, np.int64)
    lanes = np.frombuffer(timeline.lanes, dtype=np.dtype("l"))[timed] if timeline.records else np.zeros(0, int)
    reputation = np.frombuffer(timeline.reputation, dtype=np.float64)[timed] if timeline.records else np.zeros(0)
    coherence = np.frombuffer(timeline.coherence, dtype=np.float64)[timed] if timeline.records else np.zeros(0)
    insight = np.frombuffer(timeline.insight, dtype=np.int8)[timed].astype(bool) if timeline.records else \
        np.zeros(0, bool)
    binned = len(times) > EMBED_LIMIT
    figure = make_subplots(
        rows=4, cols=1, shared_xaxes=True, vertical_spacing=0.06, row_heights=[0.42, 0.24, 0.12, 0.22],
        subplot_titles=("records per chain" + (" (records per time bin)" if binned else ""),
                        "reputation and coherence" + (" (bin mean, with min and max)" if binned else ""),
                        "core insights" + (" (per time bin)" if binned else ""), "capture rate (records per second)"))
    points: Dict[str, int] = {}
    rows = _lane_rows(lanes)
    milliseconds = times * 1000.0
    if len(times) == 0:
        pass
    elif not binned:
        _per_record(figure, points, milliseconds, rows, lines, reputation, coherence, insight)
    else:
        _binned(figure, points, times, rows, reputation, coherence, insight)
    if len(times):
        _rate(figure, points, times)
    failure_ms, unplaced = _failures(figure, points, failures, timeline, seconds)
    used = sorted(set(rows.tolist())) if len(rows) else []
    figure.update_yaxes(row=1, col=1, tickmode="array", tickvals=used, autorange="reversed",
                        ticktext=[timeline.lane_label(int(lane)) if lane < MAX_LANES else "other chains"
                                  for lane in used])
    figure.update_yaxes(row=2, col=1, range=[-0.05, 1.05])
    figure.update_yaxes(row=3, col=1, showticklabels=binned)
    figure.update_xaxes(type="date")
    figure.update_layout(template="plotly_white", height=820, margin=dict(l=10, r=10, t=40, b=30),
                         legend=dict(orientation="h", y=-0.05), hovermode="closest")
    return Charts(figure, binned, points, int(len(times)), timeline.records - int(len(times)),
                  len(failure_ms), unplaced, failure_ms)


def _add(figure: Any, points: Dict[str, int], trace: Any, row: int, size: int) -> None:
    figure.add_trace(trace, row=row, col=1)
    points[trace.name] = size


def _per_record(figure: Any, points: Dict[str, int], ms: np.ndarray, rows: np.ndarray, lines: np.ndarray,
                reputation: np.ndarray, coherence: np.ndarray, insight: np.ndarray) -> None:
    hover = "line %{customdata}<br>%{x}<extra></extra>"
    line_numbers = lines.astype(np.int32 if lines.max() < 2 ** 31 else np.int64)
    _add(figure, points, go.Scatter(name="records", x=ms, y=rows.astype(np.int16), customdata=line_numbers,
                                    mode="markers", marker=dict(size=5, color="#1565c0"), hovertemplate=hover),
         1, len(ms))
    for name, values, colour in (("reputation", reputation, "#2e7d32"), ("coherence", coherence, "#ef6c00")):
        _add(figure, points, go.Scatter(name=name, x=ms, y=values, customdata=line_numbers, mode="markers",
                                        marker=dict(size=3, color=colour),
                                        hovertemplate=name + " %{y:.4f}<br>" + hover), 2, len(ms))
    _add(figure, points, go.Scatter(name="core insights", x=ms[insight], y=np.zeros(int(insight.sum()), np.int8),
                                    customdata=line_numbers[insight], mode="markers",
                                    marker=dict(symbol="diamond", size=6, color="#6a1b9a"), hovertemplate=hover),
         3, int(insight.sum()))


def _binned(figure: Any, points: Dict[str, int], times: np.ndarray, rows: np.ndarray, reputation: np.ndarray,
            coherence: np.ndarray, insight: np.ndarray) -> None:
    edges = _bins(times, TIME_BINS)
    index = np.clip(np.searchsorted(edges, times, side="right") - 1, 0, TIME_BINS - 1)
    centres = (edges[:-1] + edges[1:]) * 500.0  # ms
    lanes = int(rows.max()) + 1
    counts = np.zeros((lanes, TIME_BINS), np.float32)
    np.add.at(counts, (rows, index), 1)
    counts[counts == 0] = np.nan
    _add(figure, points, go.Heatmap(name="records", x=centres, y=np.arange(lanes, dtype=np.int16), z=counts,
                                    colorscale="Blues", showscale=False,
                                    hovertemplate="%{z} records<br>%{x}<extra></extra>"), 1,
         int(np.isfinite(counts).sum()))
    per_bin = np.bincount(index, minlength=TIME_BINS)
    filled = per_bin > 0
    for name, values, colour in (("reputation", reputation, "#2e7d32"), ("coherence", coherence, "#ef6c00")):
        mean = np.bincount(index, weights=values, minlength=TIME_BINS)[filled] / per_bin[filled]
        low = np.full(TIME_BINS, np.inf)
        high = np.full(TIME_BINS, -np.inf)
        np.minimum.at(low, index, values)
        np.maximum.at(high, index, values)
        x = centres[filled]
        figure.add_trace(go.Scatter(name=name + " min", x=x, y=low[filled], mode="lines", line=dict(width=0),
                                    showlegend=False, hoverinfo="skip"), row=2, col=1)
        figure.add_trace(go.Scatter(name=name + " max", x=x, y=high[filled], mode="lines", line=dict(width=0),
                                    fill="tonexty", fillcolor=colour + "33", showlegend=False, hoverinfo="skip"),
                         row=2, col=1)
        _add(figure, points, go.Scatter(name=name, x=x, y=mean, mode="lines", line=dict(color=colour),
                                        hovertemplate=name + " mean %{y:.4f}<br>%{x}<extra></extra>"), 2, len(x))
    insights = np.bincount(index, weights=insight.astype(np.float64), minlength=TIME_BINS)
    _add(figure, points, go.Bar(name="core insights", x=centres, y=insights.astype(np.int32),
                                marker=dict(color="#6a1b9a"), hovertemplate="%{y} insights<br>%{x}<extra></extra>"),
         3, TIME_BINS)


def _rate(figure: Any, points: Dict[str, int], times: np.ndarray) -> None:
    bins = int(min(RATE_BINS, max(1, len(times) // 10)))
    edges = _bins(times, bins)
    counts, _ = np.histogram(times, bins=edges)
    width = float(edges[1] - edges[0])
    _add(figure, points, go.Scatter(name="capture rate", x=(edges[:-1] + edges[1:]) * 500.0, y=counts / width,
                                    mode="lines", line=dict(color="#455a64", shape="hv"),
                                    hovertemplate="%{y:.3g} records/s<br>%{x}<extra></extra>"), 4, bins)


def _failures(figure: Any, points: Dict[str, int], failures: Sequence[Failure], timeline: Timeline,
              seconds: np.ndarray) -> Tuple[Dict[int, float], int]:
    """Each failure with a line, at the time and lane of the last timed
    record at or before its line (a malformed line has none of its own)."""
    lines = np.frombuffer(timeline.lines, dtype=np.int64) if timeline.records else np.zeros(0, np.int64)
    lanes = np.frombuffer(timeline.lanes, dtype=np.dtype("l")) if timeline.records else np.zeros(0, int)
    timed = np.flatnonzero(np.isfinite(seconds))
    timed_lines = lines[timed]
    placed: Dict[int, float] = {}
    x: List[float] = []
    y: List[int] = []
    text: List[List[Any]] = []
    unplaced = 0
    for failure in failures:
        if failure.line is None:
            continue
        if not len(timed):
            unplaced += 1
            continue
        at = max(0, int(np.searchsorted(timed_lines, failure.line, side="right")) - 1)
        record = timed[at]
        ms = float(seconds[record]) * 1000.0
        placed[failure.line] = ms
        x.append(ms)
        lane = int(lanes[record])
        y.append(MAX_LANES if lane < 0 or lane >= MAX_LANES else lane)
        text.append([failure.line, failure.kind])
    if x:
        _add(figure, points, go.Scatter(
            name="failures", x=np.array(x), y=np.array(y, np.int16), customdata=text, mode="markers",
            marker=dict(symbol="x", size=11, color=FAILURE_COLOUR, line=dict(width=1, color=FAILURE_COLOUR)),
            hovertemplate="line %{customdata[0]}: %{customdata[1]}<br>%{x}<extra></extra>"), 1, len(x))
    return placed, unplaced

