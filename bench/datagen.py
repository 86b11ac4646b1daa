"""Synthetic manager data for the benchmark: the agent registry, an event history over the
seven event tables and the raw brute-force reports, and the later changes the benchmark
applies to a loaded history (new events, state changes, new brute-force reports).

Everything is deterministic for a given seed. Documents carry the fields korveld reads plus
the descriptive fields a manager stores beside them, so that the server moves documents of
a realistic size.

    datagen.py URL N AGENTS [SEED]   empty the database and load a history of N events
"""

import hashlib
import random
import sys
import time

import pymongo
from bson import ObjectId

DB_NAME = "tavrund_qmx"
AGENT_BASE = 100001
INSERT_BATCH = 10000

# Share of the N events per collection. anti_bfa_origin_log holds the raw reports of
# repeated attacks, about two per merged record of anti_bfa_log.
MIX = {
    "virus_file_log": 0.36,
    "webshell_log": 0.05,
    "domain_log": 0.12,
    "anti_bfa_log": 0.06,
    "nofile_attack_log": 0.09,
    "leak_info_log": 0.10,
    "incident_msg": 0.10,
    "anti_bfa_origin_log": 0.12,
}

EVENT_TABLES = ["virus_file_log", "webshell_log", "domain_log", "anti_bfa_log",
                "nofile_attack_log", "leak_info_log", "incident_msg"]

# The progress key of each event table: (time field, id field).
PASS_KEYS = {
    "virus_file_log": ("time", "_id"),
    "webshell_log": ("time", "_id"),
    "domain_log": ("domain_update_time", "_id"),
    "anti_bfa_log": ("time", "_id"),
    "nofile_attack_log": ("time", "_id"),
    "leak_info_log": ("update_time", "_id"),
    "incident_msg": ("update_time", "incident_id"),
}

# The indexes the manager's services keep on the tables korveld reads: each pass's sort
# (time field, id field), the per-agent counts of the event total on agent_id, and the
# merge's (time, _id) order of the raw reports.
INDEXES = {
    "virus_file_log": [[("time", 1), ("_id", 1)], [("agent_id", 1)]],
    "webshell_log": [[("time", 1), ("_id", 1)], [("agent_id", 1)]],
    "domain_log": [[("domain_update_time", 1), ("_id", 1)], [("agent_id", 1)]],
    "anti_bfa_log": [[("time", 1), ("_id", 1)], [("agent_id", 1)]],
    "nofile_attack_log": [[("time", 1), ("_id", 1)], [("agent_id", 1)]],
    "leak_info_log": [[("update_time", 1), ("_id", 1)]],
    "incident_msg": [[("merged", 1), ("update_time", 1), ("incident_id", 1)],
                     [("agent_id", 1)]],
    "anti_bfa_origin_log": [[("time", 1), ("_id", 1)]],
}

# Handling states per table: (unhandled, handled).
STATES = {
    "virus_file_log": ([0, 2, 5], [1, 3, 4, 6, 10]),
    "webshell_log": ([0, 2, 5], [1, 3, 4]),
    "anti_bfa_log": ([0, 2, 5], [1, 3]),
    "nofile_attack_log": ([0, 1, 2, 3, 5, 7, 8], [4, 6, 9]),
    "leak_info_log": ([1, 4, 8], [0, 2, 3]),
    "incident_msg": ([0, 1], [2, 3]),
}

VIRUS_NAMES = ["Trojan.Agent", "Worm.Autorun", "Miner.XMRig", "Ransom.Lock", "Virus.Sality",
               "Backdoor.Gh0st", "Macro.Downloader", "HackTool.Mimikatz", "Adware.Bundler",
               "Tool.CAD", "Exploit.CVE", "Rootkit.Necurs", "Tool.Activator"]
SERVICES = ["ssh", "rdp", "smb", "mysql", "ftp"]
USERS = ["root", "admin", "administrator", "test", "oracle", ""]


