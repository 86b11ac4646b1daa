"""Black-box fixtures: a temporary installation tree per test, the live test server, the
agent registry, and a korveld process to start, signal, watch and stop."""

import configparser
import os
import re
import signal
import socket
import sqlite3
import subprocess
import time
import urllib.request
from pathlib import Path

import pymongo
import pytest
from bson.int64 import Int64

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KORVEL_BUILD_DIR", ROOT / "build"))
DB_NAME = "tavrund_qmx"
CYCLE_END = ">>>>>>>>>>>>>> [finish] update table: [agent_level]"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def mongo_url():
    url = os.environ.get("KORVEL_TEST_MONGO_URL")
    if not url:
        pytest.fail("KORVEL_TEST_MONGO_URL is not set: run the tests through scripts/test")
    return url


# Commands that read or write documents, as the server counts its requests.
DATA_COMMANDS = ("find", "getMore", "aggregate", "count", "insert", "update", "delete",
                 "findAndModify", "distinct")
_REQUESTS = re.compile(r'^ferretdb_client_requests_total\{([^}]*)\}\s+(\S+)', re.M)


def server_requests(metrics_url=None):
    """The server's own request counters, {command: count}, from its Prometheus text (the
    test server's by default). Counters only grow: compare two readings."""
    url = metrics_url or os.environ.get("KORVEL_TEST_METRICS_URL")
    if not url:
        pytest.fail("KORVEL_TEST_METRICS_URL is not set: run the tests through scripts/test")
    with urllib.request.urlopen(url, timeout=10) as r:
        text = r.read().decode()
    counts = {}
    for labels, value in _REQUESTS.findall(text):
        command = re.search(r'command="([^"]*)"', labels)
        if command:
            counts[command.group(1)] = counts.get(command.group(1), 0) + int(float(value))
    return counts


def data_commands_between(before, after):
    """{command: n} of the data commands counted between two readings of server_requests."""
    diff = {c: after.get(c, 0) - before.get(c, 0) for c in DATA_COMMANDS}
    return {c: n for c, n in diff.items() if n}


def stored_levels(db, since=None):
    """agent_level by agent id, without col_update_time; checks that every number is an
    int64 and, given `since`, that the write time is plausible."""
    got = {}
    for doc in db.agent_level.find():
        written = doc.pop("col_update_time")
        assert isinstance(written, Int64), doc
        if since is not None:
            assert since <= written <= time.time() + 1, doc
        numbers = [v for k, v in doc.items() if k not in ("_id", "event_counts")]
        numbers += list(doc["event_counts"].values())
        assert all(isinstance(v, Int64) for v in numbers), doc
        got[doc["_id"]] = doc
    return got


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivateServer:
    """A FerretDB of one test's own, on fixed loopback ports, with its SQLite data in a
    folder that outlives the process: it can be killed and started again on the same data."""

    BINARY = ROOT / ".deps" / "bin" / "ferretdb"

    def __init__(self, folder: Path):
        self.folder = folder
        self.data = folder / "data"
        self.data.mkdir(parents=True, exist_ok=True)
        self.port = _free_port()
        self.debug_port = _free_port()
        self.url = f"mongodb://127.0.0.1:{self.port}/"
        self.metrics_url = f"http://127.0.0.1:{self.debug_port}/debug/metrics"
        self.proc = None

    def start(self, timeout=20):
        assert self.proc is None or self.proc.poll() is not None, "already running"
        log = open(self.folder / "ferretdb.log", "a")
        self.proc = subprocess.Popen(
            [str(self.BINARY), "--telemetry=disable", "--handler=sqlite",
             f"--sqlite-url=file:{self.data}/", f"--listen-addr=127.0.0.1:{self.port}",
             f"--debug-addr=127.0.0.1:{self.debug_port}", f"--state-dir={self.folder}",
             "--log-level=error"], stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return self
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        raise AssertionError("private FerretDB did not start:\n"
                             + (self.folder / "ferretdb.log").read_text()[-2000:])

    def kill(self):
        """SIGKILL: no orderly shutdown, as a crash or an OOM kill would leave it."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()

    def requests(self):
        return server_requests(self.metrics_url)

    def client(self):
        return pymongo.MongoClient(self.url, serverSelectionTimeoutMS=5000)


@pytest.fixture
def private_server(tmp_path):
    """A started PrivateServer; stopped after the test."""
    server = PrivateServer(tmp_path / "ferretdb").start()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def client():
    c = pymongo.MongoClient(mongo_url(), serverSelectionTimeoutMS=5000)
    yield c
    c.close()


@pytest.fixture
def db(client):
    """The daemon's database, empty at the start of the test."""
    client.drop_database(DB_NAME)
    return client[DB_NAME]


class Tree:
    """One installation of korveld: PREFIX/bin, config, var/log/korvel, data."""

    def __init__(self, prefix: Path):
        self.prefix = prefix
        self.bin = prefix / "bin"
        self.config = prefix / "config"
        self.log_dir = prefix / "var" / "log" / "korvel"
        self.log_file = self.log_dir / "korveld.log"
        self.data = prefix / "data"
        self.progress_file = self.config / "korvel_last_time.ini"

    def tool(self, name, *args, stdin=None, check=True):
        return subprocess.run([str(self.bin / name), *map(str, args)], input=stdin,
                              capture_output=True, text=True, check=check, timeout=30)

    def set_url(self, url):
        self.tool("korvel-secret", "set", "mongo", "default_mongodb_url", stdin=url)

    def set_log_level(self, level):
        (self.config / "autolog.ini").write_text(f"[log]\nlevel = {level}\n")

    def write_config(self, **keys):
        lines = ["[update]"] + [f"{k} = {v}" for k, v in keys.items()]
        (self.config / "korvel.ini").write_text("\n".join(lines) + "\n")

    def registry(self, agents):
        """Writes the agent registry: {agent_id: (host_plat, host_type)}."""
        path = self.data / "agent_registry.db"
        con = sqlite3.connect(path)
        con.execute("CREATE TABLE IF NOT EXISTS agent (id INTEGER PRIMARY KEY,"
                    " host_plat INTEGER NOT NULL, host_type INTEGER NOT NULL)")
        con.executemany("INSERT OR REPLACE INTO agent VALUES (?, ?, ?)",
                        [(int(a), p, t) for a, (p, t) in agents.items()])
        con.commit()
        con.close()

    def progress(self):
        """The brute-force merge progress file as (last_update_time, last_update_id)."""
        parser = configparser.ConfigParser()
        parser.read_string(self.progress_file.read_text())
        sec = parser["anti_bfa"]
        return int(sec.get("last_update_time", "0")), sec.get("last_update_id", "")

    def log_text(self):
        try:
            return self.log_file.read_text(errors="replace")
        except FileNotFoundError:
            return ""


@pytest.fixture
def tree(tmp_path, db):
    """A fresh installation pointed at the test server (whose database starts empty),
    logging at level 4, one cycle a second with timing lines (so tests can count cycles)."""
    prefix = tmp_path / "korvel"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)],
                   check=True, capture_output=True, timeout=60)
    t = Tree(prefix)
    t.set_url(mongo_url())
    t.set_log_level(4)
    t.write_config(update_interval=1, show_time_use=1)
    return t


