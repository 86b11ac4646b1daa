"""The metrics file an operator's node_exporter reads: it parses with the Prometheus client's
own text parser, carries every table's lag, and its figures move as events come in."""

import re
import time

from prometheus_client.parser import text_string_to_metric_families

PASS_ORDER = ["virus_file_log", "anti_bfa_log", "webshell_log", "domain_log",
              "nofile_attack_log", "leak_info_log", "incident_msg"]


def read_metrics(path):
    """{(sample name, frozenset of labels): value}, or None while there is no file."""
    try:
        text = path.read_text()
    except FileNotFoundError:
        return None
    samples = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            samples[(s.name, frozenset(s.labels.items()))] = s.value
    return samples


def table(name, metric, samples):
    return samples[(metric, frozenset({("table", name)}))]


def wait_metrics(path, check, timeout=30):
    """The figures once `check(samples)` holds."""
    deadline = time.monotonic() + timeout
    while True:
        samples = read_metrics(path)
        if samples is not None and check(samples):
            return samples
        assert time.monotonic() < deadline, f"metrics never got there: {samples}"
        time.sleep(0.1)


def cycles(samples):
    return samples[("korveld_cycles_total", frozenset())]


def virus(_id, at):
    return {"_id": _id, "agent_id": "1", "time": at, "found_time": at, "state": 0,
            "risk_level": 2, "virus_type": 1}


def test_figures_follow_the_tables_and_the_rebuild(tree, db, daemon):
    path = tree.prefix / "var" / "lib" / "korvel" / "korveld.prom"
    tree.registry({"1": (1, 0)})
    # Two documents per pass, so the virus table is behind for a few cycles.
    tree.write_config(update_interval=1, show_time_use=1, update_agent_level_query_count=2)
    old = int(time.time()) - 3600
    db.virus_file_log.insert_many([virus(f"v{i}", old + i) for i in range(6)])

    d = daemon(tree)
    d.wait_started()
    first = wait_metrics(path, lambda s: cycles(s) >= 1)
    for name in PASS_ORDER:
        assert table(name, "korveld_table_lag_seconds", first) >= 0
    # Read 2 of 6, an hour old: about an hour behind, and the rebuild still waits.
    assert table("virus_file_log", "korveld_table_last_cycle_documents", first) == 2
    assert table("virus_file_log", "korveld_table_lag_seconds", first) > 3000
    assert table("virus_file_log", "korveld_table_progress_timestamp_seconds", first) == old + 1
    assert first[("korveld_rebuild_done", frozenset())] == 0
    assert first[("korveld_rebuild_wait_cycles", frozenset())] >= 1
    assert first[("korveld_resident_memory_bytes", frozenset())] > 1 << 20
    assert abs(first[("korveld_start_time_seconds", frozenset())] - time.time()) < 120

    caught_up = wait_metrics(path, lambda s: s[("korveld_rebuild_done", frozenset())] == 1)
    # The operator's view of the wait in the log, once per waiting cycle, then the rebuild.
    log = tree.log_text()
    for read, left in ((2, 2), (4, 1), (6, 0)):
        assert (f"agent_level rebuild waits: {read} of 6 documents of virus_file_log read; "
                f"cycles to wait: {left}") in log
    assert log.count("agent_level rebuild waits: ") == 3
    assert re.search(r"agent_level rebuilt [\d.]+ s after start-up: 1 agent documents written "
                     r"in [\d.]+ s", log)
    assert table("virus_file_log", "korveld_table_documents_read_total", caught_up) == 6
    assert table("virus_file_log", "korveld_table_lag_seconds", caught_up) < 30
    assert caught_up[("korveld_pending_buffer_entries", frozenset())] == 6
    for phase in ("merge", "passes", "write_pass"):
        assert caught_up[("korveld_last_cycle_phase_duration_seconds",
                          frozenset({("phase", phase)}))] >= 0

    # New events: read once, and the table is current again. Raw brute-force reports are
    # merged and counted.
    now = int(time.time())
    db.virus_file_log.insert_many([virus(f"w{i}", now - 2) for i in range(3)])
    db.anti_bfa_origin_log.insert_many([
        {"agent_id": "1", "serv_type": "ssh", "att_src": f"10.0.0.{i}", "time": now - 2,
         "found_time": now - 2, "att_times": 3, "user": "root"} for i in range(4)])
    later = wait_metrics(
        path, lambda s: table("virus_file_log", "korveld_table_documents_read_total", s) == 9)
    assert table("virus_file_log", "korveld_table_lag_seconds", later) < 30
    assert table("virus_file_log", "korveld_table_progress_timestamp_seconds", later) == now - 2
    assert cycles(later) > cycles(caught_up)
    merged = wait_metrics(path, lambda s: s[("korveld_merge_reports_total", frozenset())] == 4)
    assert merged[("korveld_merge_lag_seconds", frozenset())] < 30
    assert later[("korveld_cycles_failed_total", frozenset())] == 0
    assert d.stop() == 0


def test_empty_textfile_setting_writes_no_file(tree, daemon):
    tree.write_config(update_interval=1, show_time_use=1)
    with open(tree.config / "korvel.ini", "a") as f:
        f.write("[metrics]\ntextfile =\n")
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(2)
    assert d.stop() == 0
    assert not (tree.prefix / "var" / "lib" / "korvel" / "korveld.prom").exists()
    assert "metrics file" not in tree.log_text()
