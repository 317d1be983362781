"""Worker processes give the same report as checking in-process, and
bigger logs use them by default."""
import pytest

from audit_logs import edit, kinds, other_key_line, public_key_of, read_lines, seal, write_lines
from vorm_zel_audit import verify_log
from vorm_zel_audit.verify import PARALLEL_MIN_LINES, default_jobs


@pytest.fixture(scope="module")
def big_log(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "audit.wal"
    engine = seal(path, PARALLEL_MIN_LINES + 300)
    return path, engine.public_key_hex()


def test_a_big_log_is_checked_by_workers(big_log):
    path, key = big_log
    report = verify_log(str(path), key, jobs=2)
    assert report.jobs == 2
    assert report.passed and report.records == PARALLEL_MIN_LINES + 300
    assert [s.records for s in report.segments] == [PARALLEL_MIN_LINES + 300]


def test_a_small_log_is_checked_in_process(tmp_path):
    path = tmp_path / "audit.wal"
    seal(path, 50)
    assert verify_log(str(path), public_key_of(path), jobs=4).jobs == 1


def test_default_jobs_is_the_cpus():
    assert default_jobs() >= 1


def _summary(report):
    return (report.passed, report.lines, report.records, report.failure_counts,
            [(f.kind, f.line, f.offset, f.detail, f.record_id) for f in report.failures],
            [s.to_dict() for s in report.segments], report.torn_tail, report.notes, report.hints)


@pytest.mark.parametrize("chunk_bytes", [1500, 7000, 100000])
def test_workers_and_in_process_agree_on_a_tampered_log(tmp_path, chunk_bytes):
    path = tmp_path / "audit.wal"
    seal(path, 60)
    seal(path, 20, start=500)
    lines = read_lines(path)
    second_start = lines[60]
    lines[4] = edit(lines[4], prompt="changed")
    lines[10] = edit(lines[10], merkle_root="cd" * 32)
    del lines[20]
    lines.insert(30, other_key_line(tmp_path, 7))
    lines.insert(40, b"{broken")
    lines[50], lines[51] = lines[51], lines[50]
    lines.append(second_start)  # the second engine's first line, copied
    write_lines(path, lines, tail=b'{"id":"zel_')
    key = public_key_of(path)
    alone = verify_log(str(path), key, jobs=1)
    workers = verify_log(str(path), key, jobs=2, parallel_min_lines=0, chunk_bytes=chunk_bytes)
    assert workers.jobs == 2
    assert _summary(workers) == _summary(alone)
    assert kinds(alone) == [("hash_mismatch", 5), ("chain_break", 11), ("chain_break", 21),
                            ("bad_signature", 31), ("malformed_line", 41), ("chain_break", 51),
                            ("duplicate", 82), ("torn_tail", 83)]


def test_progress_is_reported_to_the_end(big_log):
    path, key = big_log
    calls = []
    verify_log(str(path), key, jobs=2, progress=lambda done, total, lines: calls.append((done, total, lines)))
    assert calls[0][0] == 0
    assert calls[-1][0] == calls[-1][1] == path.stat().st_size
    assert calls[-1][2] == PARALLEL_MIN_LINES + 300


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_workers_need_nothing_from_the_parent(tmp_path, method):
    # Fresh interpreters (spawn) and a fork server get only what they import:
    # the report is the same as in-process.
    multiprocessing = pytest.importorskip("multiprocessing")
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip("no %s on this platform" % method)
    path = tmp_path / "audit.wal"
    seal(path, 40)
    lines = read_lines(path)
    lines[7] = edit(lines[7], prompt="changed")
    write_lines(path, lines)
    key = public_key_of(path)
    alone = verify_log(str(path), key, jobs=1)
    workers = verify_log(str(path), key, jobs=2, parallel_min_lines=0, chunk_bytes=5000,
                         mp_context=multiprocessing.get_context(method))
    assert workers.jobs == 2
    assert _summary(workers) == _summary(alone)
    assert kinds(workers) == [("hash_mismatch", 8)]
