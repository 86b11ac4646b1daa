"""The Debian package, built by CPack from the build tree: its files, control fields,
conffiles and maintainer scripts as dpkg-deb shows them; the service unit as systemd reads it
and as it fits the tree; the tmpfiles entry applied to the extracted tree; and the packaged
tree running under the unit's file-system confinement (read-only except its writable paths)."""

import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from conftest import BUILD, Daemon, Tree, mongo_url

PREFIX = "/opt/korveld"
UNIT = "lib/systemd/system/korveld.service"
TMPFILES = "usr/lib/tmpfiles.d/korveld.conf"
DOC = "usr/share/doc/korveld/README.md"
REBUILT = "update history date finsih"

# Every path of the package: type ("d" folder, "-" file) and mode. All belong to root.
CONTENTS = {
    "lib": ("d", 0o755), "lib/systemd": ("d", 0o755), "lib/systemd/system": ("d", 0o755),
    UNIT: ("-", 0o644),
    "opt": ("d", 0o755), "opt/korveld": ("d", 0o755), "opt/korveld/bin": ("d", 0o755),
    "opt/korveld/bin/korveld": ("-", 0o755), "opt/korveld/bin/korvel-secret": ("-", 0o755),
    "opt/korveld/bin/korvel-registry": ("-", 0o755),
    "opt/korveld/config": ("d", 0o755),
    "opt/korveld/config/korvel.ini": ("-", 0o644),
    "opt/korveld/config/korvel.ini.sample": ("-", 0o644),
    "opt/korveld/config/autolog.ini": ("-", 0o644),
    "opt/korveld/config/autolog.ini.sample": ("-", 0o644),
    "opt/korveld/data": ("d", 0o755), "opt/korveld/var": ("d", 0o755),
    "opt/korveld/var/log": ("d", 0o755), "opt/korveld/var/log/korvel": ("d", 0o755),
    "opt/korveld/var/lib": ("d", 0o755), "opt/korveld/var/lib/korvel": ("d", 0o755),
    "usr": ("d", 0o755), "usr/lib": ("d", 0o755), "usr/lib/tmpfiles.d": ("d", 0o755),
    TMPFILES: ("-", 0o644),
    "usr/share": ("d", 0o755), "usr/share/doc": ("d", 0o755),
    "usr/share/doc/korveld": ("d", 0o755), DOC: ("-", 0o644),
}


def run(*cmd, **kw):
    return subprocess.run([str(c) for c in cmd], check=True, capture_output=True, text=True,
                          timeout=120, **kw)


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    """The package built from the build tree (which the test command has built), extracted:
    `root` holds its files, `control` its control files."""
    out = tmp_path_factory.mktemp("package")
    built = subprocess.run(["cpack", "--config", str(BUILD / "CPackConfig.cmake"), "-G", "DEB",
                            "-B", str(out)], cwd=BUILD, capture_output=True, text=True,
                           timeout=120)
    assert built.returncode == 0, built.stdout + built.stderr
    debs = list(out.glob("korveld_*.deb"))
    assert len(debs) == 1, built.stdout
    pkg = SimpleNamespace(deb=debs[0], root=out / "root", control=out / "control")
    run("dpkg-deb", "-x", pkg.deb, pkg.root)
    run("dpkg-deb", "-e", pkg.deb, pkg.control)
    return pkg


def unit_entries(path):
    """The unit's settings as {key: [values]} (a key may repeat), sections ignored."""
    entries = {}
    for line in Path(path).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith(("#", ";", "[")):
            continue
        key, _, value = line.partition("=")
        entries.setdefault(key.strip(), []).append(value.strip())
    return entries


def tmpfiles_entries(path):
    """The tmpfiles lines as {path: (type, mode, user, group)}."""
    entries = {}
    for line in Path(path).read_text().splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            kind, where, mode, user, group, _age = line.split()
            entries[where] = (kind, int(mode, 8), user, group)
    return entries


def writable_paths(unit):
    return [p.lstrip("-") for v in unit_entries(unit)["ReadWritePaths"] for p in v.split()]


