"""From event documents to agent_level: the rebuild after a start, steady-state changes,
a restart, the pending queue overflowing into its collection, and the rebuild that waits
for the passes to page through large tables. Expected documents come from rules.py."""

import os
import re
import signal
import time
from contextlib import contextmanager

from bson import ObjectId
from bson.int64 import Int64

import rules
from conftest import CYCLE_END, stored_levels
from rules import BFA, BFA_RAW, DOMAIN, INCIDENT, LEAK, NOFILE, PENDING, VIRUS, WEBSHELL

REBUILT = "update history date finsih"
CYCLE_START = ">>>>>>>>>>>>>> start update_work and start update"
DROP = object()  # a field value that leaves the field out of the document


class Stamps:
    """Distinct, increasing paging times far in the past (so every pass can read them)."""

    def __init__(self):
        self.t = int(time.time()) - 100_000

    def __call__(self):
        self.t += 1
        return self.t


def _doc(base, fields):
    return {k: v for k, v in dict(base, **fields).items() if v is not DROP}


def virus(at, _id, agent, **f):
    t = at()
    return _doc({"_id": _id, "agent_id": agent, "time": t, "found_time": t - 500, "state": 0,
                 "risk_level": 2, "virus_type": 1}, f)


def webshell(at, _id, agent, **f):
    t = at()
    return _doc({"_id": _id, "agent_id": agent, "time": t, "found_time": t - 500, "state": 0,
                 "safety_state": "invaded"}, f)


def domain(at, _id, agent, **f):
    t = at()
    return _doc({"_id": _id, "agent_id": agent, "domain_update_time": t, "found_time": t - 500,
                 "found_source": "dns", "unhandle_file_count": 2, "event_risk_level": 1}, f)


def nofile(at, _id, agent, **f):
    t = at()
    return _doc({"_id": _id, "agent_id": agent, "time": t, "found_time": t - 500, "state": 0,
                 "risk_level": 1}, f)


def leak(at, _id, agent, kb, **f):
    t = at()
    return _doc({"_id": _id, "agent_id": agent, "kb": kb, "update_time": t,
                 "found_time": t - 500, "state": 1, "risk_level": 4}, f)


def incident(at, incident_id, agent, **f):
    t = at()
    return _doc({"_id": "o-" + incident_id, "incident_id": incident_id, "agent_id": agent,
                 "update_time": t * 1000, "trigger_time": (t - 500) * 1000 + 999,
                 "dispose": 0, "incident_level": 4, "merged": False}, f)


def raw_bfa(at, agent, serv, src, **f):
    t = at()
    return _doc({"_id": ObjectId(), "agent_id": agent, "serv_type": serv, "att_src": src,
                 "time": t, "found_time": t - 500, "att_times": 3, "state": 0, "user": "root",
                 "duration": 5, "msg": "failed password", "succ": 0}, f)


def insert(db, tables):
    for table, docs in tables.items():
        if docs:
            db[table].insert_many([dict(d) for d in docs])


def assert_levels(db, expected, since):
    got = stored_levels(db, since)
    assert sorted(got) == sorted(expected)
    for agent in expected:
        assert got[agent] == expected[agent], f"agent {agent}"
    return got


@contextmanager
def paused(d):
    """Holds the daemon between two cycles while the test changes the database; yields the
    second to stamp changed documents with."""
    while True:
        d.wait_cycles(1)
        os.kill(d.proc.pid, signal.SIGSTOP)
        log = d.tree.log_text()
        if log.rfind(CYCLE_START) < log.rfind(CYCLE_END):
            break
        os.kill(d.proc.pid, signal.SIGCONT)  # caught mid-cycle: try after it
    stamp = int(time.time())
    try:
        yield stamp
    finally:
        # Resume in a later second, so the next cycle's passes read what was stamped now.
        time.sleep(max(0.0, stamp + 1.05 - time.time()))
        os.kill(d.proc.pid, signal.SIGCONT)


# ---------------------------------------------------------------------------------------
# The first rebuild over a mix of every table and every reason to skip an event.

MIX_REGISTRY = {
    "1001": (1, 0), "1002": (2, 1), "1003": (1, 1), "1007": (7, 0), "1008": (8, 1),
    "1009": (1, 2), "1010": (1, 0), "1011": (1, 0), "1012": (0, 0),
}


