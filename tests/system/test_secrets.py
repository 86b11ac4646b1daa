"""The database password never shows: not in the log at its most verbose, not on standard
error or output, not in the process's command line or environment; whether the URL is
refused at start, fails against a server that is not there, or works."""

import time
import urllib.parse

import pytest

from conftest import mongo_url

# Every character that a URL's password must escape, and pieces of it that would give a
# part of it away (no log line holds them by chance).
PASSWORD = "Qx7:Zk9@Wv3%Jm5/Hy8"
ESCAPED = urllib.parse.quote(PASSWORD, safe="")
PIECES = ("Qx7", "Zk9", "Wv3", "Jm5", "Hy8")
REFUSED = "the database URL can be read in more than one way"


def url_with(password, hostport, extra=""):
    # FerretDB takes any credentials through PLAIN.
    return f"mongodb://korvel:{password}@{hostport}/?authMechanism=PLAIN{extra}"


def server_hostport():
    return urllib.parse.urlsplit(mongo_url()).netloc


def process_texts(pid):
    """What others can see of a live process: its command line and environment."""
    texts = []
    for name in ("cmdline", "environ"):
        try:
            with open(f"/proc/{pid}/{name}", "rb") as f:
                texts.append(f.read().decode(errors="replace"))
        except OSError:
            pass  # already gone
    return texts


def assert_hidden(*texts):
    for text in texts:
        for piece in PIECES:
            assert piece not in text, f"{piece!r} of the password shows in:\n{text[-3000:]}"


@pytest.mark.parametrize("url, expected", [
    # Unescaped: the driver could split it in more than one place (a ':' made it print the
    # password on standard error, an '@' put the rest into the host name it resolved).
    (lambda: url_with(PASSWORD, server_hostport()), [REFUSED, "fail to init db"]),
    (lambda: url_with("Qx7:Zk9Wv3", server_hostport()), [REFUSED, "fail to init db"]),
    (lambda: url_with("Qx7Zk9@Wv3Jm5", server_hostport()), [REFUSED, "fail to init db"]),
    # Escaped, but nobody listens: the driver's errors name only the host.
    (lambda: url_with(ESCAPED, "127.0.0.1:1", "&serverSelectionTimeoutMS=300"
                      "&connectTimeoutMS=300"), ["127.0.0.1:1"]),
], ids=["unescaped", "unescaped-colon", "unescaped-at", "escaped-unreachable"])
def test_a_url_that_fails_at_start_shows_no_password(tree, daemon, url, expected):
    tree.set_url(url())
    d = daemon(tree)
    seen = []
    while d.proc.poll() is None:
        seen += process_texts(d.proc.pid)
        time.sleep(0.001)
    assert d.wait_exit() == 255
    log = tree.log_text()
    assert_hidden(log, d.stderr(), d.proc.stdout.read(), *seen)
    for text in expected + ["korveld_init failed"]:
        assert text in log


def test_an_escaped_password_works_and_shows_nowhere(tree, daemon):
    tree.set_url(url_with(ESCAPED, server_hostport()))
    d = daemon(tree)
    d.wait_started()
    d.wait_cycles(2)
    seen = process_texts(d.proc.pid)
    assert len(seen) == 2 and "korveld" in seen[0]
    assert d.stop() == 0
    log = tree.log_text()
    assert_hidden(log, d.stderr(), d.proc.stdout.read(), *seen)
    assert REFUSED not in log
    assert d.stderr() == ""  # whatever the driver said went to the log
