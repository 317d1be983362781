"""vorm-zel report: the HTML audit report, loaded in headless Chromium as a
reader would open it (offline, from a file), for a clean and a tampered
log; the series it gathers; binning; hostile text; the optional extra."""
import io
import json
import math
import os
import subprocess
import sys

import pytest

pytest.importorskip("plotly")
pytest.importorskip("websocket")
from PIL import Image  # noqa: E402

import vorm_zel  # noqa: E402
from audit_logs import capture, edit, public_key_of, read_lines, seal, write_lines  # noqa: E402
from browser import Page, find_chromium  # noqa: E402
from vorm_zel_audit import report_charts, verify_log  # noqa: E402
from vorm_zel_audit.html_report import write_html_report  # noqa: E402
from vorm_zel_audit.log_summary import summarize  # noqa: E402
from vorm_zel_audit.timeline import NO_LANE, Timeline, epoch_seconds  # noqa: E402

needs_browser = pytest.mark.skipif(find_chromium() is None and not os.environ.get("CI"),
                                   reason="no chromium (scripts/test.sh installs it)")

POINTS = "document.getElementById('timeline')._fullData.map(function(t){return [t.name, t._length]})"
FAILURE_ROWS = ("Array.from(document.querySelectorAll('#failure-table tbody tr'))"
                ".filter(function(r){return r.style.display!=='none'})"
                ".map(function(r){return Array.from(r.cells).map(function(c){return c.textContent})})")