def test_package_holds_the_tree_the_unit_and_nothing_else(package):
    listing = run("dpkg-deb", "-c", package.deb).stdout.splitlines()
    found = {}
    for line in listing:
        mode, owner, _size, _day, _time, name = line.split(None, 5)
        name = name.removeprefix("./").rstrip("/")
        assert owner == "root/root", line
        perm = sum(0o400 >> i if c != "-" else 0 for i, c in enumerate(mode[1:10]))
        found[name] = (mode[0], perm)
    found.pop("", None)  # the archive's own top folder
    assert found == CONTENTS
    # The configuration files start as the samples.
    config = package.root / "opt/korveld/config"
    for name in ("korvel.ini", "autolog.ini"):
        assert (config / name).read_text() == (config / f"{name}.sample").read_text()


def test_control_fields(package):
    fields = run("dpkg-deb", "-f", package.deb).stdout
    field = dict(re.findall(r"^(\S+): (.*)$", fields, re.M))
    arch = run("dpkg", "--print-architecture").stdout.strip()
    assert field["Package"] == "korveld"
    assert re.fullmatch(r"\d+(\.\d+)*-\d+", field["Version"]), field["Version"]
    assert field["Architecture"] == arch
    assert field["Section"] == "admin" and field["Priority"] == "optional"
    assert re.fullmatch(r".+ <\S+@\S+>", field["Maintainer"])
    assert int(field["Installed-Size"]) > 0
    depends = [d.strip() for d in field["Depends"].split(",")]
    names = {re.split(r"[ (]", d)[0] for d in depends}
    # The maintainer scripts' tools, and the libraries the daemon is linked with.
    assert {"adduser", "libc6", "libmongoc-1.0-0", "libbson-1.0-0", "libuv1", "libsodium23",
            "libsqlite3-0", "libiniparser1", "libtcmalloc-minimal4", "libssl3"} <= names
    assert "systemd | systemd-tmpfiles" in depends
    # A summary line, then a long description of wrapped lines.
    description = fields.split("Description: ", 1)[1].split("\n")
    assert description[0] and description[1].startswith(" korveld")
    long_lines = [l for l in description[1:] if l.startswith(" ")]
    assert long_lines and all(len(l) <= 80 for l in long_lines)


def test_conffiles_and_maintainer_scripts(package):
    conffiles = (package.control / "conffiles").read_text().split()
    assert conffiles == [f"{PREFIX}/config/korvel.ini", f"{PREFIX}/config/autolog.ini"]
    for path in conffiles:
        assert (package.root / path.lstrip("/")).is_file(), path
    for name in ("postinst", "prerm", "postrm"):
        script = package.control / name
        assert script.stat().st_mode & 0o777 == 0o755, name
        assert script.read_text().startswith("#!/bin/sh\n")
        run("sh", "-n", script)
    assert not (package.control / "preinst").exists()
    # The user the scripts create is the one the unit runs as and the tmpfiles entry names.
    user = unit_entries(package.root / UNIT)["User"][0]
    postinst = (package.control / "postinst").read_text()
    assert re.search(rf"^\s*adduser --system --group .* {user}$", postinst, re.M)
    assert re.search(r"^\s*systemd-tmpfiles .*--create korveld\.conf", postinst, re.M)
    owners = {(u, g) for _k, _m, u, g in tmpfiles_entries(package.root / TMPFILES).values()}
    assert owners == {(user, user)}


