"""Fleet verification: verify_logs and ``vorm-zel verify LOG... --dask``
give every log the report verify_log gives it (failures, line numbers,
offsets, statement), on a Dask cluster of worker processes reached by its
scheduler address, on an in-process cluster, and without a cluster; logs
are read from local paths and through fsspec's local and memory file
systems."""
import json
import os
import uuid

import pytest

from audit_logs import edit, public_key_of, read_lines, seal, write_lines
from conftest import SANITIZED
from vorm_zel_audit import verify_log
from vorm_zel_audit.cli import main
from vorm_zel_audit.fleet import LogKey, verify_logs

# The Dask path runs no native code: the sanitizer pass skips it, before
# Dask is imported. This file sorts after test_audit_*: a subprocess started
# by a test there reports its peak RSS, which on Linux includes this
# process's RSS when it forked, and Dask makes this process larger.
if SANITIZED:
    pytest.skip("sanitized build: the Dask path runs no native code", allow_module_level=True)
distributed = pytest.importorskip("distributed")
fsspec = pytest.importorskip("fsspec")

RECORDS = 40
SPAN = 3000  # bytes: every log is cut into several spans


def comparable(report):
    """A report as a dict, less what differs between engines (time, worker
    count) and the name it was read by."""
    data = report.to_dict()
    for name in ("elapsed_seconds", "jobs", "path"):
        data.pop(name)
    return data


@pytest.fixture(scope="module")
def fleet_logs(tmp_path_factory):
    """Clean, tampered (a changed prompt, a removed line), torn and
    multi-engine logs, all sealed by one engine key per log."""
    directory = tmp_path_factory.mktemp("fleet")
    logs = {}

    def make(name, count=RECORDS):
        path = directory / name
        engine = seal(path, count)
        logs[name] = (str(path), engine.public_key_hex())
        return path

    make("clean.wal")
    path = make("tampered.wal")
    lines = read_lines(path)
    lines[7] = edit(lines[7], prompt="a different prompt")
    del lines[20]
    write_lines(path, lines)
    path = make("torn.wal")
    write_lines(path, read_lines(path), tail=read_lines(path)[0][:90])
    path = make("two_engines.wal", 10)
    seal(path, 10, start=10)
    path = make("one_line.wal", 1)
    return logs


def keys_of(logs):
    return {path: key for path, key in logs.values()}


def local_reports(logs):
    return {path: verify_log(path, key, jobs=1) for path, key in logs.values()}


def assert_same(fleet, expected):
    assert len(fleet.results) == len(expected)
    for result in fleet.results:
        assert result.error is None, result.error
        assert comparable(result.report) == comparable(expected[result.log]), result.log


def test_the_fixture_mixes_passing_and_failing_logs(fleet_logs):
    reports = local_reports(fleet_logs)
    passed = {os.path.basename(path): report.passed for path, report in reports.items()}
    assert passed == {"clean.wal": True, "tampered.wal": False, "torn.wal": True, "two_engines.wal": True,
                      "one_line.wal": True}
    tampered = reports[fleet_logs["tampered.wal"][0]]
    assert {kind for kind in tampered.failure_counts} == {"hash_mismatch", "chain_break"}
    assert reports[fleet_logs["torn.wal"][0]].torn_tail is not None


def test_without_a_client_every_log_gets_its_own_report(fleet_logs):
    fleet = verify_logs([path for path, _ in fleet_logs.values()], keys_of(fleet_logs), jobs=1)
    assert_same(fleet, local_reports(fleet_logs))
    summary = fleet.summary
    assert (summary.logs, summary.passed, summary.failed, summary.errors) == (5, 4, 1, 0)
    assert summary.records_failed == 1 and summary.failure_counts == {"chain_break": 1, "hash_mismatch": 1,
                                                                      "torn_tail": 1}
    assert not fleet.passed


