"""Several chains in one log: engines restarted on the same log, engines
writing at the same time (in one process and in two), and the interleaved
writes of a writer that puts an object and its line feed in two writes."""
import multiprocessing
import os

import pytest
import vorm_zel

from audit_logs import capture, kinds, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import failures, verify_log

MODES = [dict(jobs=1), dict(jobs=2, parallel_min_lines=0, chunk_bytes=2500)]


@pytest.mark.parametrize("options", MODES, ids=["in-process", "workers"])
def test_a_restarted_engine_starts_a_second_chain(tmp_path, options):
    path = tmp_path / "audit.wal"
    seal(path, 12)
    seal(path, 7, start=100)
    report = verify_log(str(path), public_key_of(path), **options)
    assert report.passed and report.failures == []
    assert [(s.start, s.records, s.first_line, s.last_line) for s in report.segments] == \
        [("genesis", 12, 1, 12), ("genesis", 7, 13, 19)]
    assert report.chain_starts == 2
    assert any("2 chains start from genesis" in note for note in report.notes)


@pytest.mark.parametrize("options", MODES, ids=["in-process", "workers"])
def test_two_engines_alternating_on_one_log_are_two_clean_chains(tmp_path, options):
    path = tmp_path / "audit.wal"
    first = vorm_zel.ZELEngine(str(path))
    second = vorm_zel.ZELEngine(str(path))
    for number in range(30):
        capture(first, number, "first")
        capture(second, number, "second")
        if number % 7 == 0:
            capture(second, 1000 + number, "second")
    report = verify_log(str(path), public_key_of(path), **options)
    assert report.passed and report.failures == []
    assert [(s.start, s.records, s.first_line) for s in report.segments] == \
        [("genesis", 30, 1), ("genesis", 35, 2)]


def _writer(path, name, count, barrier):
    engine = vorm_zel.ZELEngine(path)
    barrier.wait()
    for number in range(count):
        capture(engine, number, name)


def test_two_processes_writing_one_log_at_once_are_two_clean_chains(tmp_path):
    path = str(tmp_path / "audit.wal")
    key = vorm_zel.ZELEngine(path).public_key_hex()  # the key file exists before the writers start
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(2)
    writers = [context.Process(target=_writer, args=(path, name, 400, barrier)) for name in ("a", "b")]
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join(120)
        assert writer.exitcode == 0
    lines = read_lines(path)
    assert len(lines) == 800
    for options in MODES:
        report = verify_log(path, key, **options)
        assert report.passed, report.format_text()
        assert sorted(s.records for s in report.segments) == [400, 400]
        assert all(s.start == "genesis" for s in report.segments)


def test_records_sharing_a_line_verify(tmp_path):
    # A writer that writes an object and its line feed separately lets a
    # second writer's object land between them: {A}{B}\n\n.
    path = tmp_path / "audit.wal"
    first = vorm_zel.ZELEngine(str(path))
    second_path = tmp_path / "second.wal"
    os.link(str(path) + ".key", str(second_path) + ".key")
    second = vorm_zel.ZELEngine(str(second_path))
    for number in range(6):
        capture(first, number, "first")
        capture(second, number, "second")
    a, b = read_lines(path), read_lines(second_path)
    write_lines(path, [a[0], b[0], a[1] + b[1], b"", a[2], b[2] + a[3], b"", b[3], a[4], a[5], b[4], b[5]])
    report = verify_log(str(path), public_key_of(path), jobs=1)
    assert report.passed and report.failures == []
    assert (report.records, report.lines, report.shared_lines, report.empty_lines) == (12, 12, 2, 2)
    assert sorted(s.records for s in report.segments) == [6, 6]
    assert any("interleaved" in note for note in report.notes)


def test_a_torn_write_before_a_record_on_the_same_line(tmp_path):
    # A write that failed halfway, then the next line appended after it.
    path = tmp_path / "audit.wal"
    seal(path, 4)
    seal(path, 3, start=10)
    lines = read_lines(path)
    lines[3] = lines[3][:250] + lines[4]  # line 4 torn, line 5 (a new engine's first) appended to it
    del lines[4]
    write_lines(path, lines)
    report = verify_log(str(path), public_key_of(path), jobs=1)
    assert kinds(report) == [(failures.MALFORMED_LINE, 4)]
    assert report.failures[0].offset == sum(len(line) + 1 for line in lines[:3])
    assert report.records == 6
    assert [s.records for s in report.segments] == [3, 3]


@pytest.mark.slow
def test_a_log_of_more_than_4096_engines_verifies_clean(tmp_path):
    # A long-lived engine writes before and after 4,200 short-lived ones,
    # eight of them at a time: its chain must still be found, however many
    # chains opened in between (more than the 4,096 open heads once kept).
    path = tmp_path / "audit.wal"
    supervisor = vorm_zel.ZELEngine(str(path))
    capture(supervisor, 0, "supervisor")
    for group in range(0, 4200, 8):
        engines = [vorm_zel.ZELEngine(str(path)) for _ in range(8)]
        for step in range(2):
            for index, engine in enumerate(engines):
                capture(engine, group + index, "worker")
    capture(supervisor, 9999, "supervisor")
    key = supervisor.public_key_hex()
    for options in MODES:
        report = verify_log(str(path), key, **options)
        assert report.passed and report.failures == [], report.format_text()[:2000]
        assert report.chain_starts == 4201
        assert report.segments[0].records == 2 and report.segments[0].last_line == report.lines


def _breaks(count):
    """Events of a log whose every root is broken."""
    for line in range(1, count + 1):
        yield line, "%064x" % line, "%064x" % (line * 7919 + 1)


def test_walking_a_log_of_broken_roots_costs_a_bounded_number_of_tries(monkeypatch):
    from vorm_zel_audit import chain
    from vorm_zel_audit.linecheck import LINK_NONE, LINK_UNKNOWN

    tries = []
    real = chain.next_root_hex

    def counted(previous, digest):
        tries.append(1)
        return real(previous, digest)

    monkeypatch.setattr(chain, "next_root_hex", counted)
    monkeypatch.setattr(chain, "SEARCH_BUDGET", 2000)
    found = []
    walker = chain.ChainWalker(found.append)
    count = 3000
    for line, digest, root in _breaks(count):
        walker.record(line, line * 100, "zel_%d" % line, digest, root, LINK_UNKNOWN if line == 1 else LINK_NONE,
                      True)
    assert len(found) == count and all(f.kind == failures.CHAIN_BREAK for f in found)
    # Per line: the recent heads, its share of the budget and the would-be root.
    bound = count * (chain.RECENT_HEADS + chain.SEARCH_BUDGET_PER_RECORD + 1) + 2000
    assert len(tries) <= bound
    assert walker.cut_searches > 0 and "only the %d most recently extended chains were tried" \
        % chain.RECENT_HEADS in found[-1].detail
    # Without the bound every break would try every open head.
    assert len(tries) < count * walker.open_heads / 8