def mix_events(at):
    v = lambda _id, agent="1001", **f: virus(at, _id, agent, **f)  # noqa: E731
    tables = {
        VIRUS: [
            # The latest found_time of 1001 belongs to its first document.
            v("v01", found_time=at.t + 5000),
            v("v02", risk_level=1, virus_type=2, state=2),
            v("v03", risk_level=0, virus_type=3, state=5),
            v("v04", virus_type=4), v("v05", virus_type=5), v("v06", risk_level=1, virus_type=0),
            *[v(f"v07-{c}", risk_level=c % 3, virus_type=c) for c in range(6, 14)],
            v("v08", virus_type=60), v("v09", virus_type=70),
            v("v10", risk_level=3), v("v11", risk_level=4),  # valid, but no risk counter
            v("v12", risk_level=258), v("v13", risk_level=1, virus_type=258),  # low byte
            v("v14", state=1), v("v15", state=3),  # handled at first sight
            # Numbers of other types: a text reads as 0, a double is cut, true is 1.
            v("v16", risk_level="2"), v("v17", risk_level=2.9, virus_type=True),
            # Not counted: invalid levels and categories, missing or mistyped fields, no
            # paging time or one in the future.
            v("v20", risk_level=5), v("v21", risk_level=-1), v("v22", virus_type=14),
            v("v23", virus_type=DROP), v("v24", found_time=DROP), v("v25", state=DROP),
            v("v26", agent=DROP), v("v27", agent=1001), v(ObjectId()),
            v("v29", time=DROP), v("v30", time=at.t + 200_000),
            # Other agents: unregistered, the same number spelt differently, platform 7,
            # only handled events, only invalid events.
            v("v40", agent="1999"), v("v41", agent="01001", risk_level=0),
            v("v42", agent="1007", risk_level=1, virus_type=3),
            v("v43", agent="1010", state=1), v("v44", agent="1011", risk_level=9),
        ],
        WEBSHELL: [
            webshell(at, "w1", "1002"), webshell(at, "w2", "1002", safety_state="clean"),
            webshell(at, "w3", "1002", safety_state="INVADED"),
            webshell(at, "w4", "1002", safety_state=""),
            webshell(at, "w5", "1002", safety_state=DROP),
            webshell(at, "w6", "1002", state=1), webshell(at, "w7", "1009"),
            webshell(at, "w8", "1999"),
        ],
        DOMAIN: [
            domain(at, "d1", "1002"), domain(at, "d2", "1002", unhandle_file_count=0),
            domain(at, "d3", "1002", found_source=DROP),
            domain(at, "d4", "1002", unhandle_file_count=DROP),
            domain(at, "d5", "1002", event_risk_level=2, unhandle_file_count=1),
            domain(at, "d6", "1002", domain_update_time=DROP),
        ],
        NOFILE: [
            *[nofile(at, f"n{s}", "1002", state=s, risk_level=s % 3) for s in range(0, 9)],
            nofile(at, "n9", "1002", risk_level=3), nofile(at, "n10", "1010", state=4),
        ],
        LEAK: [
            leak(at, "l1", "1002", "KB1"), leak(at, "l2", "1002", "KB2", state=4, risk_level=2),
            leak(at, "l3", "1002", "KB3", state=8, risk_level=1),
            leak(at, "l4", "1002", "KB4", state=2), leak(at, "l5", "1002", "KB5", risk_level=0),
            # Same kb and agent as l1: the same event, seen again with a new risk.
            leak(at, "l6", "1002", "KB1", risk_level=2),
            leak(at, "l7", "1012", "KB1"), leak(at, "l8", "1002", DROP),
        ],
        INCIDENT: [
            incident(at, "i1", "1003", incident_level=5),
            incident(at, "i2", "1003", incident_level=3, dispose=1),
            incident(at, "i3", "1003", dispose=2), incident(at, "i4", "1003", incident_level=1),
            incident(at, "i5", "1003", incident_level=6),
            incident(at, "i6", "1003", incident_level=260),
            incident(at, "i7", "1003", merged=True), incident(at, "i8", "1003", merged=DROP),
            incident(at, "i9", "1007"), incident(at, "i10", "1008"), incident(at, "i11", "1009"),
            incident(at, "i12", "1999"),
        ],
        BFA_RAW: [
            raw_bfa(at, "1003", "ssh", "10.0.0.1", state=1),
            raw_bfa(at, "1003", "ssh", "10.0.0.1"),  # the later report of the same attack
            raw_bfa(at, "1003", "rdp", "10.0.0.2", state=1),
            raw_bfa(at, "1003", "ssh", "10.0.0.3", att_times=0),
            raw_bfa(at, "1003", "", "10.0.0.4"), raw_bfa(at, "1001", "smb", "10.0.0.5", state=2),
            raw_bfa(at, "1999", "ssh", "10.0.0.6"),
        ],
    }
    return tables