class Daemon:
    """korveld started as a child of the test (so the test is its parent)."""

    def __init__(self, tree: Tree, faketime=None):
        """`faketime`: a libfaketime spec such as "+0 x100"; the library is preloaded into
        korveld itself (not through the faketime wrapper) so that signals and the exit
        status are korveld's own."""
        self.tree = tree
        env = None
        if faketime:
            env = dict(os.environ, LD_PRELOAD=FAKETIME_LIB, FAKETIME=faketime)
        self.proc = subprocess.Popen([str(tree.bin / "korveld")], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd=str(tree.prefix),
                                     env=env)
        self._stderr = None

    def wait_log(self, text, timeout=30, count=1):
        """Waits until the log holds `text` at least `count` times; returns the log."""
        deadline = time.monotonic() + timeout
        while True:
            log = self.tree.log_text()
            if log.count(text) >= count:
                return log
            if self.proc.poll() is not None:
                raise AssertionError(f"korveld exited ({self.proc.returncode}) before "
                                     f"{text!r} was logged:\n{log[-4000:]}")
            if time.monotonic() > deadline:
                raise AssertionError(f"{text!r} not logged within {timeout}s:\n{log[-4000:]}")
            time.sleep(0.05)

    def wait_started(self, timeout=30):
        return self.wait_log("start korvel server...", timeout)

    def wait_cycles(self, n, timeout=60):
        """Waits until n more update cycles have ended. Needs show_time_use = 1 (the
        tree fixture's default): each cycle ends with its "[finish] update" timing line."""
        done = self.tree.log_text().count(CYCLE_END)
        return self.wait_log(CYCLE_END, timeout, done + n)

    def send(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=None, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM if sig is None else sig)
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=30):
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        return self.proc.returncode

    def stderr(self):
        if self._stderr is None and self.proc.poll() is not None:
            self._stderr = self.proc.stderr.read()
        return self._stderr or ""

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def daemon():
    """Starts daemons for a test and makes sure none outlives it."""
    started = []

    def start(tree, faketime=None):
        d = Daemon(tree, faketime=faketime)
        started.append(d)
        return d

    yield start
    for d in started:
        d.kill()
