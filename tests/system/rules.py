"""How event documents become an agent's risk summary, written out plainly so that the
event-flow tests can say which agent_level document each agent must have.

Nothing here calls korveld: it is an independent statement of the rules, from the raw
event documents of each table to the finished summary document."""

import hashlib
import re

from bson import ObjectId

VIRUS = "virus_file_log"
BFA = "anti_bfa_log"
BFA_RAW = "anti_bfa_origin_log"
WEBSHELL = "webshell_log"
DOMAIN = "domain_log"
NOFILE = "nofile_attack_log"
LEAK = "leak_info_log"
INCIDENT = "incident_msg"
PENDING = "agent_level_pending_log"

# The order in which one cycle reads the event tables.
READ_ORDER = [VIRUS, BFA, WEBSHELL, DOMAIN, NOFILE, LEAK, INCIDENT]

# Field that pages each table (read in ascending order while below "now") and the id that
# breaks ties between documents of the same time.
PAGING = {VIRUS: ("time", "_id"), BFA: ("time", "_id"), WEBSHELL: ("time", "_id"),
          DOMAIN: ("domain_update_time", "_id"), NOFILE: ("time", "_id"),
          LEAK: ("update_time", "_id"), INCIDENT: ("update_time", "incident_id")}

# Outside the first rebuild an agent's total is the number of its documents in these six
# tables (domain events only when they carry found_source).
TOTAL_FILTERS = {VIRUS: {}, BFA: {}, WEBSHELL: {}, NOFILE: {}, INCIDENT: {},
                 DOMAIN: {"found_source": {"$exists": True}}}

# States that still count against the agent.
UNHANDLED = {NOFILE: {0, 1, 2, 3, 5, 7, 8}, LEAK: {1, 4, 8}, INCIDENT: {0, 1}}
DEFAULT_UNHANDLED = {0, 2, 5}

# Category code -> field of event_counts (leaks, 60, have none).
CATEGORY_FIELD = {0: "other", 1: "trojan", 2: "worm", 3: "miner", 4: "ransom", 5: "infection",
                  6: "backdoor", 7: "macro", 8: "hacktool", 9: "adware", 10: "cad",
                  11: "exploit", 12: "rootkit", 13: "activatetool", 20: "webshell",
                  30: "botnet", 40: "anti_bfa", 50: "nofile_attack", 60: None,
                  70: "adv_threat"}
FIXED_CATEGORY = {WEBSHELL: 20, DOMAIN: 30, BFA: 40, NOFILE: 50, LEAK: 60, INCIDENT: 70}
VIRUS_CATEGORIES = range(0, 6)

# Risk level -> counter, per kind of table.
RISK_FIELD = {2: "risk_high", 1: "risk_medium", 0: "risk_low"}
VIRUS_FIELD = {2: "virus_high", 1: "virus_medium", 0: "virus_low"}
LEAK_FIELD = {4: "leak_high", 2: "leak_medium", 1: "leak_low"}

TOP_COUNTERS = ["risk_high", "risk_medium", "risk_low", "virus_high", "virus_medium",
                "virus_low", "leak_high", "leak_medium", "leak_low"]
COUNTS = [f for f in CATEGORY_FIELD.values() if f]
# Categories whose counters alone do not make a summary "changed".
UNCOMPARED = {"backdoor", "macro", "hacktool", "adware", "cad", "exploit", "rootkit",
              "activatetool"}


class Unreadable(Exception):
    pass


def _text(doc, field):
    value = doc.get(field)
    if not isinstance(value, str):
        raise Unreadable(field)
    return value


def _id_text(doc):
    """A table's own id: text, or an ObjectId as its 24 hexadecimal characters."""
    value = doc.get("_id")
    return str(value) if isinstance(value, ObjectId) else _text(doc, "_id")


def _number(doc, field):
    """Any value reads as a number: integers as they are, doubles cut toward zero,
    booleans as 0 or 1, anything else as 0. Only a missing field is unreadable."""
    if field not in doc:
        raise Unreadable(field)
    value = doc[field]
    return int(value) if isinstance(value, (int, float)) else 0


def incident_risk(level):
    """Incident level -> risk level: 0-2 none (3), 3 medium, 4-5 high, others unchanged."""
    return {0: 3, 1: 3, 2: 3, 3: 1, 4: 2, 5: 2}.get(level, level)


