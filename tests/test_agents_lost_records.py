"""A log that cannot be written: every lost record reaches the trail's
policy, whatever the warnings filters say, and the chain goes on."""
import os
import warnings

import pytest

from vorm_zel_audit.agents import AuditTrail, LostRecordError, LostRecordWarning


@pytest.fixture
def unwritable(tmp_path):
    """A trail whose log directory is removed after its first record."""
    directory = tmp_path / "logs"
    directory.mkdir()
    path = str(directory / "audit.wal")

    def make(policy):
        trail = AuditTrail(path, on_lost_record=policy)
        trail.capture("written", "ok")
        for name in os.listdir(str(directory)):
            os.remove(str(directory / name))
        directory.rmdir()
        return trail
    return make


LOSSES = 5


def test_raise_carries_each_lost_record(unwritable):
    trail = unwritable("raise")
    lost = []
    for index in range(LOSSES):
        with pytest.raises(LostRecordError) as caught:
            trail.capture("lost %d" % index, "o")
        lost.append(caught.value.record)
        assert caught.value.record.id in str(caught.value)
        assert "No such file or directory" in caught.value.lost.reason
    assert [record.prompt for record in lost] == ["lost %d" % i for i in range(LOSSES)]
    assert len({record.id for record in lost}) == LOSSES


@pytest.mark.parametrize("user_filter", ["default", "once", "module"])
def test_warn_names_every_lost_record_under_the_usual_filters(unwritable, user_filter):
    trail = unwritable("warn")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(user_filter)
        records = [trail.capture("lost %d" % index, "o") for index in range(LOSSES)]
    assert [w.category for w in caught] == [LostRecordWarning] * LOSSES
    for record, warning in zip(records, caught):
        assert record.id in str(warning.message)
        assert warning.filename == __file__  # shown at the caller of capture


def test_warn_can_still_be_turned_into_an_error(unwritable):
    trail = unwritable("warn")
    with warnings.catch_warnings():
        warnings.simplefilter("error", LostRecordWarning)
        with pytest.raises(LostRecordWarning):
            trail.capture("lost", "o")


def test_a_callback_gets_every_loss_and_the_chain_goes_on(unwritable, vz):
    losses = []
    trail = unwritable(losses.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing else may surface
        records = [trail.capture("lost %d" % index, "o") for index in range(LOSSES)]
    assert [loss.record for loss in losses] == records
    assert all(loss.wal_path == trail.wal_path and loss.record_id == loss.record.id for loss in losses)
    assert all(loss.reason.startswith("vorm_zel: ") for loss in losses)


def test_a_written_log_reports_nothing(wal_path):
    losses = []
    with AuditTrail(wal_path, on_lost_record=losses.append) as trail:
        for index in range(3):
            trail.capture("p%d" % index, "o")
    assert losses == []


def test_an_unknown_policy_is_refused(wal_path):
    with pytest.raises(ValueError, match="on_lost_record"):
        AuditTrail(wal_path, on_lost_record="ignore")
