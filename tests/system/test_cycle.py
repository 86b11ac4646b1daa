"""The update-work cycle seen from outside: the timing lines it writes, and the spacing of
cycles after the interval is reloaded."""

import re
import signal
import time

import pytest

TIMING = re.compile(r">>>>>>(.*) table: \[(.*)\] millisecond is : (\d+)$")
CYCLE_START = ">>>>>>>>>>>>>> start update_work and start update"
CYCLE_FINISH = ">>>>>>>>>>>>>> [finish] update"
PASS_ORDER = ["virus_file_log", "anti_bfa_log", "webshell_log", "domain_log",
              "nofile_attack_log", "leak_info_log", "incident_msg"]
# (label, collection) of every timing line of a cycle whose seven passes all succeed.
ONE_CYCLE = ([(CYCLE_START, "anti_bfa_origin_log"), ("finish update", "anti_bfa_origin_log")]
             + [(label, name) for name in PASS_ORDER
                for label in ("start one compare", "finish one compare")]
             + [("start update", "agent_level"), (CYCLE_FINISH, "agent_level")])


def timing_lines(log):
    """[(position in the log, label, collection, milliseconds)] of every timing line."""
    found = []
    offset = 0
    for line in log.splitlines(keepends=True):
        m = TIMING.search(line.rstrip("\n"))
        if m:
            found.append((offset, m.group(1), m.group(2), int(m.group(3))))
        offset += len(line)
    return found


def wait_until(check, timeout, what):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def raw_report(src, at):
    """A raw brute-force report of agent 7 against ssh from `src` at second `at`."""
    return {"agent_id": "7", "serv_type": "ssh", "att_src": src, "time": at, "found_time": at,
            "att_times": 3, "state": 0, "user": "root"}


def test_steady_cycle_writes_eighteen_timing_lines_in_order(tree, daemon):
    tree.set_log_level(3)
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(3)
    assert d.stop() == 0

    lines = timing_lines(tree.log_text())
    starts = [i for i, line in enumerate(lines) if line[1] == CYCLE_START]
    assert len(starts) >= 3
    # The first cycle also rebuilds agent_level (empty tables: no cycles to wait), which
    # adds its own two lines before the cycle's last one.
    rebuild = ONE_CYCLE[:-1] + [("first insert start", "agent_level"),
                                ("first insert finish", "agent_level"), ONE_CYCLE[-1]]
    # A stop is served between two cycles, so every cycle in the log is whole.
    for n, (begin, end) in enumerate(zip(starts, starts[1:] + [len(lines)])):
        cycle = lines[begin:end]
        assert [(label, name) for _, label, name, _ in cycle] == (rebuild if n == 0 else ONE_CYCLE)
        stamps = [ms for *_, ms in cycle]
        # Points in time on the wall clock, not durations.
        assert stamps == sorted(stamps)
        assert abs(stamps[0] / 1000 - time.time()) < 120


@pytest.mark.parametrize("show_time_use, level", [(0, 3), (1, 2)])
def test_no_timing_lines_when_switched_off_or_level_too_low(tree, db, daemon, show_time_use,
                                                             level):
    tree.write_config(update_interval=1, show_time_use=show_time_use)
    tree.set_log_level(level)
    now = int(time.time())
    db.anti_bfa_origin_log.insert_one(raw_report("10.0.0.1", now - 5))
    d = daemon(tree)
    # Without timing lines the merged records tell that cycles ran: the second report is
    # merged by a later cycle than the first, so at least one cycle ran to its end.
    wait_until(lambda: db.anti_bfa_log.count_documents({}) == 1, 30, "the first merge")
    db.anti_bfa_origin_log.insert_one(raw_report("10.0.0.2", int(time.time())))
    wait_until(lambda: db.anti_bfa_log.count_documents({}) == 2, 30, "the second merge")
    assert d.stop() == 0
    log = tree.log_text()
    assert "millisecond is :" not in log
    assert ("start korvel server..." in log) == (level >= 3)


def test_reloaded_interval_spaces_the_following_cycles(tree, daemon):
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(2)
    tree.write_config(update_interval=3, show_time_use=1)
    d.send(signal.SIGUSR1)
    d.wait_log("reload the update config")
    d.wait_cycles(3, timeout=40)
    assert d.stop() == 0

    log = tree.log_text()
    reload_at = log.index("reload the update config")
    lines = timing_lines(log)
    # The period runs from the end of one cycle to the start of the next. The cycle that
    # ends after the reload arms its successor with the new interval.
    gaps = {1000: [], 3000: []}
    for (pos, label, _, ended), (_, next_label, _, started) in zip(lines, lines[1:]):
        if label == CYCLE_FINISH:
            assert next_label == CYCLE_START
            gaps[3000 if pos > reload_at else 1000].append(started - ended)
    assert len(gaps[1000]) >= 1 and len(gaps[3000]) >= 2, gaps
    for interval, measured in gaps.items():
        for gap in measured:
            # A few ms of slack for rounding two clocks to whole ms; generous above.
            assert interval - 5 <= gap <= interval + 1000, gaps