def test_unit_fits_the_tree(package):
    unit = unit_entries(package.root / UNIT)
    single = {k: v[-1] for k, v in unit.items()}
    assert single["ExecStart"] == f"{PREFIX}/bin/korveld"
    assert (package.root / single["ExecStart"].lstrip("/")).is_file()
    assert single["User"] == single["Group"] == "korveld"
    assert single["ExecReload"] == "/bin/kill -USR1 $MAINPID"
    assert single["KillSignal"] == "SIGTERM"
    assert single["Restart"] in ("on-failure", "always")
    for key in ("NoNewPrivileges", "PrivateTmp", "ProtectHome", "PrivateDevices"):
        assert single[key] == "yes", key
    assert single["ProtectSystem"] == "strict"
    assert single["WantedBy"] == "multi-user.target"

    # A writable path that does not exist keeps the service from starting: each is a folder
    # of the package or made by the tmpfiles entry that runs before the start.
    made = tmpfiles_entries(package.root / TMPFILES)
    assert single["ExecStartPre"] == "+systemd-tmpfiles --create korveld.conf"
    for path in writable_paths(package.root / UNIT):
        assert path.startswith(PREFIX + "/"), path
        shipped = CONTENTS.get(path.lstrip("/"), ("", 0))[0] == "d"
        assert shipped or path in made, path
    # What korveld writes in the tree is writable: its log, the state folder, the lock and
    # the merge progress.
    assert set(writable_paths(package.root / UNIT)) == {
        f"{PREFIX}/var/log/korvel", f"{PREFIX}/var/lib/korvel", f"{PREFIX}/bin/.korveld.pid",
        f"{PREFIX}/config/korvel_last_time.ini"}


def in_private_mounts(*cmd):
    """The command run in a mount namespace of its own (as root, or as root of a user
    namespace); None when this machine allows neither."""
    for flags in (["--mount"], ["--map-root-user", "--mount"]):
        probe = subprocess.run(["unshare", *flags, "true"], capture_output=True)
        if probe.returncode == 0:
            return ["unshare", *flags, *cmd]
    return None


def test_systemd_analyze_verifies_the_unit(package):
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed (Debian package systemd)")
    # verify checks that ExecStart exists: the extracted tree stands at /opt/korveld, in a
    # mount namespace of the test's own (nothing changes in the machine's /opt).
    script = ('set -e; mount -t tmpfs tmpfs /opt; mkdir /opt/korveld; '
              'mount --bind "$1" /opt/korveld; exec systemd-analyze verify "$2"')
    cmd = in_private_mounts("sh", "-c", script, "sh", package.root / "opt/korveld",
                            package.root / UNIT)
    if cmd is None:
        pytest.skip("no mount namespace here (unshare refused): /opt/korveld cannot be shown")
    checked = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=60)
    assert checked.returncode == 0 and checked.stdout + checked.stderr == "", \
        checked.stdout + checked.stderr


@pytest.mark.skipif(os.geteuid() != 0, reason="giving files to the service user needs root")
def test_tmpfiles_entry_gives_the_service_user_its_part_of_the_tree(package, tmp_path):
    if shutil.which("systemd-tmpfiles") is None:
        pytest.skip("systemd-tmpfiles is not installed (Debian package systemd)")
    root = tmp_path / "root"
    shutil.copytree(package.root, root, symlinks=True)
    uid = 64990
    (root / "etc").mkdir()
    (root / "etc/passwd").write_text(f"root:x:0:0::/root:/bin/sh\n"
                                     f"korveld:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin\n")
    (root / "etc/group").write_text(f"root:x:0:\nkorveld:x:{uid}:\n")
    tree = root / "opt/korveld"

    def apply():
        run("systemd-tmpfiles", f"--root={root}", "--create", "korveld.conf")

    apply()
    entries = tmpfiles_entries(root / TMPFILES)
    for path, (kind, mode, _user, _group) in entries.items():
        st = (root / path.lstrip("/")).lstat()
        assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (uid, uid, mode), path
        assert (kind == "d") == os.path.isdir(root / path.lstrip("/")), path
    assert (tree / "config/korvel_last_time.ini").read_text() == ""
    # The package's own files stay root's.
    for name in ("bin/korveld", "config/korvel.ini", "bin"):
        assert (tree / name).stat().st_uid == 0, name

    # Applied again before a start: the progress is kept, a wrong owner or mode is mended.
    (tree / "config/korvel_last_time.ini").write_text("[anti_bfa]\nlast_update_time = 5\n")
    os.chown(tree / "bin/.korveld.pid", 0, 0)
    os.chmod(tree / "var/log/korvel", 0o777)
    apply()
    assert (tree / "config/korvel_last_time.ini").read_text().endswith("= 5\n")
    assert (tree / "bin/.korveld.pid").stat().st_uid == uid
    assert (tree / "var/log/korvel").stat().st_mode & 0o7777 == 0o750


