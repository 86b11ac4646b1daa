"""No event lost and no table stalled: an event committed after its second, a pending
document korveld cannot use, tables whose ids are ObjectIds, and a stop in the middle of a
long pass. Expected summaries come from rules.py."""

import os
import re
import signal
import time

from bson import ObjectId
from bson.int64 import Int64

import rules
from conftest import CYCLE_END, stored_levels
from rules import INCIDENT, LEAK, PENDING, VIRUS

REBUILT = "update history date finsih"
CYCLE_START = ">>>>>>>>>>>>>> start update_work and start update"
PASS_START = re.compile(r">>>>>>start one compare table: \[virus_file_log\] millisecond is : (\d+)")
REGISTRY = {"6001": (1, 0), "6002": (1, 1)}


def virus(_id, agent, t, **f):
    return dict({"_id": _id, "agent_id": agent, "time": t, "found_time": t - 500, "state": 0,
                 "risk_level": 2, "virus_type": 1}, **f)


def leak(_id, agent, kb, t, **f):
    return dict({"_id": _id, "agent_id": agent, "kb": kb, "update_time": t,
                 "found_time": t - 500, "state": 1, "risk_level": 4}, **f)


def incident(incident_id, agent, t_ms, **f):
    return dict({"_id": "o-" + incident_id, "incident_id": incident_id, "agent_id": agent,
                 "update_time": t_ms, "trigger_time": t_ms - 500_000, "dispose": 0,
                 "incident_level": 4, "merged": False}, **f)


def pause_between_cycles(d):
    """Stops the daemon (SIGSTOP) right after a cycle has ended; returns the log then."""
    while True:
        d.wait_cycles(1)
        os.kill(d.proc.pid, signal.SIGSTOP)
        log = d.tree.log_text()
        if log.rfind(CYCLE_START) < log.rfind(CYCLE_END):
            return log
        os.kill(d.proc.pid, signal.SIGCONT)  # caught mid-cycle: try after it


def resume(d):
    os.kill(d.proc.pid, signal.SIGCONT)


def test_event_committed_after_its_second_reaches_agent_level(tree, db, daemon):
    tree.registry(REGISTRY)
    old = int(time.time()) - 100_000
    history = {VIRUS: [virus("v1", "6001", old)]}
    db[VIRUS].insert_many(history[VIRUS])
    d = daemon(tree)
    d.wait_log(REBUILT)
    model = rules.Summaries(REGISTRY)
    model.read(history, int(time.time()))
    model.rebuild()

    # The last passes ran in second P. A writer stamps its events with P - 1 and commits
    # them only now: into a table with a key (virus_file_log) and a quiet one (incidents,
    # whose key is in milliseconds).
    log = pause_between_cycles(d)
    p = int(PASS_START.findall(log)[-1]) // 1000
    late = {VIRUS: [virus("late", "6001", p - 1)],
            INCIDENT: [incident("late", "6002", (p - 1) * 1000 + 500)]}
    for table, docs in late.items():
        db[table].insert_many(docs)
    resume(d)
    d.wait_cycles(2)

    model.read(late, int(time.time()))
    expected = model.flush(lambda a: rules.six_counts(db, a))
    assert stored_levels(db) == expected
    assert expected["6001"]["risk_high"] == 2 and expected["6002"]["event_counts"]["adv_threat"] == 1
    assert d.stop() == 0


