"""Crashes in the middle of the work: the database server killed (SIGKILL) while korveld
writes its summaries, and korveld itself killed in the middle of a write pass. Either way,
once both run again, agent_level holds exactly what the whole event history gives: no event
lost, none counted twice."""

import time

import rules
from conftest import CYCLE_END, DB_NAME, stored_levels
from rules import VIRUS
from test_write_pass import (REBUILT, WRITE_PASS_START, pause_between_cycles, registry_of,
                             resume_in_next_second, virus_event)

AGENTS = [str(7000 + i) for i in range(300)]


def expected_levels(db):
    """Every event of the history counts: the summaries are those of a rebuild over all of
    it (each total being the agent's number of events)."""
    model = rules.Summaries(registry_of(AGENTS))
    model.read(rules.history(db), int(time.time()) + 1)
    return model.rebuild()


def wait_for_levels(db, d, expected, timeout=120):
    deadline = time.monotonic() + timeout
    while True:
        got = stored_levels(db)
        if got == expected:
            return
        assert d.proc.poll() is None, "korveld exited"
        if time.monotonic() > deadline:
            wrong = sorted(a for a in set(got) | set(expected) if got.get(a) != expected.get(a))
            raise AssertionError(f"{len(wrong)} agents differ, e.g. {wrong[:3]}: "
                                 f"{[(got.get(a), expected.get(a)) for a in wrong[:1]]}")
        time.sleep(1)


def start_steady(tree, db, daemon):
    """A daemon past its rebuild over one event per agent, then held between two cycles
    while a second event per agent arrives, and let go: returns it at the start of the
    write pass that takes those events in, once its writes have begun."""
    tree.registry(registry_of(AGENTS))
    tree.write_config(update_interval=1000, show_time_use=1)
    base = int(time.time()) - 100_000
    db[VIRUS].insert_many([virus_event(f"h{a}", a, base + i) for i, a in enumerate(AGENTS)])
    d = daemon(tree)
    d.wait_log(REBUILT, timeout=60)
    pause_between_cycles(d)
    now = int(time.time())
    db[VIRUS].insert_many([virus_event(f"n{a}", a, now) for a in AGENTS])
    passes = tree.log_text().count(WRITE_PASS_START)
    resume_in_next_second(d, now)
    d.wait_log(WRITE_PASS_START, count=passes + 1, timeout=60)
    # The event totals are logged once the read and the aggregations are done.
    d.wait_log(f"query domain_log about agent {AGENTS[-1]} count is", timeout=60)
    time.sleep(0.5)
    return d


def steady_state_goes_on(db, d):
    """New events of some agents after the recovery reach agent_level as usual; then an
    orderly stop."""
    pause_between_cycles(d)
    now = int(time.time())
    db[VIRUS].insert_many([virus_event(f"m{a}", a, now) for a in AGENTS[::7]])
    resume_in_next_second(d, now)
    wait_for_levels(db, d, expected_levels(db))
    assert d.stop() == 0


def test_database_killed_during_a_write_pass_loses_and_doubles_nothing(tree, daemon,
                                                                       private_server):
    tree.set_url(private_server.url)
    client = private_server.client()
    db = client[DB_NAME]
    d = start_steady(tree, db, daemon)
    written = db.agent_level.count_documents({"risk_high": 2})
    private_server.kill()
    killed_at = tree.log_text().count(CYCLE_END)
    # korveld keeps running its cycles against a server that is not there.
    d.wait_log(CYCLE_END, count=killed_at + 2, timeout=90)
    assert d.proc.poll() is None
    private_server.start()
    client = private_server.client()
    db = client[DB_NAME]
    print(f"{written} of {len(AGENTS)} agents written when the server was killed")
    wait_for_levels(db, d, expected_levels(db))

    steady_state_goes_on(db, d)
    client.close()


def test_korveld_killed_during_a_write_pass_rebuilds_on_its_restart(tree, db, daemon):
    d = start_steady(tree, db, daemon)
    d.kill()  # SIGKILL
    d = daemon(tree)
    d.wait_log(REBUILT, count=2, timeout=60)
    wait_for_levels(db, d, expected_levels(db), timeout=30)
    steady_state_goes_on(db, d)
