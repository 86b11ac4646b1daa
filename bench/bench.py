"""korveld benchmark driver: loads histories of N events into the server, runs korveld on
them and measures it against two references taken on the same machine in the same run,
the floor scan (floor_scan.cpp) and a per-agent aggregation recompute. With a second build
("before") both builds run on the same data (the server's files are copied after the load
and put back before the second build), so one table compares them. For each measured
cycle it also counts the commands korveld sent in each phase, from the server's own
request counters. bench/run builds what is needed, starts the server and calls this
script; see bench/run for the options.
"""

import argparse
import copy
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pymongo

import datagen

TIMING = re.compile(r">>>>>>>*\s*(.*?) table: \[(\w*)\] millisecond is : (\d+)")
CYCLE_START = "start update_work and start update"
MERGE_END = "finish update"
PASSES_END = "start update"
CYCLE_END = "[finish] update"
REBUILD_END = "first insert finish"


def say(text):
    print(text, file=sys.stderr, flush=True)


# Commands that read or write documents, as the server counts its requests. The driver's
# own hello and the benchmark's monitoring connection are not among them.
DATA_COMMANDS = ("find", "getMore", "aggregate", "count", "insert", "update", "delete",
                 "findAndModify", "distinct")
REQUESTS = re.compile(r'^ferretdb_client_requests_total\{([^}]*)\}\s+(\S+)', re.M)


class Server:
    """The FerretDB that bench/run started (scripts/testserver): its request counters, and
    a copy of its data files that can be put back, so that a second build starts from the
    very data the first one had."""

    def __init__(self, folder, url, metrics_url):
        self.folder = Path(folder)
        self.url = url
        self.metrics_url = metrics_url
        self.snapshot_dir = self.folder.parent / "server-snapshot"

    def data_commands(self):
        """Data commands the server has answered so far (its counters only grow)."""
        if not self.metrics_url:
            return None
        with urllib.request.urlopen(self.metrics_url, timeout=10) as r:
            text = r.read().decode()
        total = 0
        for labels, value in REQUESTS.findall(text):
            command = re.search(r'command="([^"]*)"', labels)
            if command and command.group(1) in DATA_COMMANDS:
                total += int(float(value))
        return total

    def _pid(self):
        return int((self.folder / "ferretdb.pid").read_text())

    def _stop(self):
        pid = self._pid()
        argv = Path("/proc/%d/cmdline" % pid).read_bytes().split(b"\0")[:-1]
        os.kill(pid, signal.SIGTERM)
        for _ in range(600):
            if not Path("/proc/%d" % pid).exists() or \
                    Path("/proc/%d/stat" % pid).read_text().split()[2] == "Z":
                break
            time.sleep(0.1)
        return [a.decode() for a in argv]

    def _start(self, argv):
        log = open(self.folder / "ferretdb.log", "a")
        proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        (self.folder / "ferretdb.pid").write_text("%d\n" % proc.pid)
        host, port = re.search(r"//([^:/]+):(\d+)", self.url).groups()
        for _ in range(300):
            try:
                socket.create_connection((host, int(port)), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("FerretDB did not come back; see %s" % (self.folder / "ferretdb.log"))

    def snapshot(self):
        """Copies the data files, with the server stopped so that they are whole."""
        argv = self._stop()
        shutil.rmtree(self.snapshot_dir, ignore_errors=True)
        shutil.copytree(self.folder / "data", self.snapshot_dir)
        self._start(argv)

    def restore(self):
        argv = self._stop()
        shutil.rmtree(self.folder / "data")
        shutil.copytree(self.snapshot_dir, self.folder / "data")
        self._start(argv)

    def drop_snapshot(self):
        shutil.rmtree(self.snapshot_dir, ignore_errors=True)


class Tree:
    """One installation of korveld."""

    def __init__(self, build, prefix, url):
        self.prefix = Path(prefix)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(self.prefix)],
                       check=True, capture_output=True, timeout=120)
        self.bin = self.prefix / "bin"
        self.config = self.prefix / "config"
        self.log = self.prefix / "var" / "log" / "korvel" / "korveld.log"
        subprocess.run([str(self.bin / "korvel-secret"), "set", "mongo", "default_mongodb_url"],
                       input=url, text=True, check=True, capture_output=True, timeout=30)
        (self.config / "autolog.ini").write_text("[log]\nlevel = 3\n")

    def registry(self, lines):
        subprocess.run([str(self.bin / "korvel-registry"), "load"], input=lines, text=True,
                       check=True, capture_output=True, timeout=120)

    def settings(self, **keys):
        body = "".join("%s = %s\n" % kv for kv in keys.items())
        (self.config / "korvel.ini").write_text("[update]\n" + body)

    def progress(self, last_time, last_id):
        (self.config / "korvel_last_time.ini").write_text(
            "[anti_bfa]\nlast_update_time = %d\nlast_update_id = %s\n" % (last_time, last_id))