class Generator:
    """Builds documents; one instance per database load, so that ids never repeat."""

    def __init__(self, agents, seed=1):
        self.agents = agents
        self.rng = random.Random(seed)
        self.serial = 0
        # A few events come from agents the registry does not know.
        self.stray = [str(AGENT_BASE + agents + i) for i in range(max(1, agents // 100))]

    def agent(self):
        if self.rng.random() < 0.01:
            return self.rng.choice(self.stray)
        return str(AGENT_BASE + self.rng.randrange(self.agents))

    def hex_id(self, width=24):
        self.serial += 1
        return "%0*x" % (width, (self.rng.getrandbits(4 * width - 24) << 24) | self.serial)

    def state(self, table, unhandled_share):
        unhandled, handled = STATES[table]
        pool = unhandled if self.rng.random() < unhandled_share else handled
        return self.rng.choice(pool)

    def event(self, table, t, unhandled_share=0.3, agent=None):
        """One event document of `table` with event time `t` (seconds)."""
        rng = self.rng
        agent = agent or self.agent()
        found = t - rng.randrange(0, 3600)
        host = "host-" + agent
        if table == "virus_file_log":
            vtype = rng.randrange(6) if rng.random() < 0.7 else rng.randrange(6, 14)
            return {"_id": self.hex_id(), "agent_id": agent, "time": t, "found_time": found,
                    "state": self.state(table, unhandled_share),
                    "risk_level": rng.choice((0, 1, 1, 2, 2)), "virus_type": vtype,
                    "virus_name": VIRUS_NAMES[min(vtype, 12)] + ".%d" % rng.randrange(999),
                    "file_path": "C:\\Users\\user%d\\AppData\\Local\\Temp\\%08x.exe"
                                 % (rng.randrange(50), rng.getrandbits(32)),
                    "md5": "%032x" % rng.getrandbits(128), "file_size": rng.randrange(1, 1 << 24),
                    "host_name": host, "engine": "kv-%d" % rng.randrange(1, 4)}
        if table == "webshell_log":
            return {"_id": self.hex_id(), "agent_id": agent, "time": t, "found_time": found,
                    "state": self.state(table, unhandled_share),
                    "safety_state": "invaded" if rng.random() < 0.3 else "suspicious",
                    "file_path": "/var/www/html/upload/%08x.php" % rng.getrandbits(32),
                    "md5": "%032x" % rng.getrandbits(128), "rule": "ws-%d" % rng.randrange(300),
                    "host_name": host}
        if table == "domain_log":
            doc = {"_id": self.hex_id(), "agent_id": agent, "domain_update_time": t,
                   "found_time": found,
                   "unhandle_file_count": rng.randrange(1, 6) if rng.random() < unhandled_share
                   else 0,
                   "event_risk_level": rng.choice((0, 1, 2)),
                   "domain": "c2-%06x.example.net" % rng.getrandbits(24),
                   "ip": "203.0.113.%d" % rng.randrange(256), "host_name": host}
            if rng.random() < 0.95:
                doc["found_source"] = rng.randrange(1, 4)
            return doc
        if table == "nofile_attack_log":
            return {"_id": self.hex_id(), "agent_id": agent, "time": t, "found_time": found,
                    "state": self.state(table, unhandled_share),
                    "risk_level": rng.choice((0, 1, 2)), "attack_type": rng.randrange(1, 12),
                    "process": "powershell.exe",
                    "cmdline": "powershell -enc %016x" % rng.getrandbits(64), "host_name": host}
        if table == "leak_info_log":
            return {"_id": self.hex_id(), "kb": "KB%07d" % rng.randrange(10 ** 7),
                    "agent_id": agent, "update_time": t, "found_time": found,
                    "state": self.state(table, unhandled_share),
                    "risk_level": rng.choice((1, 2, 4)),
                    "title": "Security update %d" % rng.randrange(10000), "host_name": host}
        if table == "incident_msg":
            ms = t * 1000 + rng.randrange(1000)
            incident_id = "inc-" + self.hex_id(20)
            return {"_id": incident_id, "incident_id": incident_id, "agent_id": agent,
                    "update_time": ms, "trigger_time": ms - rng.randrange(0, 3600000),
                    "dispose": self.state(table, unhandled_share),
                    "incident_level": rng.randrange(6), "merged": rng.random() < 0.05,
                    "title": "Suspicious chain %d" % rng.randrange(500), "host_name": host}
        raise ValueError(table)

    def attack(self):
        """An attack: (agent, service, source)."""
        rng = self.rng
        return (self.agent(), rng.choice(SERVICES),
                "198.51.%d.%d" % (rng.randrange(256), rng.randrange(256)))

    def raw_report(self, attack, t, attempts=None):
        rng = self.rng
        agent, service, source = attack
        return {"_id": ObjectId(), "agent_id": agent, "serv_type": service, "att_src": source,
                "time": t, "found_time": t, "mgr_insert_time": t,
                "att_times": attempts if attempts is not None else rng.randrange(1, 200),
                "user": rng.choice(USERS), "state": self.state("anti_bfa_log", 0.3),
                "duration": rng.randrange(1, 600), "msg": "authentication failure",
                "succ": 0}


def merge_key(report):
    text = report["agent_id"] + report["serv_type"] + report["att_src"]
    return hashlib.sha1(text.encode()).hexdigest()


def merged_record(report):
    """The anti_bfa_log record that korveld's merge makes of a raw report."""
    doc = {k: v for k, v in report.items() if k not in ("_id", "duration", "msg", "succ")}
    doc["_id"] = merge_key(report)
    return doc


def counts_for(n):
    """Documents per collection for a history of n events (the shares of MIX)."""
    counts = {name: int(n * share) for name, share in MIX.items()}
    counts["virus_file_log"] += n - sum(counts.values())
    return counts


def insert_all(coll, docs):
    for i in range(0, len(docs), INSERT_BATCH):
        coll.insert_many(docs[i:i + INSERT_BATCH], ordered=False)


def load_history(db, n, agents, seed=1, end=None, unhandled_share=0.3, sample=1000):
    """Empties the database and loads a history of n events ending at `end` (seconds; by
    default ten minutes ago), spread over the 30 days before it. Returns a dictionary:
    counts per collection, the brute-force merge progress (time, ObjectId hex) at the last
    raw report, a random sample of event documents (for later state changes) and the
    attacks known to anti_bfa_log."""
    gen = Generator(agents, seed)
    end = end or int(time.time()) - 600
    span = 30 * 86400
    counts = counts_for(n)
    db.client.drop_database(db.name)
    rng = gen.rng
    picked = []  # reservoir of (table, document)
    seen = 0
    for table in EVENT_TABLES:
        if table == "anti_bfa_log":
            continue
        docs = []
        for _ in range(counts[table]):
            docs.append(gen.event(table, end - rng.randrange(span), unhandled_share))
            seen += 1
            if len(picked) < sample:
                picked.append((table, docs[-1]))
            elif rng.randrange(seen) < sample:
                picked[rng.randrange(sample)] = (table, docs[-1])
            if len(docs) == INSERT_BATCH:
                insert_all(db[table], docs)
                docs = []
        insert_all(db[table], docs)

    # Repeated attacks: every merged record stands for one attack and its raw reports.
    attacks = [gen.attack() for _ in range(counts["anti_bfa_log"])]
    reports = []
    latest = {}
    for i in range(counts["anti_bfa_origin_log"]):
        attack = attacks[i % len(attacks)] if attacks else gen.attack()
        report = gen.raw_report(attack, end - rng.randrange(span))
        reports.append(report)
        key = merge_key(report)
        if key not in latest or latest[key]["time"] <= report["time"]:
            latest[key] = report
        if len(reports) == INSERT_BATCH:
            insert_all(db.anti_bfa_origin_log, reports)
            reports = []
    insert_all(db.anti_bfa_origin_log, reports)
    merged = [merged_record(r) for r in latest.values()]
    insert_all(db.anti_bfa_log, merged)
    last = max(latest.values(), key=lambda r: (r["time"], str(r["_id"])), default=None)
    progress = (last["time"], str(last["_id"])) if last else (0, "")
    counts["anti_bfa_log"] = len(merged)
    return {"counts": counts, "progress": progress, "sample": picked, "end": end,
            "attacks": [(r["agent_id"], r["serv_type"], r["att_src"]) for r in latest.values()],
            "generator": gen}


def load_unhandled(db, n, agents, seed=2):
    """Empties the database and loads n unhandled events, spread over the six event
    tables that the passes read without a merge, with only the fields korveld reads."""
    gen = Generator(agents, seed)
    gen.stray = [str(AGENT_BASE)]  # every event of a registered agent
    end = int(time.time()) - 600
    tables = ["virus_file_log", "webshell_log", "domain_log", "nofile_attack_log",
              "leak_info_log", "incident_msg"]
    keep = {"_id", "agent_id", "time", "found_time", "state", "risk_level", "virus_type",
            "safety_state", "domain_update_time", "found_source", "unhandle_file_count",
            "event_risk_level", "kb", "update_time", "incident_id", "trigger_time",
            "dispose", "incident_level"}
    db.client.drop_database(db.name)
    per_table = n // len(tables)
    for i, table in enumerate(tables):
        count = per_table if i else n - per_table * (len(tables) - 1)
        docs = []
        for _ in range(count):
            doc = gen.event(table, end - gen.rng.randrange(86400), 1.0)
            if table == "domain_log":
                doc["found_source"] = 1
            if table == "incident_msg":
                doc["merged"] = False
                keep_doc = {k: v for k, v in doc.items() if k in keep or k == "merged"}
            else:
                keep_doc = {k: v for k, v in doc.items() if k in keep}
            docs.append(keep_doc)
            if len(docs) == INSERT_BATCH:
                insert_all(db[table], docs)
                docs = []
        insert_all(db[table], docs)
    return n


def create_indexes(db):
    for table, keys in INDEXES.items():
        for key in keys:
            db[table].create_index(key)


def write_registry_lines(agents, seed=3):
    """Registry lines "ID HOST_PLAT HOST_TYPE": most agents are servers or workstations on
    platform 1; a few sit on platforms 7 and 8, whose incidents are not counted."""
    rng = random.Random(seed)
    lines = []
    for i in range(agents):
        r = rng.random()
        plat, kind = (1, 0) if r < 0.85 else (1, 1) if r < 0.95 else (7, 0) if r < 0.98 else (8, 2)
        lines.append("%d %d %d" % (AGENT_BASE + i, plat, kind))
    return "\n".join(lines) + "\n"


def new_events(gen, count, t):
    """`count` new events at time t, spread over agents and the six tables that the
    manager's services write directly (anti_bfa_log is written by korveld's merge)."""
    tables = ["virus_file_log", "webshell_log", "domain_log", "nofile_attack_log",
              "leak_info_log", "incident_msg"]
    weights = [MIX[name] for name in tables]
    out = {}
    for _ in range(count):
        table = gen.rng.choices(tables, weights)[0]
        out.setdefault(table, []).append(gen.event(table, t))
    return out


def state_changes(gen, sample, count, t):
    """New versions of `count` sampled documents: handled ones become unhandled and the
    other way round, with their time field moved to t (as the manager does on a change)."""
    out = {}
    for table, doc in sample[:count]:
        doc = dict(doc)
        time_field = PASS_KEYS[table][0]
        doc[time_field] = t * 1000 + gen.rng.randrange(1000) if table == "incident_msg" else t
        if table == "domain_log":
            doc["unhandle_file_count"] = 0 if doc["unhandle_file_count"] else 2
        else:
            field = "dispose" if table == "incident_msg" else "state"
            unhandled, handled = STATES[table]
            doc[field] = gen.rng.choice(handled if doc[field] in unhandled else unhandled)
        out.setdefault(table, []).append(doc)
    return out


def bfa_reports(gen, attacks, count, t, agents, known_share=0.5, repeats=4):
    """`count` raw reports at time t and just before: repeated reports of attacks, about
    `known_share` of them of attacks already merged in anti_bfa_log (`attacks`), the rest
    of new attacks on `agents`."""
    rng = gen.rng
    reports = []
    while len(reports) < count:
        if attacks and rng.random() < known_share:
            attack = rng.choice(attacks)
        else:
            attack = (rng.choice(agents),) + gen.attack()[1:]
        for _ in range(min(repeats, count - len(reports))):
            reports.append(gen.raw_report(attack, t - rng.randrange(0, 2), rng.randrange(1, 50)))
    return reports


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    url, n, agents = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    seed = int(sys.argv[4]) if len(sys.argv) == 5 else 1
    client = pymongo.MongoClient(url)
    t0 = time.monotonic()
    info = load_history(client[DB_NAME], n, agents, seed)
    create_indexes(client[DB_NAME])
    print("loaded %d events in %.1f s: %s" % (n, time.monotonic() - t0, info["counts"]))
    print("merge progress: %d %s" % info["progress"])


if __name__ == "__main__":
    main()
