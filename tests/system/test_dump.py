"""The pending-id dump of a running daemon (SIGUSR2) into the files under /tmp/ckorvel."""

import os
import shutil
import signal
import time
from pathlib import Path

import pytest

DUMP_DIR = Path("/tmp/ckorvel")
FILES = {"virus": "korveld_virus_file_log.txt", "ransom": "korveld_ransom_file_log.txt",
         "webshell": "korveld_webshell_log.txt", "bfa": "korveld_anti_bfa_log.txt",
         "domain": "korveld_domain_log.txt", "nofile": "korveld_nofile_log.txt"}


@pytest.fixture
def no_dump_dir():
    """The dump folder is the daemon's fixed, machine-wide path: a test never touches one
    that it did not create."""
    if DUMP_DIR.exists() or DUMP_DIR.is_symlink():
        pytest.skip(f"{DUMP_DIR} exists already")
    yield DUMP_DIR
    shutil.rmtree(DUMP_DIR, ignore_errors=True)


@pytest.fixture
def dump_dir(no_dump_dir):
    no_dump_dir.mkdir(mode=0o755)
    os.chmod(no_dump_dir, 0o755)  # whatever the umask
    return no_dump_dir


def pending_events(db, at):
    """One unhandled event of agent 1 per kind; returns {category: [expected ids]}."""
    agent = {"agent_id": "1", "found_time": at, "state": 0}
    db.virus_file_log.insert_many([
        dict(agent, _id="v2", time=at, risk_level=2, virus_type=2),
        dict(agent, _id="v4", time=at, risk_level=2, virus_type=4),
        dict(agent, _id="v9", time=at, risk_level=1, virus_type=9),  # counted, in no file
    ])
    db.webshell_log.insert_one(dict(agent, _id="w1", time=at, safety_state="invaded"))
    db.domain_log.insert_one(dict(agent, _id="d1", domain_update_time=at, found_source=1,
                                  unhandle_file_count=1, event_risk_level=1))
    db.anti_bfa_log.insert_one(dict(agent, _id="b1", time=at))
    db.nofile_attack_log.insert_one(dict(agent, _id="n1", time=at, risk_level=1))
    db.incident_msg.insert_one({"agent_id": "1", "incident_id": "i1", "update_time": at * 1000,
                                "trigger_time": at * 1000, "merged": False, "dispose": 0,
                                "incident_level": 4})
    # A leak (category 60) is counted but written to no file.
    db.leak_info_log.insert_one({"_id": "l1", "agent_id": "1", "kb": "KB1", "update_time": at,
                                 "found_time": at, "state": 1, "risk_level": 1})
    return {"virus": ["v2virus_file_log"], "ransom": ["v4virus_file_log"],
            "webshell": ["w1webshell_log"], "bfa": ["b1anti_bfa_log"],
            "domain": ["d1domain_log"], "nofile": ["i1incident_msg", "n1nofile_attack_log"]}


def seed_merge_progress(tree, at):
    """The merged brute-force records are read only below the merge's progress."""
    tree.progress_file.write_text(f"[anti_bfa]\nlast_update_time = {at}\nlast_update_id = \n")


def dumped(folder):
    return {kind: sorted((folder / name).read_text().splitlines())
            for kind, name in FILES.items()}


def test_dump_writes_pending_ids_by_category_once_per_loop_turn(tree, db, daemon, dump_dir):
    tree.registry({1: (1, 0)})
    now = int(time.time())
    expected = pending_events(db, now - 60)
    seed_merge_progress(tree, now - 30)
    d = daemon(tree)
    d.wait_started()
    d.wait_log("calc id i1incident_msg")  # the last pass of the first cycle

    # Two requests before the loop turns again make one dump.
    os.kill(d.proc.pid, signal.SIGSTOP)
    d.send(signal.SIGUSR2)
    d.send(signal.SIGUSR2)
    os.kill(d.proc.pid, signal.SIGCONT)
    d.wait_log("finish dump pending id,size is 9")
    assert dumped(dump_dir) == expected
    d.wait_cycles(2)
    assert tree.log_text().count("start dump pending id") == 1

    # Handled events leave the queue; the next dump rewrites the files from scratch. The
    # passes read what changed after their progress, hence the fresh time.
    db.virus_file_log.update_one({"_id": "v2"}, {"$set": {"state": 1, "time": int(time.time())}})
    d.wait_log("calc id v2virus_file_log state 1")
    d.send(signal.SIGUSR2)
    d.wait_log("finish dump pending id,size is 8")
    assert dumped(dump_dir) == dict(expected, virus=[])
    assert tree.log_text().count("start dump pending id") == 2
    assert d.stop() == 0


def test_dump_without_folder_still_completes(tree, db, daemon, no_dump_dir):
    tree.registry({1: (1, 0)})
    db.virus_file_log.insert_one({"_id": "v2", "agent_id": "1", "time": int(time.time()) - 60,
                                  "found_time": 0, "state": 0, "risk_level": 2, "virus_type": 2})
    d = daemon(tree)
    d.wait_started()
    d.wait_log("calc id v2virus_file_log")
    d.send(signal.SIGUSR2)
    d.wait_log("finish dump pending id,size is 1")
    d.wait_cycles(1)  # and goes on working
    assert d.stop() == 0
    assert not no_dump_dir.exists()  # never created by the daemon