def run_report(log, output, *extra):
    return subprocess.run([sys.executable, "-m", "vorm_zel_audit", "report", str(log), "-o", str(output)]
                          + [str(arg) for arg in extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)


def two_engine_log(path):
    """20 records of one engine run, then 15 of a second (two chains)."""
    seal(path, 20)
    seal(path, 15, start=20)
    return public_key_of(path)


def tampered(path):
    """Line 10's prompt changed, line 26 replaced by garbage, line 31 removed."""
    key = two_engine_log(path)
    lines = read_lines(path)
    lines[9] = edit(lines[9], prompt="changed", output="<script>alert('owned')</script></pre>")
    lines[25] = b"not a record </script><b>bold</b>"
    del lines[30]
    write_lines(path, lines)
    return key


def look(page, html_path):
    """Open the page and return what the tests check."""
    page.open(html_path)
    return {
        "errors": page.errors(),
        "requests": page.requests(),
        "verdict": page.evaluate("document.getElementById('verdict').innerText"),
        "points": dict(page.evaluate(POINTS)),
        "drawn": page.evaluate("document.querySelectorAll('#timeline .cartesianlayer .scatterlayer .point').length"),
        "failures": page.evaluate(FAILURE_ROWS) if page.evaluate("!!document.getElementById('failure-table')")
        else [],
        "dialogs": [event for event in page.events if event.get("method") == "Page.javascriptDialogOpening"],
    }


def colours(png):
    image = Image.open(io.BytesIO(png)).convert("RGB")
    return len(image.getcolors(maxcolors=1 << 24)), image.size


@needs_browser
@pytest.mark.slow
def test_a_clean_log_renders_a_passing_verdict_and_every_record(tmp_path):
    log = tmp_path / "audit.wal"
    key = two_engine_log(log)
    result = run_report(log, tmp_path / "report.html", "--public-key", key)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PASSED: ")
    with Page() as page:
        seen = look(page, tmp_path / "report.html")
        shot = page.screenshot()
    assert seen["errors"] == []
    assert {url.split(":")[0] for url in seen["requests"]} == {"file"}, "the page fetches nothing"
    assert seen["verdict"].startswith("PASSED")
    assert "the hash and signature of 35 records with the public key given with --public-key" in seen["verdict"]
    assert "that the chain links are consistent" in seen["verdict"]
    assert "Not proven: that the log is complete, in order" in seen["verdict"]
    assert seen["points"] == {"records": 35, "reputation": 35, "coherence": 35,
                              "core insights": seen["points"]["core insights"], "capture rate": 3}
    assert "failures" not in seen["points"] and seen["failures"] == []
    # markers are drawn: records, the two scores and the insights
    assert seen["drawn"] == 35 * 3 + seen["points"]["core insights"]
    distinct, size = colours(shot)
    assert size[0] == 1280 and size[1] > 1000 and distinct > 50, "the screenshot is (nearly) blank"


@needs_browser
@pytest.mark.slow
def test_a_tampered_log_shows_each_failure_at_its_line_and_links_it(tmp_path):
    log = tmp_path / "audit.wal"
    key = tampered(log)
    output = tmp_path / "report.html"
    result = run_report(log, output, "--public-key", key)
    assert result.returncode == 1, result.stderr
    assert result.stdout.startswith("FAILED: ")
    with Page() as page:
        seen = look(page, output)
        links = page.evaluate("Array.from(document.querySelectorAll('#failure-table a')).map(function(a){"
                              "var t=document.querySelector(a.getAttribute('href'));return [a.textContent, !!t]})")
        view = page.evaluate("document.getElementById('line-10').innerText")
        garbage = page.evaluate("document.getElementById('line-26').innerText")
        injected = page.evaluate("document.querySelectorAll('#records script, #records b').length")
        # zooming the time axis to before the first failure empties the failure table
        page.evaluate("(function(){var gd=document.getElementById('timeline');var t=gd._fullData[0].x;"
                      "return Plotly.relayout(gd,{'xaxis.range':[t[0]-1,t[2]]}).then(function(){return 1})})()")
        zoomed = page.evaluate(FAILURE_ROWS)
        page.evaluate("Plotly.relayout(document.getElementById('timeline'),{'xaxis.autorange':true})"
                      ".then(function(){return 1})")
        page.evaluate("(function(){var s=document.getElementById('search');s.value='malformed';"
                      "s.dispatchEvent(new Event('input'))})()")
        searched = page.evaluate(FAILURE_ROWS)
        shot = page.screenshot()
    assert seen["errors"] == [] and seen["dialogs"] == []
    assert {url.split(":")[0] for url in seen["requests"]} == {"file"}
    assert seen["verdict"].startswith("FAILED")
    assert "chain_break 2, hash_mismatch 1, malformed_line 1" in seen["verdict"]
    assert "the hash and signature of 32 records" in seen["verdict"] and "1 record failed" in seen["verdict"]
    rows = [(kind, line) for kind, line, *_ in seen["failures"]]
    assert rows == [("hash_mismatch", "line 10"), ("malformed_line", "line 26"), ("chain_break", "line 27"),
                    ("chain_break", "line 31")]
    hash_row = seen["failures"][0]
    assert hash_row[3].startswith("zel_") and "a sealed member was changed" in hash_row[4]
    assert [text for text, found in links if found] == [line for _, line in rows], "every failure links its line"
    assert seen["points"]["records"] == 33 and seen["points"]["failures"] == 4
    assert seen["drawn"] == 33 * 3 + seen["points"]["core insights"] + 4
    # the decoded view: the output first, then every member with its JSON texts pretty-printed
    assert "<script>alert('owned')</script></pre>" in view and '"prompt": "changed"' in view
    assert '"ticket": 9,' in view and '"resolved": false' in view
    assert "not a record </script><b>bold</b>" in garbage and injected == 0
    assert zoomed == []
    assert [row[0] for row in searched] == ["malformed_line"]
    assert colours(shot)[0] > 50


@needs_browser
@pytest.mark.slow
def test_a_large_log_is_binned_and_still_renders(tmp_path, monkeypatch):
    log = tmp_path / "audit.wal"
    key = two_engine_log(log)
    lines = read_lines(log)
    lines[4] = edit(lines[4], prompt="changed")
    write_lines(log, lines)
    monkeypatch.setattr(report_charts, "EMBED_LIMIT", 20)
    monkeypatch.setattr(report_charts, "TIME_BINS", 7)
    written = write_html_report(verify_log(str(log), key), str(tmp_path / "report.html"))
    assert written.binned and written.records == 35
    with Page() as page:
        seen = look(page, tmp_path / "report.html")
        cells = page.evaluate("(function(){var z=document.getElementById('timeline')._fullData[0].z,n=0;"
                              "for(var i=0;i<z.length;i++)for(var j=0;j<z[i].length;j++)if(z[i][j]>0)n++;"
                              "return n})()")
    assert seen["errors"] == []
    points = dict(seen["points"], records=cells)
    assert {name: points[name] for name in written.points} == written.points
    assert points["core insights"] == 7 and points["failures"] == 1
    assert 1 <= points["records"] <= 2 * 7  # heat map cells that hold records: two lanes, seven bins
    assert 1 <= points["reputation"] <= 7
    assert "binned into 7 equal spans of time" in page_text(tmp_path / "report.html")


def page_text(path):
    with open(str(path), encoding="utf-8") as handle:
        return handle.read()


def test_hostile_triplets_are_shown_as_text(tmp_path):
    log = tmp_path / "audit.wal"
    engine = vorm_zel.ZELEngine(str(log))
    for number in range(3):
        capture(engine, number, provenance="<img src=x onerror=alert(1)>")
    written = write_html_report(verify_log(str(log), engine.public_key_hex()), str(tmp_path / "report.html"))
    text = page_text(written.output)
    assert "<img src=x" not in text
    assert "&lt;img src=x onerror=alert(1)&gt;</td>" in text
    assert written.verify.passed


@pytest.mark.parametrize("content, says", [
    (b"", "nothing was verified: the log holds no records"),
    (b"garbage\n\xff\xfe\n[[[[\n", "malformed_line 3"),
])
def test_a_log_without_records_still_gets_a_page(tmp_path, content, says):
    log = tmp_path / "audit.wal"
    log.write_bytes(content)
    key = vorm_zel.ZELEngine(":memory:").public_key_hex()
    written = write_html_report(verify_log(str(log), key), str(tmp_path / "report.html"))
    text = page_text(written.output)
    assert written.records == 0 and says in text
    assert text.count('<section class="view" id="line-') == content.count(b"\n")


def test_untimed_records_are_counted_not_drawn(tmp_path):
    log = tmp_path / "audit.wal"
    key = two_engine_log(log)
    lines = read_lines(log)
    lines[3] = edit(lines[3], timestamp="yesterday")
    lines[4] = edit(lines[4], timestamp="2026-02-30T00:00:00Z")
    write_lines(log, lines)
    written = write_html_report(verify_log(str(log), key), str(tmp_path / "report.html"))
    assert written.verify.passed, "the timestamp is sealed by nothing"
    assert written.points["records"] == 33
    assert "2 records have a timestamp that is not an RFC 3339 time and are not drawn" in page_text(written.output)


@pytest.mark.parametrize("text, expected", [
    ("2026-12-10T13:31:20.370424500+00:00", 1796909480.3704245),
    ("2026-12-10T13:31:20Z", 1796909480.0),
    ("2026-12-10T15:31:20.5+02:00", 1796909480.5),
    ("2026-12-10T08:31:20-05:00", 1796909480.0),
    ("2026-13-10T13:31:20Z", math.nan),  # no such month
    ("2026-12-10 13:31:20Z", math.nan),
    ("yesterday", math.nan),
    ("", math.nan),
])
def test_timestamps_become_epoch_seconds_or_nan(text, expected):
    for cache in (None, {}):
        value = epoch_seconds(text, cache)
        assert value == pytest.approx(expected, abs=1e-6) if not math.isnan(expected) else math.isnan(value)


def test_interleaved_engines_get_a_lane_each_and_the_summary_is_unchanged(tmp_path):
    log = tmp_path / "audit.wal"
    first = vorm_zel.ZELEngine(str(log))
    second = vorm_zel.ZELEngine(str(log))
    for number in range(12):
        capture(first if number % 3 else second, number, provenance="first" if number % 3 else "second")
    lines = read_lines(log)
    lines[5] = b"garbage"
    write_lines(log, lines)
    timeline = Timeline(view_lines=[6, 7])
    observed = summarize(str(log), observer=timeline)
    assert observed == summarize(str(log))
    assert timeline.records == 11 and list(timeline.lines) == [1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12]
    records = [json.loads(line) for number, line in enumerate(lines) if number != 5]
    provenance = [json.loads(record["ppp_json"])["provenance"] for record in records]
    lane_of = {}
    for lane, name in zip(timeline.lanes, provenance):
        assert lane != NO_LANE
        lane_of.setdefault(name, set()).add(lane)
    # each engine's records share one lane, except where the removed record broke its chain
    assert len(lane_of["second"]) == 1
    assert lane_of["second"].isdisjoint(lane_of["first"])
    assert set(timeline.views) == {7}, "line 6 holds no record; line 7's record is kept decoded"
    assert timeline.views[7][0]["ctx_json"] == {"ticket": 6, "note": "caf\u00e9 \"quoted\"\n"}
    assert all(not math.isnan(value) for value in timeline.seconds)
    assert sum(timeline.triplets.values()) == 11


def test_verification_never_loads_the_report_libraries(tmp_path):
    log = tmp_path / "audit.wal"
    key = two_engine_log(log)
    code = ("import sys, vorm_zel_audit, vorm_zel_audit.cli as cli\n"
            "assert cli.main(['verify', %r, '--public-key', %r]) == 0\n"
            "print(sorted(m for m in ('plotly', 'numpy') if m in sys.modules))" % (str(log), key))
    result = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, universal_newlines=True,
                            timeout=120, check=True)
    assert result.stdout.splitlines()[-1] == "[]"


def test_without_the_extra_report_says_how_to_install_it(tmp_path):
    log = tmp_path / "audit.wal"
    key = two_engine_log(log)
    code = ("import sys; sys.modules['plotly'] = None\n"
            "import vorm_zel_audit.cli as cli\n"
            "sys.exit(cli.main(['report', %r, '--public-key', %r, '-o', %r, '--json']))"
            % (str(log), key, str(tmp_path / "report.html")))
    result = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=120)
    assert result.returncode == 2
    assert "pip install 'vorm_zel[report]'" in json.loads(result.stdout)["error"]
    assert not os.path.exists(str(tmp_path / "report.html"))