def sentinel_bfa(at, tables):
    """The newest raw report, of an unregistered agent: the merge progress stops at its
    time, so every other merged record is below it and read in the first cycle."""
    report = raw_bfa(at, "1999", "ftp", "10.9.9.9")
    tables[BFA_RAW].append(report)
    return report["time"]


def test_first_rebuild_gives_each_agent_the_summary_of_its_events(tree, db, daemon):
    at = Stamps()
    tables = mix_events(at)
    progress = sentinel_bfa(at, tables)
    insert(db, tables)
    tree.registry(MIX_REGISTRY)
    started = int(time.time())

    d = daemon(tree)
    d.wait_log(REBUILT)

    merged = rules.merge_bfa(tables[BFA_RAW])
    assert ({r["_id"]: r["state"] for r in db[BFA].find()}
            == {r["_id"]: r["state"] for r in merged})
    model = rules.Summaries(MIX_REGISTRY)
    model.read(rules.history(db), int(time.time()), bfa_progress=progress)
    expected = model.rebuild()
    # Agents with nothing countable (unregistered, incidents only on platform 8, only
    # invalid events) have no document.
    assert sorted(expected) == ["01001", "1001", "1002", "1003", "1007", "1009", "1010", "1012"]
    assert_levels(db, expected, started)

    rebuilt = sorted(db.agent_level.find(), key=lambda x: x["_id"])
    log = d.wait_cycles(2)
    for line in ("agent: 1999 not exist",
                 "agent: 1007 no need cal adv, skip, host_plat: 7, host_type: 0",
                 "agent: 1008 no need cal adv, skip, host_plat: 8, host_type: 1",
                 "agent: 1009 no need cal adv, skip, host_plat: 1, host_type: 2",
                 "invaild risk_level 5,log_id v20virus_file_log",
                 "invaild risk_level -1,log_id v21virus_file_log",
                 "invaild virus_type 14,log_id v22virus_file_log",
                 "get virus_type faild"):
        assert line in log
    # Nothing new after the rebuild: the next cycle does not even rewrite a document.
    assert sorted(db.agent_level.find(), key=lambda x: x["_id"]) == rebuilt
    assert d.stop() == 0


# ---------------------------------------------------------------------------------------
# Steady state after the rebuild, then a restart.

STEADY_REGISTRY = {"2001": (1, 0), "2002": (1, 1), "2003": (7, 0), "2004": (1, 0)}