def event_of(table, doc):
    """(agent_id, log_id, time, state, risk, category) of a document, or None when a field
    the daemon needs is missing or of the wrong type. Risk and category keep their low
    byte only."""
    try:
        agent = _text(doc, "agent_id")
        if table == LEAK:
            log_id = _text(doc, "kb") + agent
        elif table == INCIDENT:
            log_id = _text(doc, "incident_id")
        else:
            log_id = _id_text(doc)
        log_id += table
        if table == INCIDENT:
            when = _number(doc, "trigger_time") // 1000
        else:
            when = _number(doc, "found_time")
        if table == DOMAIN:
            state = 1 if _number(doc, "unhandle_file_count") == 0 else 0
        elif table == INCIDENT:
            state = _number(doc, "dispose")
        else:
            state = _number(doc, "state")
        if table == WEBSHELL:
            risk = 2 if _text(doc, "safety_state") == "invaded" else 0
        elif table == BFA:
            risk = 1
        elif table == DOMAIN:
            risk = _number(doc, "event_risk_level")
        elif table == INCIDENT:
            risk = incident_risk(_number(doc, "incident_level"))
        else:
            risk = _number(doc, "risk_level")
        category = _number(doc, "virus_type") if table == VIRUS else FIXED_CATEGORY[table]
    except Unreadable:
        return None
    return agent, log_id, when, state, risk & 0xFF, category & 0xFF


def agent_number(agent_id):
    """The registry number of an agent id text: its leading decimal digits (0 if none)."""
    match = re.match(r"\s*[+-]?\d+", agent_id)
    return int(match.group()) if match else 0


def valid(risk, category):
    return risk <= 4 and category in CATEGORY_FIELD


def readable(table, doc, now):
    """Whether a pass reads the document at all (its paging field below now, domain events
    with found_source, incidents not merged). anti_bfa_log has its own bound."""
    time_field, _ = PAGING[table]
    when = doc.get(time_field)
    if not isinstance(when, int) or when >= (now * 1000 if table == INCIDENT else now):
        return False
    if table == DOMAIN and "found_source" not in doc:
        return False
    if table == INCIDENT and doc.get("merged") is not False:
        return False
    return True


def in_read_order(table, docs):
    """Documents in the order a pass reads them: by time, then id (text ids sort before
    ObjectIds, as the server orders them)."""
    time_field, id_field = PAGING[table]

    def key(doc):
        ident = doc.get(id_field, "")
        return doc[time_field], not isinstance(ident, str), str(ident)

    return sorted(docs, key=key)


def bfa_key(agent_id, serv_type, att_src):
    return hashlib.sha1((agent_id + serv_type + att_src).encode()).hexdigest()


def merge_bfa(raw_reports):
    """Merged brute-force records of raw reports that arrive in one merge run: one per
    (agent, service, source), the latest report of an attack replacing earlier ones;
    reports without attempts or with an empty key field are left out."""
    merged = {}
    for raw in sorted(raw_reports, key=lambda r: (r["time"], r["_id"])):
        parts = [raw.get(f) for f in ("agent_id", "serv_type", "att_src")]
        if raw.get("att_times", 0) <= 0 or not all(isinstance(p, str) and p for p in parts):
            continue
        key = bfa_key(*parts)
        record = {k: v for k, v in raw.items() if k not in ("_id", "duration", "msg", "succ")}
        record["_id"] = key
        merged[key] = record
    return list(merged.values())


def _zero():
    return dict({f: 0 for f in TOP_COUNTERS + COUNTS}, last_risk_time=0, total_events=0)


def risk_level(summary):
    if summary["risk_high"] > 0:
        return 2
    if summary["risk_medium"] > 0:
        return 1
    if summary["risk_low"] > 0:
        return 0
    return 3


def document(agent_id, summary):
    """The agent_level document of a summary, without col_update_time."""
    doc = {f: summary[f] for f in TOP_COUNTERS}
    doc.update(_id=agent_id, risk_level=risk_level(summary),
               last_risk_time=summary["last_risk_time"], total_events=summary["total_events"],
               event_counts={f: summary[f] for f in COUNTS})
    return doc


