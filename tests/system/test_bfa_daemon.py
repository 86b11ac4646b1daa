"""The brute-force merge in a running daemon: its progress survives a restart through the
progress file, and it bounds the pass over the merged records."""

import hashlib
import time

from conftest import CYCLE_END


def raw_report(src, at):
    """A raw brute-force report of agent 7 against ssh from `src` at second `at`."""
    return {"agent_id": "7", "serv_type": "ssh", "att_src": src, "time": at, "found_time": at,
            "att_times": 3, "state": 0, "user": "root"}


def merge_key(report):
    text = report["agent_id"] + report["serv_type"] + report["att_src"]
    return hashlib.sha1(text.encode()).hexdigest()


def merged_ids(db):
    return {doc["_id"] for doc in db.anti_bfa_log.find({}, {"_id": 1})}


def test_merge_progress_is_saved_at_exit_and_resumed_at_next_start(tree, db, daemon):
    # Long enough between cycles that the stop comes before an idle cycle moves the
    # progress on by a second.
    tree.write_config(update_interval=3, show_time_use=1)
    at = int(time.time()) - 1000
    first = raw_report("10.0.0.1", at)
    db.anti_bfa_origin_log.insert_one(first)

    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    assert d.stop() == 0
    assert tree.progress() == (at, str(first["_id"]))
    assert merged_ids(db) == {merge_key(first)}

    # Were the first report merged again, its merged record would come back.
    db.anti_bfa_log.delete_many({})
    older = raw_report("10.0.0.2", at - 1)
    same_second = raw_report("10.0.0.3", at)  # a later ObjectId than `first`
    db.anti_bfa_origin_log.insert_many([older, same_second])
    assert same_second["_id"] > first["_id"]

    first_run = len(tree.log_text())
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    assert d.stop() == 0
    assert "get anti_last_update_time failed" not in tree.log_text()[first_run:]
    assert merged_ids(db) == {merge_key(same_second)}
    assert tree.progress() == (at, str(same_second["_id"]))


def test_pass_over_merged_records_stops_below_the_merge_progress(tree, db, daemon):
    tree.registry({7: (1, 0)})
    at = int(time.time()) - 1000
    report = raw_report("10.0.0.1", at)
    db.anti_bfa_origin_log.insert_one(report)
    # A merged record written by someone else, three seconds after the merge's progress.
    db.anti_bfa_log.insert_one({"_id": "ahead", "agent_id": "7", "serv_type": "ssh",
                                "att_src": "10.0.0.9", "time": at + 3, "found_time": at + 3,
                                "att_times": 1, "state": 0})

    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(6)
    assert d.stop() == 0

    # Cycle 1 merges the report: progress (at, its id), and the pass reads below `at`.
    # Each idle cycle after it moves the progress on by one second: at + 1 in cycle 2,
    # at + 4 in cycle 5, so each merged record is read in the first cycle whose
    # progress is past its time.
    log = tree.log_text()

    def cycle_of(log_id):
        line = f"calc id {log_id}anti_bfa_log state 0 risk_level 1"
        assert log.count(line) == 1, line
        return log[:log.index(line)].count(CYCLE_END) + 1

    assert cycle_of(merge_key(report)) == 2
    assert cycle_of("ahead") == 5


def test_report_from_the_future_waits_and_later_reports_are_merged(tree, db, daemon):
    # An endpoint whose clock is far ahead: its report is dated 2^33 (the year 2242).
    now = int(time.time())
    ahead = raw_report("10.0.0.9", 2 ** 33)
    first = raw_report("10.0.0.1", now - 1000)
    db.anti_bfa_origin_log.insert_many([ahead, first])

    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    later = raw_report("10.0.0.2", now - 500)
    db.anti_bfa_origin_log.insert_one(later)
    d.wait_cycles(2)
    assert d.stop() == 0

    assert merged_ids(db) == {merge_key(first), merge_key(later)}
    # The progress stays behind the clock (idle cycles move it on by a second each).
    assert now - 500 <= tree.progress()[0] <= time.time()