class Daemon:
    """korveld as a child of this script, with its log followed line by line."""

    def __init__(self, tree, pid_file):
        self.tree = tree
        self.offset = 0
        self.partial = ""
        self.events = []  # (label, table, ms) of the timing lines, in order
        self.marks = {}  # event index -> (server's data commands, s) read when it was seen
        self.counter = None  # reads the server's counters while a cycle is measured
        self.started = time.time()
        self.stderr = open(tree.prefix / "korveld.stderr", "w")
        self.proc = subprocess.Popen([str(tree.bin / "korveld")], cwd=str(tree.prefix),
                                     stdout=subprocess.DEVNULL, stderr=self.stderr)
        Path(pid_file).write_text(str(self.proc.pid))

    def poll(self):
        try:
            with open(self.tree.log, "r", errors="replace") as f:
                if os.fstat(f.fileno()).st_size < self.offset:
                    self.offset, self.partial = 0, ""  # rotated: a new file begins
                f.seek(self.offset)
                data = f.read()
                self.offset = f.tell()
        except FileNotFoundError:
            return
        data = self.partial + data
        lines = data.split("\n")
        self.partial = lines.pop()
        for line in lines:
            m = TIMING.search(line)
            if m:
                self.events.append((m.group(1).strip(), m.group(2), int(m.group(3))))
                if self.counter:
                    self.marks[len(self.events) - 1] = (self.counter(), time.time())

    def wait(self, label, after=0, timeout=600.0):
        """Index of the first timing line with `label` at position `after` or later, or
        None when the timeout passes first."""
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            for i in range(after, len(self.events)):
                if self.events[i][0] == label:
                    return i
            if self.proc.poll() is not None:
                raise RuntimeError("korveld exited with status %d; see %s"
                                   % (self.proc.returncode, self.tree.log))
            if time.monotonic() > deadline:
                return None
            # Quick while the counters are read at each timing line: a phase's count is
            # taken when its line is seen, and the next phase is already under way.
            time.sleep(0.002 if self.counter else 0.01)

    def ms(self, index):
        return self.events[index][2]

    def cpu(self):
        """CPU seconds of all the process's threads, from the scheduler's nanosecond
        accounting (/proc/PID/stat counts in ticks of 10 ms)."""
        total = 0
        for task in Path("/proc/%d/task" % self.proc.pid).iterdir():
            try:
                total += int((task / "schedstat").read_text().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total / 1e9

    def memory(self, key):
        for line in Path("/proc/%d/status" % self.proc.pid).read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
        return 0

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def stop(self, grace=10.0):
        """An orderly stop when the daemon is between cycles, else a kill: a stop request
        is served only after the cycle in progress."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()


def run_floor(floor_bin, url, now, bfa_upper, start=0):
    out = subprocess.run([str(floor_bin), url, str(now), str(bfa_upper), str(start)],
                         check=True, capture_output=True, text=True, timeout=3600)
    return json.loads(out.stdout)


def wait_second_after(t):
    """Sleeps until the wall clock has left second t, so that a pass that starts now sees
    documents stamped t as before its upper bound."""
    while time.time() < t + 1.02:
        time.sleep(0.02)


# ---- the aggregation reference -------------------------------------------------------------

# Per table: the risk field the summary is built from and the pass's own filter.
AGG_RISK = {
    "virus_file_log": "$risk_level", "webshell_log": "$safety_state",
    "domain_log": "$event_risk_level", "anti_bfa_log": None,
    "nofile_attack_log": "$risk_level", "leak_info_log": "$risk_level",
    "incident_msg": "$incident_level",
}


def table_filter(table, upper, bfa_upper):
    time_field = datagen.PASS_KEYS[table][0]
    bound = bfa_upper if table == "anti_bfa_log" else upper * 1000 if table == "incident_msg" \
        else upper
    f = {time_field: {"$lt": bound}}
    if table == "domain_log":
        f["found_source"] = {"$exists": True}
    if table == "incident_msg":
        f["merged"] = False
    return f


def unhandled_filter(table):
    if table == "domain_log":
        return {"unhandle_file_count": {"$ne": 0}}
    field = "dispose" if table == "incident_msg" else "state"
    return {field: {"$in": datagen.STATES[table][0]}}


def risk_of(table, value):
    if table == "webshell_log":
        return 2 if value == "invaded" else 0
    if table == "anti_bfa_log":
        return 1
    if table == "incident_msg":
        return 3 if value <= 2 else 1 if value == 3 else 2 if value <= 5 else value
    return value


def aggregate_summaries(db, registry, upper, bfa_upper, budget):
    """Recomputes every agent's risk counts and event total from the event tables with
    $match and $group, as a manager without korveld would for a fresh summary. Returns
    (seconds, summaries, finished): summaries maps an agent to [risk_high, risk_medium,
    risk_low, leak_high, leak_medium, leak_low, total_events]. The recompute gets `budget`
    seconds of server time (maxTimeMS); when it runs out, finished is False and the seconds
    are a lower bound."""
    t0 = time.monotonic()
    out = {}

    def row(agent):
        return out.setdefault(agent, [0] * 7)

    def run(table, pipeline):
        left = budget - (time.monotonic() - t0)
        if left <= 0:
            raise pymongo.errors.ExecutionTimeout("budget spent")
        return db[table].aggregate(pipeline, allowDiskUse=True, maxTimeMS=int(left * 1000))

    try:
        for table in datagen.EVENT_TABLES:
            base = table_filter(table, upper, bfa_upper)
            group_id = {"a": "$agent_id"}
            if AGG_RISK[table]:
                group_id["r"] = AGG_RISK[table]
            if table == "virus_file_log":
                group_id["t"] = "$virus_type"
            pipeline = [{"$match": dict(base, **unhandled_filter(table))},
                        {"$group": {"_id": group_id, "n": {"$sum": 1}}}]
            for g in run(table, pipeline):
                agent = g["_id"]["a"]
                host = registry.get(agent)
                if host is None or (table == "incident_msg" and not counts_incidents(host)):
                    continue
                risk = risk_of(table, g["_id"].get("r"))
                r = row(agent)
                if table == "leak_info_log":
                    if risk in (4, 2, 1):
                        r[{4: 3, 2: 4, 1: 5}[risk]] += g["n"]
                elif risk in (2, 1, 0):
                    r[{2: 0, 1: 1, 0: 2}[risk]] += g["n"]
            if table != "leak_info_log":
                pipeline = [{"$match": base}, {"$group": {"_id": "$agent_id", "n": {"$sum": 1}}}]
                for g in run(table, pipeline):
                    host = registry.get(g["_id"])
                    if host is None or (table == "incident_msg" and not counts_incidents(host)):
                        continue
                    row(g["_id"])[6] += g["n"]
    except pymongo.errors.ExecutionTimeout:
        return time.monotonic() - t0, out, False
    return time.monotonic() - t0, out, True


def counts_incidents(host):
    plat, kind = host
    return plat not in (7, 8) and kind in (0, 1)


def compare_agent_level(db, expected):
    """Agents whose agent_level document disagrees with the recomputed summary."""
    fields = ["risk_high", "risk_medium", "risk_low", "leak_high", "leak_medium", "leak_low",
              "total_events"]
    stored = {d["_id"]: [d.get(f) for f in fields]
              for d in db.agent_level.find({}, {f: 1 for f in fields})}
    zero = [0] * len(fields)
    bad = [a for a in set(stored) | set(expected) if stored.get(a, zero) != expected.get(a, zero)]
    return len(stored), [(a, stored.get(a), expected.get(a)) for a in sorted(bad)]


# ---- phases ------------------------------------------------------------------------------

def measure_rebuild(daemon, events, timeout):
    """From the start of the process until the first full insert of agent_level is done;
    also split at the start of the first cycle, since the start-up's table counts are the
    server's work alone."""
    first = daemon.wait(CYCLE_START, 0, timeout)
    cpu_startup = daemon.cpu()
    i = daemon.wait(REBUILD_END, first or 0, timeout) if first is not None else None
    cpu = daemon.cpu()
    if i is None:
        return {"finished": False, "timeout": timeout}
    cycle = max(j for j in range(i) if daemon.events[j][0] == CYCLE_START)
    first_cycle = next(j for j in range(i) if daemon.events[j][0] == CYCLE_START)
    wall = daemon.ms(i) / 1000 - daemon.started
    passes = [(daemon.events[j][1], daemon.ms(j + 1) - daemon.ms(j))
              for j in range(cycle, i) if daemon.events[j][0] == "start one compare"]
    return {
        "finished": True,
        "wall": wall,
        "startup": daemon.ms(first_cycle) / 1000 - daemon.started,
        "merge": (daemon.ms(cycle + 1) - daemon.ms(cycle)) / 1000,
        "passes": sum(p for _, p in passes) / 1000,
        "insert": (daemon.ms(i) - daemon.ms(i - 1)) / 1000,
        "cycles": sum(1 for e in daemon.events[:i] if e[0] == CYCLE_START),
        "cpu": cpu,
        "cpu_startup": cpu_startup,
        "events_per_s": events / wall,
        "cpu_us_per_event": cpu / events * 1e6,
        "cpu_cycles_us_per_event": (cpu - cpu_startup) / events * 1e6,
        "peak_rss": daemon.memory("VmHWM"),
        "rss": daemon.memory("VmRSS"),
    }


def commands_between(daemon, first, second):
    """Data commands counted between the readings taken at two timing lines (indexes), or
    None when one of them has no reading."""
    a, b = daemon.marks.get(first), daemon.marks.get(second)
    if a is None or b is None or a[0] is None or b[0] is None:
        return None
    return b[0] - a[0]


def reading_lag(daemon, index):
    """Seconds from a timing line's own time to the counter reading taken for it: what
    the next phase may have sent meanwhile is counted in the phase before."""
    mark = daemon.marks.get(index)
    return None if mark is None else mark[1] - daemon.ms(index) / 1000


def measure_merge(daemon, server, db, info, reports, timeout):
    """Raw brute-force reports merged per second. The reports come from agents the registry
    does not know, so that the merged records add no per-agent write to later cycles; the
    merge itself does the same work for any agent."""
    gen = info["generator"]
    stray = set(gen.stray)
    known = [a for a in info["attacks"] if a[0] in stray]
    t = int(time.time())
    batch = datagen.bfa_reports(gen, known, reports, t, gen.stray)
    datagen.insert_all(db.anti_bfa_origin_log, batch)
    # The mix: on this server the merge's cost is its update statements, at most one per
    # stored attack that the run refreshes.
    stored = set(known)
    of_known = [(r["agent_id"], r["serv_type"], r["att_src"]) for r in batch]
    of_known = [a for a in of_known if a in stored]
    mix = {"reports_of_stored_attacks": len(of_known), "stored_attacks_reported": len(set(of_known)),
           "new_attacks": len({(r["agent_id"], r["serv_type"], r["att_src"]) for r in batch}
                              - stored)}
    wait_second_after(t)
    after = len(daemon.events)
    cpu0 = daemon.cpu()
    c0 = server.data_commands()  # the daemon is paused: nothing of the cycle is counted yet
    daemon.counter = server.data_commands
    daemon.resume()
    try:
        start = daemon.wait(CYCLE_START, after, 30)
        end = daemon.wait(MERGE_END, start, timeout) if start is not None else None
        cpu = daemon.cpu() - cpu0
        if end is None:
            return dict(mix, finished=False, reports=reports, timeout=timeout,
                        commands=server.data_commands() - c0 if c0 is not None else None)
        seconds = (daemon.ms(end) - daemon.ms(start)) / 1000
        mark = daemon.marks.get(end)
        done = daemon.wait(CYCLE_END, end, timeout)
    finally:
        daemon.counter = None
    daemon.pause()
    return {**mix, "finished": True, "reports": reports, "known_attacks": len(known),
            "seconds": seconds, "per_s": reports / seconds, "cycle_done": done is not None,
            "cpu": cpu,
            "commands": mark[0] - c0 if mark and mark[0] is not None and c0 is not None
            else None,
            "reading_lag": reading_lag(daemon, end)}


def measure_steady(daemon, server, db, info, registry, floor_bin, url, bfa_upper, new, changed,
                   pass_timeout, timeout):
    """1,000 new events and 1,000 state changes (by default) spread over agents: the time
    from their insert until the cycle that takes them in has written agent_level, the
    cycle's own time, and the commands each phase sent."""
    gen = info["generator"]
    t = int(time.time())
    fresh = datagen.new_events(gen, new, t)
    moved = datagen.state_changes(gen, info["sample"], changed, t)
    agents = set()
    for table, docs in list(fresh.items()) + list(moved.items()):
        for d in docs:
            host = registry.get(d["agent_id"])
            if host and (table != "incident_msg" or counts_incidents(host)):
                agents.add(d["agent_id"])
    w0 = time.monotonic()
    for table, docs in moved.items():
        # A changed document is written anew: same id, new state, new time.
        db[table].delete_many({"_id": {"$in": [d["_id"] for d in docs]}})
        datagen.insert_all(db[table], docs)
    for table, docs in fresh.items():
        datagen.insert_all(db[table], docs)
    write_s = time.monotonic() - w0
    floor = run_floor(floor_bin, url, t + 1, bfa_upper, t)
    wait_second_after(t)
    events = new + changed
    after = len(daemon.events)
    cpu0 = daemon.cpu()
    c0 = server.data_commands()  # the daemon is paused: nothing of the cycle is counted yet
    resumed = time.time()
    daemon.counter = server.data_commands
    daemon.resume()
    res = {"events": events, "agents": len(agents), "write_s": write_s,
           "floor": floor["seconds"], "floor_docs": floor["documents"], "finished": False}
    try:
        start = daemon.wait(CYCLE_START, after, 30)
        passes_end = daemon.wait(PASSES_END, start, pass_timeout) if start is not None else None
        if passes_end is None:
            return res
        cpu_passes = daemon.cpu() - cpu0
        merge_end = daemon.wait(MERGE_END, start, 0)
        res["merge"] = (daemon.ms(merge_end) - daemon.ms(start)) / 1000
        res["passes"] = (daemon.ms(passes_end) - daemon.ms(start)) / 1000
        res["cpu_passes_us_per_event"] = cpu_passes / events * 1e6
        mark = daemon.marks.get(merge_end)
        if c0 is not None and mark and mark[0] is not None:
            res["commands_merge"] = mark[0] - c0
        res["commands_passes"] = commands_between(daemon, merge_end, passes_end)
        res["reading_lag"] = max(filter(None, [reading_lag(daemon, merge_end),
                                               reading_lag(daemon, passes_end)]), default=None)
        end = daemon.wait(CYCLE_END, passes_end, timeout)
        cpu = daemon.cpu() - cpu0
        res["cpu_us_per_event"] = cpu / events * 1e6
        if end is None:
            # Unfinished: how far the write pass got in the time it had.
            since = daemon.ms(passes_end) / 1000
            now = server.data_commands()
            mark = daemon.marks.get(passes_end)
            res.update(timeout=timeout, write_elapsed=time.time() - since,
                       cpu_write=cpu - cpu_passes,
                       commands_write=now - mark[0] if now is not None and mark and
                       mark[0] is not None else None)
            daemon.counter = None
            res["written"] = db.agent_level.count_documents(
                {"col_update_time": {"$gte": int(since)}})
            return res
        res.update(finished=True, latency=daemon.ms(end) / 1000 - resumed,
                   cycle=(daemon.ms(end) - daemon.ms(start)) / 1000,
                   write_pass=(daemon.ms(end) - daemon.ms(passes_end)) / 1000,
                   commands_write=commands_between(daemon, passes_end, end))
        if c0 is not None and daemon.marks.get(end) and daemon.marks[end][0] is not None:
            res["commands_cycle"] = daemon.marks[end][0] - c0
        return res
    finally:
        daemon.counter = None


def project_steady(res, agent_write_s):
    """For a write pass that did not finish in its budget: its time, commands and CPU for
    all agents, from what it did in the budget (per agent written), or, when it wrote
    none, from one agent's server time measured apart (agent_write_cost)."""
    agents, written = res["agents"], res.get("written") or 0
    if written:
        scale = agents / written
        res["projected_write"] = res["write_elapsed"] * scale
        if res.get("commands_write") is not None:
            res["projected_commands_write"] = res["commands_write"] * scale
        res["projected_cpu_us_per_event"] = \
            (res["cpu_passes_us_per_event"] * res["events"] / 1e6 +
             res["cpu_write"] * scale) / res["events"] * 1e6
    else:
        res["projected_write"] = agents * agent_write_s
    res["projected"] = res.get("passes", 0) + res["projected_write"]


def agent_write_cost(db, agent, samples=1):
    """What the write pass asks of the server for one changed agent outside the rebuild:
    its stored document by _id, six counts on agent_id, and one update by _id."""
    t0 = time.monotonic()
    for _ in range(samples):
        db.agent_level.find_one({"_id": agent})
        for table in ["virus_file_log", "anti_bfa_log", "webshell_log", "nofile_attack_log",
                      "incident_msg", "domain_log"]:
            f = {"agent_id": agent}
            if table == "domain_log":
                f["found_source"] = {"$exists": True}
            db.command("count", table, query=f)
        db.agent_level.update_one({"_id": agent}, {"$set": {"col_update_time": int(time.time())}})
    return (time.monotonic() - t0) / samples


def run_size(args, n, server, client):
    """Loads a history of n events, then measures each build on it: the first on the data
    as loaded, any further one on a copy of the very same files."""
    db = client[datagen.DB_NAME]
    say("== N = %d events, A = %d agents" % (n, args.agents))
    base = {"n": n, "agents": args.agents}
    t0 = time.monotonic()
    info = datagen.load_history(db, n, args.agents, seed=n)
    base["load_s"] = time.monotonic() - t0
    t0 = time.monotonic()
    datagen.create_indexes(db)
    base["index_s"] = time.monotonic() - t0
    say("loaded in %.1f s, indexes in %.1f s" % (base["load_s"], base["index_s"]))

    now = int(time.time())
    floor = run_floor(args.floor, server.url, now, info["progress"][0])
    base["floor"] = floor
    say("floor scan: %d documents in %.1f s" % (floor["documents"], floor["seconds"]))

    builds = args.builds
    if len(builds) > 1:
        t0 = time.monotonic()
        server.snapshot()
        base["snapshot_s"] = time.monotonic() - t0
    results = []
    try:
        for i, build in enumerate(builds):
            if i > 0:
                server.restore()
            res = dict(base, build=build["label"])
            try:
                # Each build draws the same later changes from its own copy of the generator.
                run_build(args, build, res, server, db, copy.deepcopy(info), now)
            except Exception as e:  # one build that fails leaves the others measured
                say("N = %d, %s failed: %s" % (n, build["label"], e))
                res["error"] = str(e)
            results.append(res)
    finally:
        server.drop_snapshot()
    return results


def run_build(args, build, res, server, db, info, now):
    n = res["n"]
    floor = res["floor"]
    progress = info["progress"]
    say("-- %s: %s" % (build["label"], build["dir"]))
    lines = datagen.write_registry_lines(args.agents)
    registry = {l.split()[0]: (int(l.split()[1]), int(l.split()[2]))
                for l in lines.splitlines()}
    tree = Tree(build["dir"], Path(args.work) / ("tree-%d-%s" % (n, build["label"])), server.url)
    tree.registry(lines)
    tree.settings(update_interval=1, show_time_use=1)
    tree.progress(*progress)
    daemon = Daemon(tree, args.pid_file)
    try:
        rebuild = measure_rebuild(daemon, floor["documents"], args.timeout)
        res["rebuild"] = rebuild
        if not rebuild["finished"]:
            say("rebuild did not finish within %d s" % args.timeout)
            return
        res["rebuild"]["ratio"] = rebuild["wall"] / floor["seconds"]
        res["rebuild"]["cycles_ratio"] = (rebuild["wall"] - rebuild["startup"]) / floor["seconds"]
        say("rebuild: %.1f s (floor %.1f s), CPU %.2f s = %.2f us/event, peak RSS %.0f MiB"
            % (rebuild["wall"], floor["seconds"], rebuild["cpu"], rebuild["cpu_us_per_event"],
               rebuild["peak_rss"] / 2 ** 20))
        cycle_end = daemon.wait(CYCLE_END, 0, args.timeout)
        daemon.pause()
        if cycle_end is None:
            return

        if "aggregate" in args.phases:
            # The rebuild cycle's merge found nothing new and moved its bound one second on.
            agg_s, summaries, finished = aggregate_summaries(db, registry, now, progress[0] + 1,
                                                             args.aggregate_budget)
            res["aggregate"] = {"seconds": agg_s, "finished": finished}
            if finished:
                stored, bad = compare_agent_level(db, summaries)
                res["aggregate"].update(agents=len(summaries), stored=stored, disagree=len(bad),
                                        disagree_sample=bad[:5])
                say("aggregation recompute: %.1f s; agent_level after the rebuild: %d "
                    "documents, %d disagree with it" % (agg_s, stored, len(bad)))
            else:
                say("aggregation recompute: more than %.0f s (stopped)" % agg_s)

        if "merge" in args.phases and args.merge_reports:
            res["merge"] = measure_merge(daemon, server, db, info, args.merge_reports,
                                         args.timeout)
            say("merge: %s" % res["merge"])
        if "steady" in args.phases:
            res["steady"] = measure_steady(daemon, server, db, info, registry, args.floor,
                                           server.url, progress[0], args.new_events,
                                           args.state_changes, args.timeout, build["budget"])
            say("steady state: %s" % res["steady"])
    finally:
        daemon.stop()
    steady = res.get("steady")
    if steady and not steady.get("finished") and "write_elapsed" in steady:
        if not steady.get("written"):
            res["agent_write_s"] = agent_write_cost(db, sorted(registry)[0])
            say("one agent's write costs %.2f s of server time" % res["agent_write_s"])
        project_steady(steady, res.get("agent_write_s", 0))
        say("projected write pass %.0f s, steady state %.0f s"
            % (steady["projected_write"], steady["projected"]))


def run_memory(args, url, client):
    """RSS per pending event: the same 1,000,000 unhandled events read by two daemons, one
    whose registry knows none of their agents (nothing is kept) and one that knows all of
    them (every event enters the pending buffer); both measured when the passes of the
    rebuild cycle are done. The difference over the event count is the cost of an entry.
    """
    db = client[datagen.DB_NAME]
    m = args.memory_events
    say("== memory: %d unhandled events" % m)
    datagen.load_unhandled(db, m, args.agents)
    res = {"events": m}
    for label, lines in (("baseline", "1 1 0\n"),
                         ("pending", datagen.write_registry_lines(args.agents))):
        tree = Tree(args.build, Path(args.work) / ("tree-mem-%s" % label), url)
        tree.registry(lines)
        # A bound far above the events, so that nothing overflows into the collection.
        tree.settings(update_interval=1, show_time_use=1, pending_event_unit=1000000000,
                      update_agent_level_query_count=5000000)
        daemon = Daemon(tree, args.pid_file)
        try:
            # Read when the passes are done, before the write pass builds its documents.
            i = daemon.wait(PASSES_END, 0, args.timeout)
            if i is None:
                res[label] = None
                break
            res[label] = daemon.memory("VmRSS")
            res[label + "_hwm"] = daemon.memory("VmHWM")
            daemon.wait(CYCLE_END, i, args.timeout)
        finally:
            daemon.stop()
    if res.get("baseline") and res.get("pending"):
        res["in_collection"] = db.agent_level_pending_log.count_documents({})
        res["bytes_per_event"] = (res["pending"] - res["baseline"]) / m
        say("memory: %.1f bytes of RSS per pending event (%d in the collection)"
            % (res["bytes_per_event"], res["in_collection"]))
    return res


def fmt(value, spec):
    return "-" if value is None else format(value, spec)


def get(r, *path):
    for p in path:
        if not isinstance(r, dict) or p not in r:
            return None
        r = r[p]
    return r


def steady_time(r):
    """Seconds from the insert until agent_level reflects it, and whether measured."""
    s = r.get("steady", {})
    if s.get("finished"):
        return s["latency"], True
    return s.get("projected"), False


def measured_or_projected(r, measured_key, projected_key, spec):
    """A steady-cycle figure: measured when the cycle finished, else its projection."""
    s = r.get("steady", {})
    if s.get("finished"):
        return fmt(s.get(measured_key), spec)
    value = s.get(projected_key)
    return "-" if value is None else "~" + format(value, spec) + " (projected)"


def render(head, rows):
    widths = [max(len(str(row[i])) for row in rows + [[""] + head]) for i in range(len(head) + 1)]
    lines = ["| " + " | ".join(h.ljust(w) for h, w in zip([""] + head, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")
    return "\n".join(lines)


def column_head(r, labelled):
    head = "N = %s" % format(r["n"], ",")
    return head + " " + r["build"] if labelled and r.get("build") else head


def table(results, memory):
    labelled = len({r.get("build") for r in results}) > 1
    rows = []

    def add(label, values):
        rows.append([label] + values)

    add("rebuild: wall s", [fmt(get(r, "rebuild", "wall"), ".1f") for r in results])
    add("rebuild: events/s", [fmt(get(r, "rebuild", "events_per_s"), ",.0f") for r in results])
    add("rebuild: daemon CPU s", [fmt(get(r, "rebuild", "cpu"), ".2f") for r in results])
    add("rebuild: daemon CPU us/event",
        [fmt(get(r, "rebuild", "cpu_us_per_event"), ".2f") for r in results])
    add("rebuild: peak RSS MiB",
        [fmt(get(r, "rebuild", "peak_rss") and get(r, "rebuild", "peak_rss") / 2 ** 20, ".0f")
         for r in results])
    add("rebuild: daemon CPU us/event after start-up",
        [fmt(get(r, "rebuild", "cpu_cycles_us_per_event"), ".2f") for r in results])
    add("rebuild: start-up until the first cycle s",
        [fmt(get(r, "rebuild", "startup"), ".1f") for r in results])
    add("floor scan s", [fmt(get(r, "floor", "seconds"), ".1f") for r in results])
    add("rebuild / floor", [fmt(get(r, "rebuild", "ratio"), ".2f") for r in results])
    add("rebuild after start-up / floor",
        [fmt(get(r, "rebuild", "cycles_ratio"), ".2f") for r in results])

    def seconds(r):
        t, measured = steady_time(r)
        if t is None:
            return "-"
        return fmt(t, ".1f") if measured else "~%.0f (projected)" % t

    add("steady: insert -> agent_level s", [seconds(r) for r in results])
    add("steady: cycle s", [measured_or_projected(r, "cycle", "projected", ".1f")
                            for r in results])
    add("steady: merge s", [fmt(get(r, "steady", "merge"), ".1f") for r in results])
    add("steady: passes s", [fmt(get(r, "steady", "passes"), ".1f") for r in results])
    add("steady: write pass s", [measured_or_projected(r, "write_pass", "projected_write", ".1f")
                                 for r in results])
    add("steady: server floor of the passes s",
        [fmt(get(r, "steady", "floor"), ".1f") for r in results])
    add("steady: changed agents", [fmt(get(r, "steady", "agents"), ",d") for r in results])
    add("steady: commands, merge", [fmt(get(r, "steady", "commands_merge"), ",d")
                                    for r in results])
    add("steady: commands, passes", [fmt(get(r, "steady", "commands_passes"), ",d")
                                     for r in results])
    add("steady: commands, write pass",
        [measured_or_projected(r, "commands_write", "projected_commands_write", ",.0f")
         for r in results])
    add("steady: daemon CPU us/event, passes",
        [fmt(get(r, "steady", "cpu_passes_us_per_event"), ".1f") for r in results])
    add("steady: daemon CPU us/event, cycle",
        [measured_or_projected(r, "cpu_us_per_event", "projected_cpu_us_per_event", ".1f")
         for r in results])

    def aggregate(r):
        a = get(r, "aggregate", "seconds")
        if a is None:
            return "-"
        return fmt(a, ".1f") if get(r, "aggregate", "finished") else "> %.0f (stopped)" % a

    add("steady: aggregation recompute s", [aggregate(r) for r in results])
    ratios, floors = [], []
    for r in results:
        t, _ = steady_time(r)
        a, f = get(r, "aggregate", "seconds"), get(r, "floor", "seconds")
        prefix = "" if get(r, "aggregate", "finished") else "> "
        ratios.append(prefix + fmt(a / t, ".3g") if a and t else "-")
        floors.append(fmt(f / t, ".3g") if f and t else "-")
    add("steady: aggregation / steady", ratios)
    add("steady: floor scan / steady", floors)
    add("merge: raw reports/s", [fmt(get(r, "merge", "per_s"), ",.0f") for r in results])
    add("merge: commands", [fmt(get(r, "merge", "commands"), ",d") for r in results])
    # The merge reads the raw reports with a query this server answers by a scan of the
    # whole collection: a cost of every run, however few reports it returns.
    add("merge: server floor of its read s",
        [fmt((get(r, "floor", "tables", "anti_bfa_origin_log") or [None, None])[1], ".2f")
         if get(r, "merge") else "-" for r in results])
    add("merge: reports of stored attacks / all / stored attacks",
        ["-" if get(r, "merge", "reports") is None else "%d / %d / %d" % (
            get(r, "merge", "reports_of_stored_attacks"), get(r, "merge", "reports"),
            get(r, "merge", "stored_attacks_reported")) for r in results])
    head = [column_head(r, labelled) for r in results] or [""]
    add("memory: RSS bytes per pending event",
        [fmt(memory.get("bytes_per_event") if memory else None, ".1f")] + [""] * (len(head) - 1))
    return render(head, rows)


def comparison(results):
    """Before and after side by side, per size: the figures the change is judged by."""
    by_size = {}
    for r in results:
        by_size.setdefault(r["n"], {})[r.get("build")] = r
    pairs = [(n, b["before"], b["after"]) for n, b in sorted(by_size.items())
             if "before" in b and "after" in b]
    if not pairs:
        return None

    def write_pass(r):
        s = r.get("steady", {})
        return s.get("write_pass") if s.get("finished") else s.get("projected_write")

    def write_commands(r):
        s = r.get("steady", {})
        return s.get("commands_write") if s.get("finished") else \
            s.get("projected_commands_write")

    def cycle_cpu(r):
        s = r.get("steady", {})
        return s.get("cpu_us_per_event") if s.get("finished") else \
            s.get("projected_cpu_us_per_event")

    figures = [
        ("steady: write pass s", write_pass, ".1f", "before / after"),
        ("steady: commands, write pass", write_commands, ",.0f", "before / after"),
        ("steady: daemon CPU us/event, cycle", cycle_cpu, ".1f", "before / after"),
        ("merge: raw reports/s", lambda r: get(r, "merge", "per_s"), ",.1f", "after / before"),
        ("merge: commands", lambda r: get(r, "merge", "commands"), ",d", "before / after"),
    ]
    head = []
    for n, _, _ in pairs:
        head += ["N = %s before" % format(n, ","), "after", "factor"]
    rows = []
    for label, value, spec, sense in figures:
        row = [label + " (" + sense + ")"]
        for _, before, after in pairs:
            b, a = value(before), value(after)
            row += [fmt(b, spec), fmt(a, spec)]
            if a and b:
                row.append("%.3g" % (b / a if sense == "before / after" else a / b))
            else:
                row.append("-")
        rows.append(row)
    return render(head, rows)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--metrics-url", default="")
    p.add_argument("--server-dir", required=True)
    p.add_argument("--build", required=True, help="the build measured (the after build)")
    p.add_argument("--before", help="a build to measure first on the same data")
    p.add_argument("--floor", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--pid-file", required=True)
    p.add_argument("--sizes", default="100000,1000000")
    p.add_argument("--agents", type=int, default=10000)
    p.add_argument("--phases", default="aggregate,merge,steady",
                   help="what is measured after the rebuild, comma-separated")
    p.add_argument("--new-events", type=int, default=1000)
    p.add_argument("--state-changes", type=int, default=1000)
    p.add_argument("--merge-reports", type=int, default=500)
    p.add_argument("--memory-events", type=int, default=1000000)
    p.add_argument("--timeout", type=int, default=1800)
    p.add_argument("--steady-timeout", type=int, default=60)
    p.add_argument("--before-steady-timeout", type=int)
    p.add_argument("--aggregate-budget", type=int, default=240)
    p.add_argument("--json")
    args = p.parse_args()
    args.phases = set(x for x in args.phases.split(",") if x)
    args.builds = []
    if args.before:
        args.builds.append({"label": "before", "dir": args.before,
                            "budget": args.before_steady_timeout or args.steady_timeout})
    args.builds.append({"label": "after" if args.before else None, "dir": args.build,
                        "budget": args.steady_timeout})

    server = Server(args.server_dir, args.url, args.metrics_url)
    client = pymongo.MongoClient(args.url, serverSelectionTimeoutMS=10000)
    results = []
    for n in [int(s) for s in args.sizes.split(",") if s]:
        try:
            results += run_size(args, n, server, client)
        except Exception as e:  # one size that fails leaves the others measured
            say("N = %d failed: %s" % (n, e))
            results.append({"n": n, "error": str(e)})
    memory = run_memory(args, args.url, client) if args.memory_events else None
    machine = subprocess.run(["uname", "-srm"], capture_output=True, text=True).stdout.strip()
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "?")
    header = "%s, %s, %d CPUs, %s" % (time.strftime("%Y-%m-%d %H:%M"), cpu, os.cpu_count(),
                                      machine)
    print(header)
    print(table(results, memory))
    compared = comparison(results)
    if compared:
        print()
        print(compared)
    if args.json:
        Path(args.json).write_text(json.dumps({"machine": header, "sizes": results,
                                               "memory": memory}, indent=1, default=str))


if __name__ == "__main__":
    main()
