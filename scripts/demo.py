"""Sample data for `scripts/run --demo`: a few agents, events of every table (some handled),
brute-force reports; then the agent_level summary korveld builds from them.

    demo.py fill URL PREFIX   empty the embedded database, fill it and the agent registry
    demo.py show URL PREFIX   wait for korveld's first rebuild and print agent_level
"""

import sqlite3
import sys
import time
from pathlib import Path

import pymongo

DB = "tavrund_qmx"

# agent id -> (host_plat, host_type, name)
AGENTS = {
    "1001": (1, 0, "web server"),
    "1002": (1, 1, "file server"),
    "1003": (2, 0, "workstation"),
    "1004": (7, 0, "appliance (incidents not counted)"),
}
UNREGISTERED = "1999"


def fill(url, prefix):
    registry = Path(prefix) / "data" / "agent_registry.db"
    con = sqlite3.connect(registry)
    con.execute("CREATE TABLE IF NOT EXISTS agent (id INTEGER PRIMARY KEY,"
                " host_plat INTEGER NOT NULL, host_type INTEGER NOT NULL)")
    con.execute("DELETE FROM agent")
    con.executemany("INSERT INTO agent VALUES (?, ?, ?)",
                    [(int(a), p, t) for a, (p, t, _) in AGENTS.items()])
    con.commit()
    con.close()

    client = pymongo.MongoClient(url)
    client.drop_database(DB)
    db = client[DB]
    now = int(time.time()) - 60
    t = lambda minutes: now - minutes * 60

    db.virus_file_log.insert_many([
        {"_id": "v1", "agent_id": "1001", "time": t(50), "found_time": t(50), "state": 0,
         "risk_level": 2, "virus_type": 1},                                  # high, trojan
        {"_id": "v2", "agent_id": "1001", "time": t(45), "found_time": t(45), "state": 0,
         "risk_level": 2, "virus_type": 4},                                  # high, ransom
        {"_id": "v3", "agent_id": "1002", "time": t(40), "found_time": t(40), "state": 1,
         "risk_level": 1, "virus_type": 2},                                  # handled
        {"_id": "v4", "agent_id": "1003", "time": t(35), "found_time": t(35), "state": 5,
         "risk_level": 0, "virus_type": 3},                                  # low, miner
        {"_id": "v5", "agent_id": UNREGISTERED, "time": t(30), "found_time": t(30),
         "state": 0, "risk_level": 2, "virus_type": 1},                      # unknown agent
    ])
    db.webshell_log.insert_many([
        {"_id": "w1", "agent_id": "1001", "time": t(44), "found_time": t(44), "state": 0,
         "safety_state": "invaded"},
        {"_id": "w2", "agent_id": "1003", "time": t(33), "found_time": t(33), "state": 2,
         "safety_state": "suspicious"},
    ])
    db.domain_log.insert_many([
        {"_id": "d1", "agent_id": "1002", "domain_update_time": t(42), "found_time": t(42),
         "found_source": 1, "unhandle_file_count": 3, "event_risk_level": 1},
        {"_id": "d2", "agent_id": "1003", "domain_update_time": t(20), "found_time": t(20),
         "found_source": 1, "unhandle_file_count": 0, "event_risk_level": 2},  # handled
    ])
    db.nofile_attack_log.insert_many([
        {"_id": "n1", "agent_id": "1002", "time": t(25), "found_time": t(25), "state": 7,
         "risk_level": 2},
    ])
    db.leak_info_log.insert_many([
        {"_id": "l1", "kb": "KB5005565", "agent_id": "1003", "update_time": t(22),
         "found_time": t(22), "state": 1, "risk_level": 4},
        {"_id": "l2", "kb": "KB5006670", "agent_id": "1001", "update_time": t(21),
         "found_time": t(21), "state": 4, "risk_level": 2},
    ])
    db.incident_msg.insert_many([
        {"_id": "i1", "incident_id": "inc-1", "agent_id": "1002", "update_time": t(15) * 1000,
         "trigger_time": t(15) * 1000, "dispose": 0, "incident_level": 4, "merged": False},
        {"_id": "i2", "incident_id": "inc-2", "agent_id": "1004", "update_time": t(14) * 1000,
         "trigger_time": t(14) * 1000, "dispose": 0, "incident_level": 5, "merged": False},
    ])
    reports = []
    for i, (agent, src) in enumerate([("1001", "10.0.0.7"), ("1001", "10.0.0.7"),
                                      ("1001", "10.0.0.7"), ("1003", "192.168.5.20")]):
        reports.append({"agent_id": agent, "serv_type": "ssh", "att_src": src,
                        "time": t(12 - i), "found_time": t(12 - i), "att_times": 5 + i,
                        "user": "root", "state": 0, "mgr_insert_time": t(12 - i),
                        "duration": 30, "msg": "failed password", "succ": 0})
    db.anti_bfa_origin_log.insert_many(reports)
    client.close()
    print(f"demo: {len(AGENTS)} registered agents, 1 unregistered; events in every table")


def show(url, prefix):
    log = Path(prefix) / "var" / "log" / "korvel" / "korveld.log"
    deadline = time.monotonic() + 120
    # The first rebuild ends with a trace line at level 4; at lower levels, wait for the
    # merged brute-force attacks to have been compared and give the write a moment.
    client = pymongo.MongoClient(url)
    db = client[DB]
    while time.monotonic() < deadline:
        text = log.read_text(errors="replace") if log.exists() else ""
        if "update history date finsih" in text or (
                db.agent_level.count_documents({}) and db.anti_bfa_log.count_documents({})):
            break
        time.sleep(0.5)
    time.sleep(3)  # one more cycle: the merged attacks are compared after the merge
    print()
    print(f"{'agent':>6} {'level':>5} {'high':>4} {'mid':>4} {'low':>4} {'events':>6}  categories")
    for doc in db.agent_level.find().sort("_id", 1):
        cats = ", ".join(f"{k} {v}" for k, v in doc["event_counts"].items() if v)
        print(f"{doc['_id']:>6} {doc['risk_level']:>5} {doc['risk_high']:>4} "
              f"{doc['risk_medium']:>4} {doc['risk_low']:>4} {doc['total_events']:>6}  {cats}")
    print(f"merged brute-force attacks: {db.anti_bfa_log.count_documents({})}")
    print("(risk level: 2 high, 1 medium, 0 low, 3 none; korveld keeps running, Ctrl-C stops it)")
    client.close()


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("fill", "show"):
        sys.exit(__doc__)
    {"fill": fill, "show": show}[sys.argv[1]](sys.argv[2], sys.argv[3])
