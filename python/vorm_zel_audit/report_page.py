"""The audit report page: one HTML file that needs nothing else (Plotly's
JavaScript is inlined), so that it opens offline, from a USB stick.

Order: the verdict (the verifier's own statement of what was proven and
what was not, the key and where it came from, the notarised coverage),
the timelines, the failures (each linked to its line's decoded records),
the chains, the most frequent triplets, the review states and the decoded
records. Every text taken from the log is escaped; a search box filters the
tables, and zooming the time axis filters the failure table to that range.
"""
from __future__ import annotations

import datetime
import html
import json
from typing import Any, Dict, Iterable, List, Optional, Sequence

from .report import VerifyReport
from .report_charts import EMBED_LIMIT, MAX_LANES, TIME_BINS, Charts
from .timeline import Timeline
from .version import __version__

TOP_TRIPLETS = 20
CHAINS_SHOWN = 100

_STYLE = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;color:#1b1f23;background:#f6f7f9}
main{max-width:1200px;margin:0 auto;padding:16px 24px 48px}
h1{font-size:22px;margin:8px 0 2px}h2{font-size:18px;margin:28px 0 8px}
.meta{color:#57606a;font-size:13px;word-break:break-all}
section.card{background:#fff;border:1px solid #d0d7de;border-radius:8px;padding:12px 16px;margin-top:16px}
#verdict.passed{border-left:8px solid #2e7d32}#verdict.failed{border-left:8px solid #c62828}
.word{font-size:28px;font-weight:700;margin:0}.passed .word{color:#2e7d32}.failed .word{color:#c62828}
.statement{font-size:15px}
table{border-collapse:collapse;width:100%;font-size:13px}
th,td{border-bottom:1px solid #e1e4e8;padding:4px 6px;text-align:left;vertical-align:top}
th{background:#f0f2f4;position:sticky;top:0}
td.num{text-align:right;font-variant-numeric:tabular-nums}
code,pre{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;font-size:12px}
pre{background:#f6f8fa;border:1px solid #e1e4e8;border-radius:6px;padding:8px;overflow:auto;max-height:480px;
white-space:pre-wrap;word-break:break-word}
.kind{font-weight:600;color:#c62828}
.tools{display:flex;gap:12px;align-items:center;flex-wrap:wrap}
input[type=search]{font:inherit;padding:4px 8px;min-width:280px}
.muted{color:#57606a}
"""

_SCRIPT = """
(function(){
  var search=document.getElementById('search'), range=null;
  function apply(){
    var q=(search.value||'').toLowerCase();
    document.querySelectorAll('table.filterable tbody tr').forEach(function(row){
      var show=!q||row.textContent.toLowerCase().indexOf(q)>=0;
      if(show&&range&&row.dataset.ms!==undefined){
        var ms=row.dataset.ms===''?NaN:Number(row.dataset.ms);
        show=!isNaN(ms)&&ms>=range[0]&&ms<=range[1];
      }
      row.style.display=show?'':'none';
    });
    var shown=document.querySelectorAll('#failure-table tbody tr:not([style*="none"])').length;
    var note=document.getElementById('failure-filter');
    if(note){note.textContent=(q||range)?shown+' shown'+(range?' (time range '+new Date(range[0]).toISOString()+
      ' to '+new Date(range[1]).toISOString()+')':''):'';}
  }
  search.addEventListener('input',apply);
  var plot=document.getElementById('timeline');
  if(plot&&plot.on){
    plot.on('plotly_relayout',function(event){
      var keys=Object.keys(event), low=null, high=null, reset=false;
      keys.forEach(function(key){
        if(/^xaxis\\d*\\.range\\[0\\]$/.test(key))low=event[key];
        if(/^xaxis\\d*\\.range\\[1\\]$/.test(key))high=event[key];
        if(/^xaxis\\d*\\.range$/.test(key)){low=event[key][0];high=event[key][1];}
        if(/^xaxis\\d*\\.autorange$/.test(key))reset=true;
      });
      function ms(value){return typeof value==='number'?value:Date.parse(String(value).replace(' ','T')+'Z');}
      if(low!==null&&high!==null)range=[ms(low),ms(high)];else if(reset)range=null;
      apply();
    });
  }
})();
"""


def _e(value: Any) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def _table(headers: Sequence[str], rows: Iterable[str], table_id: str = "", filterable: bool = False) -> str:
    attributes = (' id="%s"' % table_id if table_id else "") + (' class="filterable"' if filterable else "")
    head = "".join("<th>%s</th>" % _e(header) for header in headers)
    return "<table%s><thead><tr>%s</tr></thead><tbody>%s</tbody></table>" % (attributes, head, "".join(rows))


def _cells(*values: Any, numeric: Sequence[int] = ()) -> str:
    return "".join('<td%s>%s</td>' % (' class="num"' if index in numeric else "", value)
                   for index, value in enumerate(values))


def _list(items: Sequence[str]) -> str:
    return "<ul>%s</ul>" % "".join("<li>%s</li>" % _e(item) for item in items) if items else ""


def _verdict(report: VerifyReport) -> str:
    proven = report.proven
    counts = ", ".join("%s %d" % item for item in sorted(report.failure_counts.items()))
    out = ['<section id="verdict" class="card %s">' % ("passed" if report.passed else "failed"),
           '<p class="word">%s</p>' % ("PASSED" if report.passed else "FAILED"),
           "<p>%d lines, %d records; %d lines and %d records checked in this run%s.</p>" % (
               report.lines, report.records, report.lines_checked, report.records_checked,
               "; failures: " + _e(counts) if counts else "; no failures"),
           '<p class="statement" id="statement">%s</p>' % _e(proven.statement if proven else "")]
    out.append("<p><b>Public key</b> <code>%s</code> (%s; %s).</p>" % (
        _e(report.public_key_hex), _e(report.key_source or "given"),
        "pinned" if report.key_pinned else "not pinned: self-consistency only"))
    notarized = report.notarized
    if notarized is not None:
        out.append('<p id="notarized"><b>Notarised</b>: %s</p>' % _e(notarized.statement))
        out.append(_list(notarized.notes))
    else:
        out.append('<p id="notarized"><b>Notarised</b>: no signed checkpoints were checked, so neither order '
                   "nor completeness is proven (see the statement above).</p>")
    if report.checkpoint:
        out.append("<p><b>Checkpoint</b>: %s</p>" % (
            "the first %d lines are unchanged since it was made" % report.checkpoint["lines"]
            if report.checkpoint.get("prefix_matches") else "the log no longer matches it; every line was checked"))
    if report.torn_tail:
        out.append("<p>Torn tail: %d bytes after the last line feed at byte %d.</p>" % (
            report.torn_tail["length"], report.torn_tail["offset"]))
    out.append(_list(["note: " + note for note in report.notes] + ["hint: " + hint for hint in report.hints]))
    out.append("</section>")
    return "".join(out)


def _charts(charts: Charts, figure_html: str, timeline: Timeline) -> str:
    if charts.binned:
        how = ("The log holds %d timed records, more than %d: the timelines are binned into %d equal spans of "
               "time; the failures are drawn one by one." % (charts.records_drawn, EMBED_LIMIT, TIME_BINS))
    else:
        how = "Every timed record is a point; hover shows its line."
    extra = []
    if charts.untimed:
        extra.append("%d records have a timestamp that is not an RFC 3339 time and are not drawn." % charts.untimed)
    if charts.failures_unplaced:
        extra.append("%d failures could not be placed on the time axis (no timed record at or before their line)."
                     % charts.failures_unplaced)
    if len(timeline.segments) > MAX_LANES:
        extra.append("%d chains: the chains after the first %d share the lane \u201cother chains\u201d."
                     % (len(timeline.segments), MAX_LANES))
    return ('<section class="card" id="timelines"><h2>Timelines</h2><p class="muted">%s %s Drag across the time '
            "axis to zoom: the failure table then shows only the failures in that range (double-click resets). "
            "The timestamps are sealed by nothing: the times are the log's claims.</p>%s</section>"
            % (_e(how), _e(" ".join(extra)), figure_html))


def _failures(report: VerifyReport, charts: Charts, views: Iterable[int]) -> str:
    views = set(views)
    rows = []
    for failure in report.failures:
        link = ""
        if failure.line is not None and failure.line in views:
            link = '<a href="#line-%d">line %d</a>' % (failure.line, failure.line)
        elif failure.line is not None:
            link = "line %d" % failure.line
        ms = charts.failure_ms.get(failure.line) if failure.line is not None else None
        rows.append('<tr data-ms="%s">%s</tr>' % ("" if ms is None else repr(ms), _cells(
            '<span class="kind">%s</span>' % _e(failure.kind), link or "log",
            _e(failure.offset), "<code>%s</code>" % _e(failure.record_id) if failure.record_id else "",
            _e(failure.detail), numeric=(2,))))
    more = ""
    if report.failures_truncated:
        more = "<p>%d more failures were counted but are not listed (raise --max-failures).</p>" % (
            report.failure_total - len(report.failures))
    body = _table(("kind", "line", "offset", "record id", "what was found"), rows, "failure-table", True) \
        if rows else "<p>No failures.</p>"
    return ('<section class="card" id="failures"><h2>Failures (%d)</h2><p class="muted" id="failure-filter"></p>'
            "%s%s</section>" % (report.failure_total, body, more))


def _chains(timeline: Timeline, report: VerifyReport) -> str:
    counts: Dict[int, int] = {}
    for lane in timeline.lanes:
        counts[lane] = counts.get(lane, 0) + 1
    rows = []
    for lane, segment in enumerate(timeline.segments[:CHAINS_SHOWN]):
        rows.append("<tr>%s</tr>" % _cells(_e(timeline.lane_label(lane)), counts.get(lane, 0), segment.first_line,
                                           segment.last_line, _e(segment.start), numeric=(1, 2, 3)))
    more = "<p>%d more chains not listed.</p>" % (len(timeline.segments) - CHAINS_SHOWN) \
        if len(timeline.segments) > CHAINS_SHOWN else ""
    return ('<section class="card" id="chains"><h2>Chains (%d)</h2><p class="muted">By their links, as the '
            "summary pass finds them (the verifier found %d).</p>%s%s</section>" % (
                len(timeline.segments), len(report.segments),
                _table(("lane", "records", "first line", "last line", "starts"), rows), more))


def _triplets(timeline: Timeline, summary: Dict[str, Any]) -> str:
    rows = ["<tr>%s</tr>" % _cells(_e(provenance), _e(place), _e(purpose), count, numeric=(3,))
            for (provenance, place, purpose), count in timeline.triplets.most_common(TOP_TRIPLETS)]
    distinct = ", ".join("%d distinct %s" % (summary.get("distinct_" + name, 0), name)
                         for name in ("provenance", "place", "purpose"))
    return ('<section class="card" id="triplets"><h2>Most frequent triplets</h2><p class="muted">%d distinct '
            "triplets; %s.</p>%s</section>" % (len(timeline.triplets), _e(distinct), _table(
                ("provenance", "place", "purpose", "records"), rows, "triplet-table", True)))


def _reviews(summary: Dict[str, Any]) -> str:
    reviews = summary.get("human_reviews", {})
    rows = ["<tr>%s</tr>" % _cells(_e(state), reviews.get(state, 0), numeric=(1,))
            for state in ("resolved", "open", "unreadable")]
    facts = []
    if summary.get("first_timestamp"):
        facts.append("time span %s to %s" % (summary["first_timestamp"], summary["last_timestamp"]))
    if summary.get("insight_rate") is not None:
        facts.append("%d core insights (%.1f%% of records)" % (summary["core_insights"],
                                                              100.0 * summary["insight_rate"]))
        reputation = summary["reputation"]
        facts.append("reputation in file order: first %r, last %r, min %r, max %r" % (
            reputation["first"], reputation["last"], reputation["min"], reputation["max"]))
    return ('<section class="card" id="reviews"><h2>Human reviews</h2>%s<p class="muted">%s</p></section>'
            % (_table(("review state", "records"), rows, "review-table"), _e("; ".join(facts))))


def _pretty(value: Any) -> str:
    return json.dumps(value, indent=2, ensure_ascii=False)


def _views(views: Dict[int, List[Dict[str, Any]]], excerpts: Dict[int, str], report: VerifyReport) -> str:
    ids: Dict[int, List[str]] = {}
    for failure in report.failures:
        if failure.line is not None and failure.record_id:
            ids.setdefault(failure.line, []).append(failure.record_id)
    out = []
    for line in sorted(set(views) | set(excerpts)):
        parts = ['<section class="view" id="line-%d"><h3>Line %d</h3>' % (line, line)]
        for members in views.get(line, []):
            failed = members.get("id") in ids.get(line, ())
            parts.append("<p>Record <code>%s</code>%s. Its output:</p><pre>%s</pre><details%s><summary>All "
                         "members, JSON texts decoded</summary><pre>%s</pre></details>" % (
                             _e(members.get("id")), " (failed)" if failed else "", _e(members.get("output")),
                             " open" if failed else "", _e(_pretty(members))))
        if line in excerpts:
            parts.append("<p>Not a record; its first bytes:</p><pre>%s</pre>" % _e(excerpts[line]))
        parts.append("</section>")
        out.append("".join(parts))
    if not out:
        return ""
    return ('<section class="card" id="records"><h2>Failed lines, decoded</h2>%s</section>' % "".join(out))


def render_page(report: VerifyReport, summary: Dict[str, Any], timeline: Timeline, charts: Charts,
                figure_html: str, excerpts: Dict[int, str], changed: Optional[str] = None) -> str:
    generated = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat()
    warning = '<section class="card"><p><b>Note</b>: %s</p></section>' % _e(changed) if changed else ""
    return "".join((
        '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width,initial-scale=1">',
        "<title>%s: audit report</title><style>%s</style></head><body><main>" % (_e(report.path), _STYLE),
        "<h1>Audit report</h1><p class=\"meta\">%s &middot; %d bytes &middot; made %s by vorm_zel_audit %s</p>" % (
            _e(report.path), report.file_bytes, generated, _e(__version__)),
        _verdict(report), warning,
        '<div class="tools"><input type="search" id="search" placeholder="Search the tables (triplet, kind, id)">'
        "</div>",
        _charts(charts, figure_html, timeline), _failures(report, charts, set(timeline.views) | set(excerpts)), _chains(timeline, report),
        _triplets(timeline, summary), _reviews(summary), _views(timeline.views, excerpts, report),
        '<p class="meta">The verdict and the failures come from the verifier, which checked every record\'s hash '
        "and signature and the chains' links; the timelines and tables come from the inspector's summary pass, "
        "which checks no signature.</p>",
        "</main><script>%s</script></body></html>" % _SCRIPT))
