"""Logs written by the real module, in all their variety, verify clean:
the verifier and the module agree on every byte that is sealed."""
import json
import os

import pytest
import vorm_zel

from audit_logs import public_key_of, read_lines, seal
from vorm_zel_audit import verify_log


def test_every_kind_of_record_verifies(tmp_path):
    path = str(tmp_path / "audit.wal")
    engine = vorm_zel.ZELEngine(path)
    texts = ["", "plain", "line\nfeed", "tab\tquote\"back\\slash", "\u0001\u001f\u007f/", "caf\u00e9",
             "\u65e5\u672c\u8a9e", "\U0001f600 emoji", "\u2028\u2029", "x" * 5000, '{"id":"zel_fake"}']
    count = 0
    for prompt in texts:
        for provenance in texts[:4]:
            triplet = vorm_zel.PPPTriplet(provenance, prompt[:3], "purpose " + prompt[-2:])
            review = vorm_zel.HumanDeltaChain(prompt, True, provenance, chain_id=prompt)
            engine.capture({"p": prompt}, prompt, [prompt, None, 1.5], prompt, triplet, review,
                           auto_insight=count % 2 == 0)
            count += 1
    # Identical lengths in a row make coherent decisions, which carry a core insight.
    triplet = vorm_zel.PPPTriplet("p", "q", "r")
    review = vorm_zel.HumanDeltaChain("d", False, "n")
    for _ in range(30):
        engine.capture(None, "same length", None, "same", triplet, review)
        count += 1
    lines = read_lines(path)
    assert len(lines) == count
    assert any(json.loads(line)["core_insight_json"] is not None for line in lines)
    report = verify_log(path, engine.public_key_hex(), jobs=1)
    assert report.passed and report.failures == [], report.format_text()
    assert report.records == count and [s.records for s in report.segments] == [count]


def test_the_demo_log_verifies(tmp_path):
    import subprocess
    import sys
    demo = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples",
                        "seal_decisions.py")
    path = str(tmp_path / "audit.wal")
    subprocess.run([sys.executable, demo, "--decisions", "500", "--wal", path], check=True,
                   stdout=subprocess.DEVNULL, timeout=300)
    report = verify_log(path, vorm_zel.ZELEngine(path).public_key_hex(), jobs=2, parallel_min_lines=0)
    assert report.passed and report.records == 500


def test_an_empty_log_verifies(tmp_path):
    path = str(tmp_path / "audit.wal")
    engine = vorm_zel.ZELEngine(path)
    report = verify_log(path, engine.public_key_hex())
    assert report.passed and report.lines == 0 and report.segments == []


def test_a_log_of_a_log_path_that_is_missing_raises(tmp_path):
    with pytest.raises(OSError):
        verify_log(str(tmp_path / "missing.wal"), "ab" * 32)


def test_keys_of_small_order_are_refused_as_libsodium_refuses_them():
    from nacl.bindings import crypto_core_ed25519_is_valid_point

    from vorm_zel_audit import InvalidKey
    from vorm_zel_audit.keys import _SMALL_ORDER_Y, normalise_public_key_hex

    for y in _SMALL_ORDER_Y:
        for sign in (0, 0x80):
            key = y[:31] + bytes([y[31] | sign])
            assert not crypto_core_ed25519_is_valid_point(key)
            with pytest.raises(InvalidKey, match="small order"):
                normalise_public_key_hex(key.hex())


def test_a_real_key_is_accepted(tmp_path):
    from nacl.bindings import crypto_core_ed25519_is_valid_point

    from vorm_zel_audit.keys import normalise_public_key_hex

    key = public_key_of(tmp_path / "a.wal")
    assert crypto_core_ed25519_is_valid_point(bytes.fromhex(key))
    assert normalise_public_key_hex(key.upper()) == key


@pytest.mark.parametrize("jobs", [0, -1, 1.5, True, "2"])
def test_jobs_below_one_or_not_whole_are_refused(tmp_path, jobs):
    path = tmp_path / "audit.wal"
    seal(path, 2)
    with pytest.raises(ValueError, match="jobs must be a whole number of at least 1"):
        verify_log(str(path), public_key_of(path), jobs=jobs)


def test_no_more_workers_than_spans_or_cpus(tmp_path):
    from vorm_zel_audit.verify import default_jobs

    path = tmp_path / "audit.wal"
    seal(path, 40)
    report = verify_log(str(path), public_key_of(path), jobs=500, parallel_min_lines=0, chunk_bytes=20000)
    assert report.passed
    spans = -(-path.stat().st_size // 20000)
    assert 1 <= report.jobs <= min(default_jobs(), spans)