def test_unusable_pending_document_stalls_nothing_and_is_replaced(tree, db, daemon):
    tree.registry(REGISTRY)
    d = daemon(tree)
    d.wait_log(REBUILT)
    model = rules.Summaries(REGISTRY)
    model.rebuild()

    pause_between_cycles(d)
    now = int(time.time())
    # Written by someone else: X's pending document lacks its category.
    db[PENDING].insert_one({"_id": "Xvirus_file_log", "risk_level": Int64(2)})
    events = {VIRUS: [virus(i, "6001", now) for i in ("X", "Y", "Z")]}
    db[VIRUS].insert_many(events[VIRUS])
    time.sleep(max(0.0, now + 1.05 - time.time()))  # the passes read below their second
    resume(d)
    log = d.wait_log("pending document Xvirus_file_log unusable (virus_type missing): "
                     "the event is taken as new")
    d.wait_cycles(2)

    model.read(events, int(time.time()))
    expected = model.flush(lambda a: rules.six_counts(db, a))
    assert expected["6001"]["risk_high"] == 3
    assert stored_levels(db) == expected
    assert "[1] pending.cpp" in log
    assert "deal_with_event failed" not in d.tree.log_text()
    # The broken document is now a sound one, field for field as korveld writes them.
    (stored,) = db[PENDING].find({"_id": "Xvirus_file_log"})
    assert list(stored.items()) == [("_id", "Xvirus_file_log"), ("risk_level", Int64(2)),
                                    ("virus_type", Int64(1))]
    assert all(type(v) is Int64 for k, v in stored.items() if k != "_id")

    # X seen again, still unhandled: it was counted once, and stays so.
    pause_between_cycles(d)
    now = int(time.time())
    db[VIRUS].update_one({"_id": "X"}, {"$set": {"time": now}})
    time.sleep(max(0.0, now + 1.05 - time.time()))
    resume(d)
    d.wait_cycles(2)
    assert stored_levels(db) == expected
    assert d.stop() == 0


def test_tables_with_objectid_ids_page_through_every_batch(tree, db, daemon):
    tree.write_config(update_interval=1, show_time_use=1, update_agent_level_query_count=2)
    tree.registry(REGISTRY)
    base = int(time.time()) - 100_000
    ids = [ObjectId() for _ in range(12)]  # increasing
    # Runs of equal times cut by the pages of two; the ids break the ties.
    tables = {
        VIRUS: [virus(ids[i], "6001", base + i // 3, state=(0, 1)[i % 2], risk_level=i % 3)
                for i in range(7)],
        LEAK: [leak(ids[7 + i], "6002", f"KB{i}", base + i, risk_level=(1, 2, 4)[i % 3])
               for i in range(5)],
    }
    for table, docs in tables.items():
        db[table].insert_many(docs)
    d = daemon(tree)
    log = d.wait_log(REBUILT, timeout=60)

    model = rules.Summaries(REGISTRY)
    model.read(rules.history(db), int(time.time()))
    expected = model.rebuild()
    assert sorted(expected) == ["6001", "6002"]
    assert stored_levels(db) == expected
    assert "save_last_update_time failed" not in log
    assert f"save last key: leak_info_log|log_id={ids[11]}|time={base + 4}" in log
    assert d.stop() == 0


def test_stop_in_the_middle_of_a_long_pass_is_served_promptly(tree, db, daemon):
    # Every event of the pass costs a look-up in the pending collection (it is not empty):
    # the pass takes seconds, and the stop must not wait for its end.
    tree.write_config(update_interval=3, show_time_use=1)
    tree.registry(REGISTRY)
    n = 12_000
    base = int(time.time()) - 100_000
    db[VIRUS].insert_many([virus(f"s{i:05d}", "6001", base + i) for i in range(n)])
    d = daemon(tree)
    d.wait_started()
    db[PENDING].insert_one({"_id": "elsewhere", "risk_level": Int64(1), "virus_type": Int64(1)})
    d.wait_log("calc id s00500virus_file_log", timeout=60)
    sent = time.monotonic()
    assert d.stop(timeout=30) == 0
    took = time.monotonic() - sent

    log = tree.log_text()
    assert f"calc id s{n - 1:05d}virus_file_log" not in log
    assert "finish one compare table: [virus_file_log]" not in log
    assert "start one compare table: [anti_bfa_log]" not in log
    assert "start update table: [agent_level]" not in log
    assert "cmp_and_update_agent_inc 1 failed" not in log
    assert took < 5, f"stop served after {took:.1f}s"
