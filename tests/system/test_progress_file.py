"""The merge progress file in hard places: a folder the daemon's user may not change, a file
that holds garbage, and saves cut short by SIGKILL."""

import configparser
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import BUILD, Daemon, Tree, mongo_url

NOBODY = 65534
SETPRIV = shutil.which("setpriv")
TEMP_NAME = re.compile(r"^korvel_last_time\.ini\.[A-Za-z0-9]{6}$")


def raw_report(at):
    return {"agent_id": "7", "serv_type": "ssh", "att_src": "10.0.0.1", "time": at,
            "found_time": at, "att_times": 3, "state": 0, "user": "root"}


def temporaries(tree):
    return sorted(p.name for p in tree.config.iterdir() if TEMP_NAME.match(p.name))


def start(daemon, tree):
    """Starts korveld in a tree that may have run before: waits for this run's start."""
    started = tree.log_text().count("start korvel server...")
    d = daemon(tree)
    d.wait_log("start korvel server...", count=started + 1)
    return d


def read_progress(tree):
    """(last_update_time, last_update_id) of a file that must load and hold both keys."""
    parser = configparser.ConfigParser()
    parser.read_string(tree.progress_file.read_text())
    section = parser["anti_bfa"]
    return int(section["last_update_time"]), section["last_update_id"]


class UnprivilegedDaemon(Daemon):
    """korveld run as the user nobody, for whom folder permissions hold (the tests run as
    root, whom they do not bind)."""

    def __init__(self, tree):
        self.tree = tree
        self.proc = subprocess.Popen(
            [SETPRIV, f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
             str(tree.bin / "korveld")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, cwd=str(tree.prefix))
        self._stderr = None


@pytest.fixture
def confined_tree(db):
    """An installation that nobody may run from: everything readable, the log folder, the
    lock file and the progress file its own, the config folder not."""
    if SETPRIV is None:
        pytest.skip("setpriv is needed to run korveld as an unprivileged user")
    # Outside pytest's own temporary folders, which only root may enter.
    top = Path(tempfile.mkdtemp(prefix="korvel-confined-", dir="/tmp"))
    try:
        os.chmod(top, 0o755)
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(top)], check=True,
                       capture_output=True, timeout=60)
        tree = Tree(top)
        tree.set_url(mongo_url())
        tree.set_log_level(4)
        tree.write_config(update_interval=3, show_time_use=1)
        tree.registry({7: (1, 0)})
        tree.progress_file.write_text("[anti_bfa]\nlast_update_time = 0\nlast_update_id = \n")
        lock = tree.bin / ".korveld.pid"
        lock.touch()
        for owned in (tree.config / "korvel.key", tree.config / "korvel_protected.ini",
                      tree.progress_file, lock, tree.log_dir):
            os.chown(owned, NOBODY, NOBODY)
        os.chmod(tree.progress_file, 0o600)
        os.chmod(tree.config, 0o755)
        yield tree
    finally:
        shutil.rmtree(top, ignore_errors=True)


def test_progress_is_saved_through_a_folder_the_daemon_may_not_change(confined_tree, db):
    tree = confined_tree
    # The daemon's user really cannot create a file in the config folder.
    probe = subprocess.run([SETPRIV, f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                            "touch", str(tree.config / "probe")], capture_output=True)
    assert probe.returncode != 0

    at = int(time.time()) - 1000
    report = raw_report(at)
    db.anti_bfa_origin_log.insert_one(report)
    d = UnprivilegedDaemon(tree)
    try:
        d.wait_started()
        d.wait_cycles(1)
        assert d.stop() == 0
    finally:
        d.kill()
    log = tree.log_text()
    assert "ini_file_save file : " not in log
    assert "failed when exit" not in log
    assert log.count("rewriting the file in place") == 1
    saved_time, saved_id = read_progress(tree)
    assert at <= saved_time <= int(time.time())
    assert saved_id in (str(report["_id"]), "")
    assert (saved_time, saved_id) != (0, "")
    assert temporaries(tree) == []


def test_a_garbage_progress_file_is_replaced_at_the_next_save(tree, daemon):
    tree.progress_file.write_bytes(b"\x7fELF\x02\x01 not an ini file\n[[[\n\x00\x00")
    d = daemon(tree)
    d.wait_started()
    assert "get anti_last_update_time failed" in tree.log_text()
    assert d.stop() == 0
    log = tree.log_text()
    assert "does not load: writing a fresh one" in log
    assert "save anti_last_update_time failed" not in log
    assert "failed when exit" not in log
    read_progress(tree)  # loads, with both keys

    # The next start reads it.
    first_run = len(log)
    d = start(daemon, tree)
    assert d.stop() == 0
    assert "get anti_last_update_time failed" not in tree.log_text()[first_run:]


def test_a_killed_save_never_leaves_an_empty_file_and_its_temporaries_go(tree, daemon):
    # Long cycles: the stop comes while the daemon is idle, so the kill falls in the stop
    # sequence (the save, then the release of the connections).
    tree.write_config(update_interval=60)
    outcomes = []
    runs = 24
    for i in range(runs):
        if tree.progress_file.exists():
            tree.progress_file.unlink()  # each run makes the first save
        d = start(daemon, tree)
        delay = 0.003 * i / runs  # 0 to 3 ms, spinning: a sleep is too coarse for this
        d.send(signal.SIGTERM)
        sent = time.perf_counter()
        while time.perf_counter() - sent < delay:
            pass
        os.kill(d.proc.pid, signal.SIGKILL)
        d.proc.wait()
        if tree.progress_file.exists():
            assert tree.progress_file.stat().st_size > 0, f"empty after a kill {delay * 1000} ms late"
            read_progress(tree)
            mode = tree.progress_file.stat().st_mode & 0o7777
            assert mode == 0o700
            outcomes.append("saved")
        else:
            outcomes.append("absent")

    # What the kills left, and one planted as a crash would leave it: an orderly run
    # removes them all.
    (tree.config / "korvel_last_time.ini.Zq81Kp").write_text("[anti_bfa]\n")
    d = start(daemon, tree)
    assert d.stop() == 0
    assert temporaries(tree) == [], outcomes
    read_progress(tree)
    assert (tree.config / "korvel.ini").exists()