def test_changes_after_the_rebuild_arrive_within_two_cycles_and_survive_a_restart(
        tree, db, daemon):
    at = Stamps()
    tables = {
        VIRUS: [virus(at, "a1", "2001"), virus(at, "a2", "2001", risk_level=1),
                virus(at, "a9", "2001", risk_level=7),  # never counted, but in the total
                virus(at, "c1", "2003", risk_level=0)],
        WEBSHELL: [webshell(at, "s1", "2002", safety_state="clean")],
        DOMAIN: [domain(at, "d1", "2002")],
        NOFILE: [nofile(at, "n1", "2002", risk_level=0)],
        LEAK: [leak(at, "l1", "2002", "KB1", risk_level=1)],
        INCIDENT: [incident(at, "i1", "2002"), incident(at, "i9", "2003")],
        BFA_RAW: [raw_bfa(at, "2001", "ssh", "1.2.3.4")],
    }
    progress = sentinel_bfa(at, tables)
    insert(db, tables)
    tree.registry(STEADY_REGISTRY)
    started = int(time.time())
    d = daemon(tree)
    d.wait_log(REBUILT)
    model = rules.Summaries(STEADY_REGISTRY)
    model.read(rules.history(db), int(time.time()), bfa_progress=progress)
    assert_levels(db, model.rebuild(), started)

    with paused(d) as now:
        def change(table, doc, **fields):
            fields[rules.PAGING[table][0]] = now * 1000 if table == INCIDENT else now
            db[table].update_one({"_id": doc["_id"]}, {"$set": fields})
            return dict(doc, **fields)

        added = {
            VIRUS: [virus(at, "a3", "2001", time=now, found_time=now - 1, risk_level=0,
                          virus_type=2),
                    virus(at, "c2", "2003", time=now, risk_level=1, virus_type=0)],
            WEBSHELL: [webshell(at, "s2", "2002", time=now, state=1)],  # handled at once
            NOFILE: [nofile(at, "m1", "2004", time=now, state=7, risk_level=2)],  # new agent
            # The attack of 2001 reported again, now handled.
            BFA_RAW: [raw_bfa(at, "2001", "ssh", "1.2.3.4", time=now, found_time=now, state=1)],
        }
        insert(db, added)
        changed = {
            VIRUS: [change(VIRUS, tables[VIRUS][0], state=1, risk_level=0),  # handled
                    change(VIRUS, tables[VIRUS][1], virus_type=4),  # new category
                    change(VIRUS, tables[VIRUS][3], virus_type=6),  # leaves the virus line
                    *added[VIRUS]],
            BFA: rules.merge_bfa(added[BFA_RAW]),
            WEBSHELL: [change(WEBSHELL, tables[WEBSHELL][0], safety_state="invaded"),
                       *added[WEBSHELL]],
            DOMAIN: [change(DOMAIN, tables[DOMAIN][0], unhandle_file_count=0)],  # handled
            NOFILE: added[NOFILE],
            LEAK: [change(LEAK, tables[LEAK][0], risk_level=4)],
            INCIDENT: [change(INCIDENT, tables[INCIDENT][0], dispose=2)],  # handled
        }

    # The merged record of the new report is read one cycle after its merge, when the
    # merge progress has moved past its time: two cycles cover every table.
    d.wait_cycles(2)
    model.read(changed, int(time.time()))
    before_restart = assert_levels(db, model.flush(lambda a: rules.six_counts(db, a)), started)
    assert before_restart["2001"]["total_events"] == 5  # a1, a2, a3, a9 and the attack
    assert before_restart["2003"]["total_events"] == 3  # c1, c2 and the skipped incident

    assert d.stop() == 0
    restarted = int(time.time())
    d = daemon(tree)
    d.wait_log(REBUILT, count=2)
    model = rules.Summaries(STEADY_REGISTRY)
    model.read(rules.history(db), int(time.time()))
    after_restart = assert_levels(db, model.rebuild(), restarted)
    # Where every event counts, the restart gives the documents of before. Agents with
    # events that the passes skip differ in the total only.
    for agent in ("2002", "2004"):
        assert after_restart[agent] == before_restart[agent]
    for agent, total in (("2001", 4), ("2003", 2)):
        assert after_restart[agent] == dict(before_restart[agent], total_events=total)
    assert d.stop() == 0


# ---------------------------------------------------------------------------------------
# The pending queue overflowing into agent_level_pending_log.

OVERFLOW_REGISTRY = {str(a): (1, 0) for a in range(3001, 3005)}
QUEUE_BOUND = 10_000  # pending_event_unit 1: the smallest bound