@pytest.fixture(scope="module")
def process_cluster():
    """Two worker processes, reached the way a user would: by address."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster.scheduler_address) as client:
            yield client


@pytest.fixture(scope="module")
def thread_cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.slow
@pytest.mark.parametrize("cluster", ["process_cluster", "thread_cluster"])
def test_a_cluster_gives_the_local_reports(request, cluster, fleet_logs):
    client = request.getfixturevalue(cluster)
    paths = [path for path, _ in fleet_logs.values()]
    fleet = verify_logs(paths, keys_of(fleet_logs), client=client, span_bytes=SPAN)
    assert_same(fleet, local_reports(fleet_logs))
    assert [result.log for result in fleet.results] == paths
    assert all(result.report.jobs == 2 for result in fleet.results)
    assert "Dask" in fleet.summary.engine


@pytest.mark.slow
def test_fsspec_local_urls_on_worker_processes(process_cluster, fleet_logs):
    urls = {"file://" + path: key for path, key in fleet_logs.values()}
    fleet = verify_logs(list(urls), urls, client=process_cluster, span_bytes=SPAN)
    expected = local_reports(fleet_logs)
    for result in fleet.results:
        assert result.report.path == result.log
        assert comparable(result.report) == comparable(expected[result.log[len("file://"):]])


@pytest.fixture
def memory_logs(fleet_logs):
    """The fixture's logs copied into fsspec's memory file system."""
    memory = fsspec.filesystem("memory")
    prefix = "memory://fleet-%s/" % uuid.uuid4().hex
    urls = {}
    for name, (path, key) in fleet_logs.items():
        with open(path, "rb") as handle, memory.open(prefix + name, "wb") as out:
            out.write(handle.read())
        urls[prefix + name] = (path, key)
    yield urls
    memory.rm(prefix, recursive=True)


@pytest.mark.slow
@pytest.mark.parametrize("engine", ["in-process cluster", "no cluster"])
def test_memory_urls(request, engine, memory_logs):
    options = {"in-process cluster": dict(client=request.getfixturevalue("thread_cluster"), span_bytes=SPAN),
               "no cluster": dict(jobs=1)}[engine]
    keys = {url: key for url, (_, key) in memory_logs.items()}
    fleet = verify_logs(list(memory_logs), keys, **options)
    for result in fleet.results:
        assert comparable(result.report) == comparable(verify_log(memory_logs[result.log][0], keys[result.log]))


@pytest.mark.slow
@pytest.mark.parametrize("protocol", ["file", "memory"])
def test_a_big_url_log_uses_the_local_pool(tmp_path, protocol):
    """This process reads the spans and worker processes check them, so an
    in-memory file system works as well as a shared one."""
    path = tmp_path / "big.wal"
    key = seal(path, 2100).public_key_hex()
    lines = read_lines(path)
    lines[1500] = edit(lines[1500], prompt="changed")
    write_lines(path, lines)
    url = "file://%s" % path
    if protocol == "memory":
        url = "memory://big-%s/audit.wal" % uuid.uuid4().hex
        fsspec.filesystem("memory").pipe(url, path.read_bytes())
    report = verify_log(url, key, jobs=2)
    assert report.jobs == 2
    expected = verify_log(str(path), key, jobs=1)
    assert comparable(report) == comparable(expected)
    assert [(f.kind, f.line) for f in report.failures] == [("hash_mismatch", 1501)]


def test_logs_that_cannot_be_verified_are_errors_of_their_own(tmp_path, fleet_logs):
    clean, key = fleet_logs["clean.wal"]
    missing = str(tmp_path / "missing.wal")
    fleet = verify_logs([missing, clean, str(tmp_path), "memory://nowhere/absent.wal", clean],
                        {clean: LogKey(key, "kept elsewhere"), missing: key, str(tmp_path): key})
    outcome = [(result.error is None, result.passed) for result in fleet.results]
    assert outcome == [(False, False), (True, True), (False, False), (False, False), (True, True)]
    assert "No such file" in fleet.results[0].error
    assert "not a regular file" in fleet.results[2].error or "directory" in fleet.results[2].error
    assert "no public key was given" in fleet.results[3].error
    assert fleet.results[1].report.key_source == "kept elsewhere"
    assert (fleet.summary.errors, fleet.summary.passed) == (3, 2)


def test_signed_checkpoints_beside_a_url_are_noted_not_checked(tmp_path, fleet_logs):
    memory = fsspec.filesystem("memory")
    url = "memory://noted-%s/audit.wal" % uuid.uuid4().hex
    path, key = fleet_logs["clean.wal"]
    with open(path, "rb") as handle:
        memory.pipe(url, handle.read())
    memory.pipe(url + ".checkpoints", b"anything")
    try:
        report = verify_logs([url], key).results[0].report
        assert report.passed and report.notarized is None
        assert any("were not checked" in note or "was not checked" in note for note in report.notes)
        with pytest.raises(ValueError, match="only for a log on a local path"):
            verify_log(url, key, require_notarized=True)
    finally:
        memory.rm(url.rsplit("/", 1)[0], recursive=True)


class TestCommand:
    def run(self, capsys, *arguments):
        code = main(list(arguments))
        captured = capsys.readouterr()
        self.err = captured.err
        return code, captured.out

    def test_one_log_without_dask_prints_the_single_report(self, capsys, fleet_logs):
        path, key = fleet_logs["clean.wal"]
        code, out = self.run(capsys, "verify", path, "--public-key", key, "--json")
        assert code == 0 and json.loads(out)["path"] == path

    @pytest.mark.slow
    def test_several_logs_on_a_cluster(self, capsys, process_cluster, fleet_logs):
        paths = [fleet_logs[name][0] for name in ("clean.wal", "torn.wal")]
        for log in paths:  # each log's key file beside it: self-consistency, noted per log
            assert os.path.exists(log + ".key")
        code, out = self.run(capsys, "verify", *paths, "--dask", process_cluster.scheduler.address, "--json")
        data = json.loads(out)
        assert code == 0 and data["passed"] and data["summary"]["logs"] == 2
        expected = [verify_log(log, public_key_of(log)) for log in paths]
        for got, report in zip(data["logs"], expected):
            assert got["failures"] == comparable(report)["failures"] and got["lines"] == report.lines
            assert got["key_pinned"] is False and got["notes"][0].startswith("self-consistency only")

    def test_exit_codes(self, capsys, tmp_path, fleet_logs):
        clean, key = fleet_logs["clean.wal"]
        tampered = fleet_logs["tampered.wal"][0]
        missing = str(tmp_path / "missing.wal")
        assert self.run(capsys, "verify", clean, clean, "--public-key", key)[0] == 0
        code, out = self.run(capsys, "verify", clean, missing, "--public-key", key)
        assert code == 2 and "could not verify" in out
        assert self.run(capsys, "verify", tampered, missing)[0] == 1

    @pytest.mark.parametrize("arguments, message", [
        (["--checkpoint", "c.json"], "--checkpoint is one log's checkpoint"),
        (["--checkpoints", "c"], "--checkpoints names one log's"),
        (["--dask", "tcp://127.0.0.1:9", "--jobs", "2"], "--jobs sets the local worker processes"),
    ])
    def test_options_that_do_not_fit_are_refused(self, capsys, fleet_logs, arguments, message):
        path = fleet_logs["clean.wal"][0]
        code, _ = self.run(capsys, "verify", path, path, *arguments)
        assert code == 2 and message in self.err
