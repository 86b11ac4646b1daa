"""The process frame: single instance, stop signals, parent death, reload, start-up
failures, and the clock-set-back stop."""

import os
import signal
import stat
import subprocess
import sys
import time

import pytest

from conftest import CYCLE_END, FAKETIME_LIB


def test_second_instance_is_refused_and_first_keeps_running(tree, daemon):
    first = daemon(tree)
    first.wait_started()
    lock = tree.bin / ".korveld.pid"
    mode = stat.S_IMODE(lock.stat().st_mode)
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o644 & ~umask
    assert lock.stat().st_size == 0

    began = time.monotonic()
    second = subprocess.run([str(tree.bin / "korveld")], capture_output=True, text=True,
                            timeout=30)
    assert second.returncode == 1
    assert second.stderr == "Another korveld instance is running\n"
    assert time.monotonic() - began >= 2.9

    first.wait_cycles(1)
    assert first.proc.poll() is None
    assert first.stop() == 0
    assert lock.stat().st_size == 0


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_signals_end_with_status_zero_and_save_progress(tree, daemon, sig):
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    assert d.stop(sig) == 0
    assert tree.progress() == (0, "")  # nothing merged yet: the empty progress


def test_parent_death_stops_the_daemon(tree):
    # An intermediate parent starts korveld and is then killed: the kernel sends SIGTERM.
    parent = subprocess.Popen(
        [sys.executable, "-c",
         "import subprocess,sys,time; p=subprocess.Popen([sys.argv[1]]); print(p.pid, flush=True); time.sleep(600)",
         str(tree.bin / "korveld")], stdout=subprocess.PIPE, text=True)
    pid = int(parent.stdout.readline())
    try:
        deadline = time.monotonic() + 30
        while "start korvel server..." not in tree.log_text():
            assert time.monotonic() < deadline, tree.log_text()
            time.sleep(0.05)
        parent.kill()
        parent.wait()
        deadline = time.monotonic() + 30
        while os.path.exists(f"/proc/{pid}") and not _is_zombie(pid):
            assert time.monotonic() < deadline, "korveld outlived its parent"
            time.sleep(0.05)
        # The orderly stop wrote the progress file.
        assert tree.progress_file.exists()
    finally:
        if parent.poll() is None:
            parent.kill()
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_reload_signals_between_two_turns_reload_once(tree, daemon):
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(1)
    # The new file stops the timing lines: proof that the settings changed.
    tree.write_config(update_interval=1, show_time_use=0)
    os.kill(d.proc.pid, signal.SIGSTOP)
    for _ in range(3):
        d.send(signal.SIGUSR1)
    os.kill(d.proc.pid, signal.SIGCONT)
    d.wait_log("reload the update config")
    time.sleep(2.5)
    log = tree.log_text()
    assert log.count("reload the update config") == 1
    ends_at_reload = log.count(CYCLE_END)
    # The anti_bfa_log pass moves its key to the merge's time in every cycle.
    cycles_before = log.count("save last key: anti_bfa_log")
    time.sleep(2.5)
    log = tree.log_text()
    assert log.count("save last key: anti_bfa_log") > cycles_before  # still cycling
    assert log.count(CYCLE_END) == ends_at_reload  # but without timing lines
    assert d.stop() == 0


def test_unusable_url_fails_start_up_with_255(tree, daemon):
    tree.set_url("this is not a url")
    d = daemon(tree)
    assert d.wait_exit() == 255
    log = tree.log_text()
    for text in ("mongodb failed to parse url, try later...", "fail to init db",
                 "korveld_init failed"):
        assert text in log
    assert log.index("fail to init db") < log.index("korveld_init failed")


def test_missing_url_fails_start_up(tree, daemon):
    # No protected value: the connection's URL is empty and connecting fails.
    (tree.config / "korvel_protected.ini").unlink()
    d = daemon(tree)
    assert d.wait_exit() == 255
    assert "get decrypt failed, ret is" in d.stderr()
    assert "mongodb failed to parse url, try later..." in tree.log_text()


def test_clock_set_back_stops_and_moves_merge_progress_back(tree, db, daemon, tmp_path):
    # The daemon's wall clock comes from a file that the test rewrites; the monotonic
    # clock (timers) stays real.
    stamp = tmp_path / "faketime"
    stamp.write_text("+0\n")
    env = dict(os.environ, LD_PRELOAD=FAKETIME_LIB, FAKETIME_TIMESTAMP_FILE=str(stamp),
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
    proc = subprocess.Popen([str(tree.bin / "korveld")], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while tree.log_text().count(CYCLE_END) < 2:
            assert proc.poll() is None and time.monotonic() < deadline, tree.log_text()
            time.sleep(0.05)
        stamp.write_text("-1d\n")
        assert proc.wait(timeout=30) == 0
        log = tree.log_text()
        assert "time change,g_last_time,cur_time is " in log
        line = [l for l in log.splitlines() if "time change,g_last_time,cur_time is" in l][0]
        last, cur = [int(x) for x in line.split("cur_time is ")[1].strip().split(",")]
        assert cur < last
        # The interval's millisecond count (1000) is taken off the seconds value.
        assert tree.progress()[0] == cur - 1000
        # No cycle ran after the stop was requested.
        assert log.rindex(CYCLE_END) < log.index("time change,g_last_time")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