class Summaries:
    """The daemon's view of every agent: the events it remembers as pending, the stored
    summaries and the changes taken in since the last write."""

    def __init__(self, registry):
        # The registry knows agents by number: "042" and "42" are the same agent there.
        self.registry = {int(a): host for a, host in registry.items()}
        self.pending = {}  # log_id -> (risk, category) as last counted
        self.stored = {}  # agent_id -> summary of its agent_level document
        self.changes = {}  # agent_id -> change record since the last write

    def take(self, table, doc):
        """One document as a pass reads it."""
        event = event_of(table, doc)
        if event is None:
            return
        agent, log_id, when, state, risk, category = event
        host = self.registry.get(agent_number(agent))
        if host is None:
            return
        if table == INCIDENT and (host[0] in (7, 8) or host[1] not in (0, 1)):
            return
        if not valid(risk, category):
            return
        change = self.changes.setdefault(agent, _zero())
        change["last_risk_time"] = max(change["last_risk_time"], when)
        unhandled = state in UNHANDLED.get(table, DEFAULT_UNHANDLED)
        known = self.pending.get(log_id)
        if known is None:
            if table != LEAK:
                change["total_events"] += 1
            if unhandled:
                self._count_risk(change, table, risk, category, +1)
                self._count_category(change, category, +1)
                self.pending[log_id] = (risk, category)
        elif not unhandled:
            self._count_risk(change, table, known[0], known[1], -1)
            self._count_category(change, known[1], -1)
            del self.pending[log_id]
        else:
            # Still unhandled: only what differs from the remembered sighting moves. A new
            # category moves the risk counters too, since only categories 0-5 feed the
            # virus ones.
            if risk != known[0] or category != known[1]:
                self._count_risk(change, table, risk, category, +1)
                self._count_risk(change, table, known[0], known[1], -1)
            if category != known[1]:
                self._count_category(change, category, +1)
                self._count_category(change, known[1], -1)
            self.pending[log_id] = (risk, category)

    @staticmethod
    def _count_risk(change, table, risk, category, delta):
        if table == LEAK:
            field = LEAK_FIELD.get(risk)
        else:
            field = RISK_FIELD.get(risk)
            if category in VIRUS_CATEGORIES and risk in VIRUS_FIELD:
                change[VIRUS_FIELD[risk]] += delta
        if field:
            change[field] += delta

    @staticmethod
    def _count_category(change, category, delta):
        field = CATEGORY_FIELD.get(category)
        if field:
            change[field] += delta

    def read(self, tables, now, bfa_progress=None):
        """A complete read of {table: documents} in the passes' order. Merged brute-force
        records are read once their time is below the merge progress."""
        for table in READ_ORDER:
            docs = tables.get(table, [])
            if table == BFA:
                docs = [d for d in docs if bfa_progress is None or d["time"] < bfa_progress]
            else:
                docs = [d for d in docs if readable(table, d, now)]
            for doc in in_read_order(table, docs):
                self.take(table, doc)

    def rebuild(self):
        """The first write after a start: every changed agent, its total the events taken in."""
        self.stored = {a: dict(c) for a, c in self.changes.items()}
        self.changes = {}
        return self.documents()

    def flush(self, total_of):
        """A steady-state write: agents whose summary changed get the new summary with
        total_of(agent) as their total. (Counters that would fall below zero are written
        as 0; the tests' event sequences never get there.)"""
        for agent, change in self.changes.items():
            old = self.stored.get(agent)
            base = old or _zero()
            new = {k: base[k] + change[k] for k in base if k != "last_risk_time"}
            new["last_risk_time"] = max(base["last_risk_time"], change["last_risk_time"])
            old_level = risk_level(old) if old else 0
            compared = [k for k in new if k not in UNCOMPARED]
            if risk_level(new) != old_level or any(new[k] != base[k] for k in compared):
                new["total_events"] = total_of(agent)
                self.stored[agent] = new
        self.changes = {}
        return self.documents()

    def documents(self):
        return {agent: document(agent, s) for agent, s in self.stored.items()}


def history(db):
    """Every event document in the database, by table; merged brute-force records are
    computed from the raw reports."""
    tables = {t: list(db[t].find()) for t in READ_ORDER if t != BFA}
    tables[BFA] = merge_bfa(db[BFA_RAW].find())
    return tables


def six_counts(db, agent_id):
    """An agent's total outside the first rebuild."""
    return sum(db[t].count_documents(dict(f, agent_id=agent_id))
               for t, f in TOTAL_FILTERS.items())