def test_pending_queue_overflow_and_events_turning_handled(tree, db, daemon):
    # A little over the bound: every event read after the overflow costs the daemon
    # existence look-ups in the collection, which this server answers slowly.
    tree.write_config(update_interval=1, show_time_use=1, pending_event_unit=1)
    tree.registry(OVERFLOW_REGISTRY)
    base = int(time.time()) - 100_000
    events = [{"_id": f"p{i:05d}", "agent_id": str(3001 + i % 4), "time": base + i,
               "found_time": base + i, "state": (0, 2, 5)[i % 3], "risk_level": i % 3,
               "virus_type": (i // 3) % 8} for i in range(QUEUE_BOUND + 600)]
    insert(db, {VIRUS: events})
    started = int(time.time())
    d = daemon(tree)
    log = d.wait_log(REBUILT, timeout=90)
    assert "set max_update_pending_event: 10000, sys_mem = " in log

    model = rules.Summaries(OVERFLOW_REGISTRY)
    model.read({VIRUS: events}, int(time.time()))
    assert_levels(db, model.rebuild(), started)
    # The buffer filled up once and went to the collection whole; the rest stayed in memory.
    stored = {p["_id"]: p for p in db[PENDING].find()}
    assert len(stored) == QUEUE_BOUND
    for log_id, p in stored.items():
        assert isinstance(p["risk_level"], Int64) and isinstance(p["virus_type"], Int64)
        assert (p["risk_level"], p["virus_type"]) == model.pending[log_id]

    # Events remembered in the collection and in memory turn handled or change their risk
    # and category. (Each one held in the collection costs the daemon a delete or update
    # that this server makes slow on a large collection, so a few hundred stand for all.)
    by_id = {e["_id"] + VIRUS: e for e in events}
    in_db = sorted(stored)
    in_memory = sorted(set(by_id) - set(stored))
    handled = in_db[:150] + in_memory[:150]
    moved = in_db[150:200] + in_memory[150:200]
    with paused(d) as now:
        new = [dict(by_id[i], time=now, state=(1, 3, 4)[n % 3], risk_level=0)
               for n, i in enumerate(handled)]
        new += [dict(by_id[i], time=now, risk_level=(by_id[i]["risk_level"] + 1) % 3,
                     virus_type=(by_id[i]["virus_type"] + 1) % 6) for i in moved]
        db[VIRUS].delete_many({"_id": {"$in": [e["_id"] for e in new]}})
        insert(db, {VIRUS: new})
    d.wait_cycles(2, timeout=90)

    model.read({VIRUS: new}, int(time.time()))
    assert_levels(db, model.flush(lambda a: rules.six_counts(db, a)), started)
    remaining = {p["_id"]: (p["risk_level"], p["virus_type"]) for p in db[PENDING].find()}
    assert remaining == {i: model.pending[i] for i in in_db if i not in handled}
    assert d.stop() == 0


# ---------------------------------------------------------------------------------------
# The rebuild waits for the passes to page through the largest table.

PAGING_REGISTRY = {"4001": (1, 0), "4002": (1, 1)}


def test_rebuild_waits_for_the_passes_to_page_through_every_table(tree, db, daemon):
    tree.write_config(update_interval=1, show_time_use=1, update_agent_level_query_count=5)
    tree.registry(PAGING_REGISTRY)
    at = Stamps()
    t = [at() for _ in range(4)]
    # Pages of five cut through runs of equal times; handled events show a document read
    # twice (its total would grow), unhandled ones a document never read.
    tables = {
        VIRUS: [virus(at, f"v{i:02d}", "4001", time=t[i // 4], state=(0, 1)[i % 2],
                      risk_level=i % 3, virus_type=i % 6) for i in range(12)],
        WEBSHELL: [webshell(at, f"w{i}", "4002", time=t[0], state=(0, 1)[i % 2],
                            safety_state=("invaded", "clean")[i % 3 == 0]) for i in range(7)],
        DOMAIN: [domain(at, f"d{i}", "4002", domain_update_time=t[i % 2],
                        unhandle_file_count=i % 2, event_risk_level=i % 3) for i in range(9)],
        NOFILE: [nofile(at, f"n{i}", "4001", state=(0, 4)[i % 2]) for i in range(5)],
        LEAK: [leak(at, f"l{i}", "4001", f"KB{i}", state=(1, 2)[i % 2], risk_level=(1, 2, 4)[i % 3])
               for i in range(11)],
        INCIDENT: [incident(at, f"i{i:02d}", "4002", update_time=t[i // 3] * 1000,
                            dispose=i % 3, incident_level=i % 6) for i in range(10)],
        BFA_RAW: [raw_bfa(at, "4001", "ssh", f"10.1.0.{i}", state=(0, 1)[i % 2])
                  for i in range(4)],
    }
    insert(db, tables)
    # Left from a previous run: kept while the rebuild waits, then replaced.
    db.agent_level.insert_many([{"_id": "4001", "risk_high": Int64(99)},
                                {"_id": "4999", "risk_high": Int64(1)}])

    started = int(time.time())
    d = daemon(tree)
    log = d.wait_log("g_max_calc_count is 0")
    assert "col : virus_file_log count is 12" in log
    assert "max_count is 12,max_calc_count is 2" in log
    assert sorted(x["_id"] for x in db.agent_level.find()) == ["4001", "4999"]

    log = d.wait_log(REBUILT)
    # Cycles 1 and 2 count down; cycle 3 rebuilds.
    rebuild = log.index(">>>>>>first insert start table: [agent_level]")
    ends = [m.start() for m in re.finditer(re.escape(CYCLE_END), log[:rebuild])]
    assert len(ends) == 2
    assert (log.index("g_max_calc_count is 1") < ends[0] < log.index("g_max_calc_count is 0")
            < ends[1])

    model = rules.Summaries(PAGING_REGISTRY)
    model.read(rules.history(db), int(time.time()))
    expected = model.rebuild()
    assert sorted(expected) == ["4001", "4002"]
    assert_levels(db, expected, started)
    assert d.stop() == 0

