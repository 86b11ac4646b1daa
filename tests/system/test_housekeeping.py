"""Housekeeping: the start-up cleanup of the pending collection, the ten-minute statistics
refresh and the hourly progress save. The timers run on a sped-up clock."""

import time
from datetime import datetime

import pytest

from conftest import CYCLE_END, FAKETIME_LIB

SPEED = 300  # ten minutes pass in 2 s, an hour in 12 s
RANSOM_START = ">>>>>>>>>>>>>> start update_ransom_work and start update"
HOURLY_FAILED = "save_anti_last_update_time  : 0 failed"


@pytest.fixture
def fast_clock(tree, monkeypatch):
    """Starts korveld on a clock running SPEED times faster, from the real time. The
    library is preloaded into korveld itself (not through the faketime wrapper, which
    would stand between the test and korveld as its parent). Cycles every fake minute
    keep the server from being hammered."""
    tree.write_config(update_interval=60, show_time_use=1)
    monkeypatch.setenv("LD_PRELOAD", FAKETIME_LIB)
    monkeypatch.setenv("FAKETIME", f"+0 x{SPEED}")
    return tree


def stamp_of(log, text, nth=1):
    """Seconds (on the daemon's clock) of the line holding the nth occurrence of `text`."""
    at = -1
    for _ in range(nth):
        at = log.index(text, at + 1)
    begin = log.rindex("\n", 0, at) + 1
    return datetime.strptime(log[begin:begin + 23], "%Y-%m-%d %H:%M:%S.%f").timestamp()


def wait_until(check, timeout, what):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def test_failed_pending_cleanup_stops_start_up(tree, db, daemon):
    # Uses a limit of the test server to provoke a real delete failure: it cannot delete
    # more than 32,766 documents in one command ("too many SQL variables"), so the final
    # delete of the cleanup fails.
    db.agent_level_pending_log.insert_many(
        [{"_id": f"e{i:06d}virus_file_log", "risk_level": 1, "virus_type": 1}
         for i in range(33000)])
    d = daemon(tree)
    d.wait_log("delete agent_level_pending_log failed", timeout=60)
    failed_at = time.monotonic()
    assert d.wait_exit() == 255
    assert time.monotonic() - failed_at >= 1.8  # the two-second pause before leaving

    log = tree.log_text()
    for text in ("delete agent_level_pending_log succ: 0", "Fail to delete, error:",
                 "delete agent_level_pending_log done: 0", "delete agent_level_pending_log failed"):
        assert log.count(text) == 1, text
    assert (log.index("Fail to delete, error:") < log.index("delete agent_level_pending_log done")
            < log.index("delete agent_level_pending_log failed"))
    assert "korveld_init failed" not in log
    assert "start korvel server..." not in log
    assert db.agent_level_pending_log.count_documents({}) == 33000


def test_statistics_refresh_every_ten_minutes_and_hourly_progress_save(fast_clock, db, daemon):
    tree = fast_clock
    seeded = int(time.time()) - 100000
    tree.progress_file.write_text(f"[anti_bfa]\nlast_update_time = {seeded}\nlast_update_id = \n")
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    assert db.cache_data.count_documents({}) == 0  # nothing at start-up

    log = d.wait_log(RANSOM_START, timeout=30)
    started = stamp_of(log, "start korvel server...")
    assert 600 <= stamp_of(log, RANSOM_START) - started < 720
    wait_until(lambda: db.cache_data.count_documents({}) == 1, 10, "cache_data")
    doc = db.cache_data.find_one({})
    assert doc["unique_key"] == 1 and doc["desc"] == "cache program is korveld"
    assert doc["cache_data"] == {"ransom_virus_count": 0, "ransom_behavior_count": 0,
                                 "anti_bfa_count": 0, "interception_count": 0}
    # Each idle cycle has moved the merge progress on by a second, yet only memory knows.
    assert tree.progress() == (seeded, "")

    log = d.wait_log(RANSOM_START, timeout=30, count=2)
    # The period counts from the end of a refresh, which itself takes fake seconds.
    assert 600 <= stamp_of(log, RANSOM_START, 2) - stamp_of(log, RANSOM_START) < 720

    # The hourly save writes the progress in memory: the file changes about an hour in,
    # between the fifth and the sixth ten-minute refresh.
    wait_until(lambda: tree.progress()[0] != seeded, 60, "the hourly save")
    saved, saved_id = tree.progress()
    log = tree.log_text()
    refreshes = log.count(RANSOM_START)
    assert refreshes in (5, 6), refreshes
    # One second per idle cycle, for the cycles that had ended by then.
    assert 0 < saved - seeded <= log.count(CYCLE_END) and saved_id == ""
    assert d.stop() == 0


def test_unwritable_progress_file_is_reported_every_hour(fast_clock, daemon):
    tree = fast_clock
    # Running as root, permissions stop nothing: a folder in the file's place does.
    tree.progress_file.mkdir()
    d = daemon(tree)
    log = d.wait_log(HOURLY_FAILED, timeout=60, count=2)
    started = stamp_of(log, "start korvel server...")
    first, second = stamp_of(log, HOURLY_FAILED), stamp_of(log, HOURLY_FAILED, 2)
    assert 3600 <= first - started < 3780
    assert 3600 <= second - first < 3780
    assert d.stop() == 0
    assert "save_anti_last_update_time : 0 failed when exit" in tree.log_text()
