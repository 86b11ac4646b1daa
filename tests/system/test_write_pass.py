"""The steady write pass seen from outside: what one cycle of many changed agents costs in
commands on the server's own counters, and a stop signal served in the middle of a long
write pass."""

import os
import signal
import time

import rules
from conftest import CYCLE_END, data_commands_between, server_requests, stored_levels
from rules import LEAK, VIRUS

WRITE_PASS_START = ">>>>>>start update table: [agent_level]"
REBUILT = "update history date finsih"


def registry_of(agents):
    return {a: (1, 0) for a in agents}


def virus_event(_id, agent, when):
    return {"_id": _id, "agent_id": agent, "time": when, "found_time": when, "state": 0,
            "risk_level": 2, "virus_type": 1}


def leak_event(_id, agent, kb, when):
    return {"_id": _id, "agent_id": agent, "kb": kb, "update_time": when, "found_time": when,
            "state": 1, "risk_level": 4}


def pause_between_cycles(d):
    """Stops the daemon (SIGSTOP) between two cycles; returns how many cycles had ended."""
    while True:
        d.wait_cycles(1)
        os.kill(d.proc.pid, signal.SIGSTOP)
        log = d.tree.log_text()
        if log.rfind(">>>>>>>>>>>>>> start update_work") < log.rfind(CYCLE_END):
            return log.count(CYCLE_END)
        os.kill(d.proc.pid, signal.SIGCONT)  # caught mid-cycle: try after it


def resume_in_next_second(d, stamp):
    """Resumes the daemon in a later second than `stamp`, so that its next passes read what
    was stamped with it."""
    time.sleep(max(0.0, stamp + 1.05 - time.time()))
    os.kill(d.proc.pid, signal.SIGCONT)


def test_a_cycle_of_360_changed_agents_costs_a_few_commands(tree, db, daemon):
    agents = [str(5000 + i) for i in range(360)]
    tree.registry(registry_of(agents))
    # One cycle every 2 s: nothing else runs between the two counter readings.
    tree.write_config(update_interval=2000, show_time_use=1)
    base = int(time.time()) - 100_000
    history = [virus_event(f"h{a}", a, base + i) for i, a in enumerate(agents)]
    db[VIRUS].insert_many(history)
    started = int(time.time())
    d = daemon(tree)
    d.wait_log(REBUILT)

    ended = pause_between_cycles(d)
    now = int(time.time())
    added = [virus_event(f"n{a}", a, now) for a in agents]
    db[VIRUS].insert_many(added)
    before = server_requests()
    resume_in_next_second(d, now)
    d.wait_log(CYCLE_END, count=ended + 1)
    commands = data_commands_between(before, server_requests())
    os.kill(d.proc.pid, signal.SIGSTOP)
    total = sum(commands.values())
    print(f"one cycle of 360 changed agents: {total} data commands {commands}")
    # The merge, the pending test, seven passes and the write pass together.
    assert total <= 0.2 * len(agents), commands
    assert commands.get("aggregate", 0) == 6
    # 360 updates, at most 50 to a command (the daemon's first one is a small probe).
    assert 8 <= commands.get("update", 0) <= 9

    model = rules.Summaries(registry_of(agents))
    model.read({VIRUS: history}, now)
    model.rebuild()
    model.read({VIRUS: added}, now + 1)
    expected = model.flush(lambda a: rules.six_counts(db, a))
    assert stored_levels(db, since=started) == expected
    os.kill(d.proc.pid, signal.SIGCONT)
    assert d.stop() == 0


def test_stop_signal_is_served_in_the_middle_of_a_long_write_pass(tree, db, daemon):
    """10,000 agents with documents change in one cycle: on this server that write pass
    takes minutes (every update scans the collection). SIGTERM in its middle ends it
    between two commands; the daemon stops in an orderly way within 5 s."""
    n = 10_000
    agents = [str(100_000 + i) for i in range(n)]
    tree.registry(registry_of(agents))
    tree.write_config(update_interval=2000, show_time_use=1)
    # Leak events only: they change the summaries but none of the event-total tables, so
    # the pass's aggregations are quick and its time goes to the updates.
    base = int(time.time()) - 100_000
    db[LEAK].insert_many([leak_event(f"h{a}", a, "KB1", base + i) for i, a in enumerate(agents)])
    d = daemon(tree)
    d.wait_log(REBUILT, timeout=120)
    assert db.agent_level.count_documents({"leak_high": 1}) == n

    pause_between_cycles(d)
    now = int(time.time())
    db[LEAK].insert_many([leak_event(f"n{a}", a, "KB2", now) for a in agents])
    passes_seen = d.tree.log_text().count(WRITE_PASS_START)
    resume_in_next_second(d, now)
    d.wait_log(WRITE_PASS_START, timeout=120, count=passes_seen + 1)
    pass_started = time.monotonic()
    # Into the updates: the event totals are logged once the read and the aggregations
    # are done, just before the writes begin.
    d.wait_log(f"query domain_log about agent {agents[0]} count is", timeout=120)
    writes_started = time.monotonic()
    time.sleep(1)
    d.send(signal.SIGTERM)
    signalled = time.monotonic()
    status = d.wait_exit(timeout=120)
    served = time.monotonic() - signalled
    written = db.agent_level.count_documents({"leak_high": 2})
    print(f"write pass of {n} agents: read and event totals {writes_started - pass_started:.1f} s,"
          f" SIGTERM {signalled - writes_started:.1f} s into the writes, served in {served:.2f} s;"
          f" {written} agents written")
    assert status == 0
    assert served < 5
    # It did end early: most agents were still to be written.
    assert written < n / 2
    log = tree.log_text()
    assert "update agent_level" not in log.split(WRITE_PASS_START)[-1]  # no failure named