# Mounts the tree read-only except the unit's writable paths, as the service sees it, then
# runs korveld: $1 the tree, the other arguments the writable paths inside it.
CONFINE = """set -e
tree=$1; shift
mount --bind "$tree" "$tree"
for p in "$@"; do mount --bind "$p" "$p"; done
mount -o remount,bind,ro "$tree"
if touch "$tree/config/probe" 2>/dev/null; then echo "tree is writable" >&2; exit 3; fi
exec "$tree/bin/korveld"
"""


class ConfinedDaemon(Daemon):
    """korveld from a tree that is read-only but for the given paths (a child of the test)."""

    def __init__(self, tree, writable):
        cmd = in_private_mounts("sh", "-c", CONFINE, "sh", tree.prefix, *writable)
        if cmd is None:
            pytest.skip("no mount namespace here (unshare refused): cannot confine the tree")
        self.tree = tree
        self._stderr = None
        self.proc = subprocess.Popen([str(c) for c in cmd], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd="/")


@pytest.fixture
def confined(package, tmp_path, db):
    """The packaged tree, made as postinst leaves it (the two files the service writes in
    read-only folders exist, empty), pointed at the test server, and a starter for korveld
    confined to the unit's writable paths."""
    prefix = tmp_path / "korveld"
    shutil.copytree(package.root / "opt/korveld", prefix, symlinks=True)
    tree = Tree(prefix)
    for path, (kind, _mode, _user, _group) in tmpfiles_entries(package.root / TMPFILES).items():
        if kind == "f":
            (prefix / os.path.relpath(path, PREFIX)).touch()
    tree.set_url(mongo_url())
    tree.set_log_level(4)
    tree.write_config(update_interval=1, show_time_use=1)
    writable = [prefix / os.path.relpath(p, PREFIX) for p in writable_paths(package.root / UNIT)]
    started = []

    def start():
        d = ConfinedDaemon(tree, writable)
        started.append(d)
        return d

    yield SimpleNamespace(tree=tree, start=start)
    for d in started:
        d.kill()


def serious_lines(log):
    """Log lines of levels 0 to 2."""
    return [l for l in log.splitlines() if re.search(r" \[[012]\] ", l)]


def test_packaged_daemon_runs_within_the_writable_paths(confined, db):
    tree = confined.tree
    tree.registry({"42": (1, 0)})
    now = int(time.time())
    db.virus_file_log.insert_one({"_id": "v1", "agent_id": "42", "time": now - 100,
                                  "found_time": now - 200, "state": 0, "risk_level": 2,
                                  "virus_type": 1})
    d = confined.start()
    d.wait_started()
    d.wait_log(REBUILT)
    assert [doc["_id"] for doc in db.agent_level.find()] == ["42"]
    d.wait_cycles(2)
    d.send(signal.SIGUSR1)
    d.wait_log("reload the update config")
    d.wait_cycles(1)
    assert serious_lines(tree.log_text()) == []
    assert d.stop() == 0, d.stderr()
    assert (tree.bin / ".korveld.pid").stat().st_size == 0


def test_packaged_daemon_saves_merge_progress_at_stop(confined, db):
    # Long enough between cycles that the stop comes before an idle cycle moves the
    # progress on by a second.
    confined.tree.write_config(update_interval=3, show_time_use=1)
    confined.tree.registry({"7": (1, 0)})
    stamp = int(time.time()) - 1000
    report = {"agent_id": "7", "serv_type": "ssh", "att_src": "10.0.0.1", "time": stamp,
              "found_time": stamp, "att_times": 3, "state": 0, "user": "root"}
    db.anti_bfa_origin_log.insert_one(report)
    d = confined.start()
    d.wait_started()
    d.wait_cycles(1)
    assert d.stop() == 0, d.stderr()
    assert db.anti_bfa_log.count_documents({}) == 1
    assert "failed when exit" not in confined.tree.log_text()
    assert confined.tree.progress() == (stamp, str(report["_id"]))
