# SPDX-License-Identifier: MIT
"""The console log: every byte the terminals are sent, with the session's marks, bounded and rotated, and a
log that fails costs the session nothing."""
import grp
import os
import re
import signal
import stat
import subprocess
import termios

import pytest

from conftest import Terminal, pump, relayed_line
from test_session import KMSG_LINE, copy_on_request, pattern

WITH_SERIAL = {"telnet": "23", "serial_with_telnet": "1"}
MARK = re.compile(rb"(?:\r\n)?\[ttyweave \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] ([^\r\n]*)\r\n")


def unmarked(log):
    """The log without its marks: the terminals' stream."""
    return MARK.sub(b"", log)


def test_the_log_holds_every_byte_while_terminals_lag_and_sigterm_writes_it(sandbox, kernel_log):
    data = pattern(30000)  # far more than the ring
    log = sandbox.path("console.log")
    daemon = sandbox.start(copy_on_request(sandbox, data), settings=dict(WITH_SERIAL, telnet_log_level="7"),
                           console={"log_file": log})
    termios.tcflow(sandbox.console.slave, termios.TCOOFF)  # the serial console takes nothing
    slow = Terminal(sandbox.socket_path)
    assert slow.wait_for(b"ready\n"), daemon.stderr()
    marker = f"ttyweave-log-{os.getpid()}"
    kernel_log.write(6, marker)
    line = relayed_line(kernel_log.wait_for(marker))
    slow.write(b"go\n")
    expected = b"ready\n" + data  # with the line, and any other record of the machine, anywhere in it
    # (Another test's record may have arrived in part.)
    assert pump([slow], lambda: KMSG_LINE.sub(b"", slow.data).startswith(expected), size=1024, pause=0.002), daemon.stderr()
    assert line in slow.data
    os.kill(daemon.pid, signal.SIGTERM)
    assert daemon.wait() == 121
    with open(log, "rb") as file:
        written = file.read()
    assert unmarked(written).startswith(slow.data) and KMSG_LINE.sub(b"", unmarked(written)) == expected
    marks = MARK.findall(written)
    assert marks[0] == b"session started: " + " ".join(copy_on_request(sandbox, data)).encode()
    assert {b"Terminal 0 (serial console) arrived", b"Terminal 1 (network, uid 0, pid %d) arrived" % os.getpid()} <= set(marks)
    assert re.search(rb"[0-9a-f.]\r\n\[ttyweave [^]]+\] session ended: status 121\r\n\Z", written), "not on a line of its own"
    assert "Console log" not in daemon.stderr()


@pytest.mark.parametrize("log_size, limit", [("4096", 4096), ("100", 65536)])
def test_the_log_is_bounded_and_rotated_and_only_root_and_adm_read_it(sandbox, log_size, limit):
    """With nobody attached, far more output than the limit; an existing log, open to all, is appended to."""
    data = pattern(100000)
    log = sandbox.path("console.log")
    sandbox.write("console.log", "[ttyweave 2026-01-01T00:00:00Z] earlier session\r\n")
    os.chmod(log, 0o666)
    sandbox.write("data", data.decode())
    daemon = sandbox.start(["/bin/sh", "-c", 'cat "$0"', sandbox.path("data")], settings={"telnet": "23"},
                           console={"log_file": log, "log_size": log_size})
    assert daemon.wait() == 0, daemon.stderr()
    with open(log, "rb") as file, open(log + ".1", "rb") as older:
        newest, rotated = file.read(), older.read()
    assert len(newest) <= limit and len(rotated) <= limit
    assert newest.endswith(b"session ended: status 0\r\n") and data.endswith(unmarked(newest))
    # The older output is in .1, before the newest.
    older = unmarked(rotated)
    assert older and data.rindex(older) + len(older) <= len(data) - len(unmarked(newest))
    # Each begins with a mark: the log's own.
    assert MARK.match(newest)[1] == b"continues console.log.1"
    assert MARK.match(rotated)[1] == (b"earlier session" if limit == 65536 else b"continues console.log.1")
    assert ("ttyweave: Console log_size '100' is not from 4096 to 16777216: using 65536\n" in daemon.stderr()) == (
        limit == 65536)
    for path in log, log + ".1":
        info = os.stat(path)
        assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (0o640, 0, grp.getgrnam("adm").gr_gid)


@pytest.mark.parametrize("log, failure", [("/dev/full", "write: No space left on device (28)"),
                                          ("later/console.log", "open: No such file or directory (2)")])
def test_a_failing_log_costs_the_session_and_its_terminals_nothing_and_says_what_it_lost(sandbox, log, failure):
    """/dev/full fails to the end; a log whose folder is missing works once the folder is made."""
    data, path = pattern(50000), log if log.startswith("/") else sandbox.path(log)
    before = os.stat("/dev/full")
    daemon = sandbox.start(copy_on_request(sandbox, data, then="sleep 2; exit 5"), settings=WITH_SERIAL,
                           console={"log_file": path})
    network = Terminal(sandbox.socket_path)
    terminals = [network, sandbox.console]
    assert all(t.wait_for(b"ready\n") for t in terminals), daemon.stderr()
    network.write(b"go\n")
    assert pump(terminals, lambda: all(len(t.data) >= 6 + len(data) for t in terminals)), daemon.stderr()
    assert all(t.data == b"ready\n" + data for t in terminals) and "stalled" not in daemon.stderr()
    if log != "/dev/full":
        os.mkdir(sandbox.path("later"))
    assert daemon.wait() == 5
    assert daemon.stderr().count(f"ttyweave: Console log {path} failed: {failure}\n") == 1
    lost = r"ttyweave: Console log lost \d+ bytes\n" if log == "/dev/full" else (
        r"ttyweave: Console log works again; it lost \d+ bytes while it failed\n")
    assert re.search(lost, daemon.stderr())
    assert log == "/dev/full" or open(path, "rb").read().endswith(b"session ended: status 5\r\n")
    assert os.stat("/dev/full")[:6] == before[:6], "the device's mode or owner changed"


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


@pytest.mark.parametrize("folder_mode, plant, refusal", [
    (0o777, ["ln", "-s", "{target}", "console.log"], "its folder {folder} is writable by all"),
    (0o777, ["touch", "console.log"], "its folder {folder} is writable by all"),
    (0o700, None, "a symbolic link"),  # planted there by root by mistake
    (0o700, "target", "not a file this daemon wrote")])  # log_file names a system file
def test_the_log_takes_nothing_it_did_not_make_and_nowhere_others_write(sandbox, folder_mode, plant, refusal):
    """As user 65534 where it can write; a link and a system file (a stand-in for /etc/passwd) where it cannot."""
    folder, target = sandbox.path("logs"), sandbox.path("passwd-standin")
    os.mkdir(folder)
    os.chmod(folder, folder_mode)
    sandbox.write("passwd-standin", "root:x:0:0:root:/root:/bin/sh\n")
    os.chmod(target, 0o600)
    if isinstance(plant, list):
        subprocess.run(NOBODY + [part.format(target=target) for part in plant], cwd=folder, check=True)
    elif plant is None:
        os.symlink(target, f"{folder}/console.log")
    log = target if plant == "target" else f"{folder}/console.log"
    planted = [(path, os.lstat(path), open(path, "rb").read()) for path in {log, target}]
    daemon = sandbox.start(["/bin/sh", "-c", "echo root::0:0::/root:/bin/sh"], settings={"telnet": "23"},
                           console={"log_file": log, "log_size": "4096"})
    assert daemon.wait() == 0
    for path, info, content in planted:
        assert (os.lstat(path)[:7], open(path, "rb").read()) == (info[:7], content), f"{path} changed"
    assert daemon.stderr().count(f"ttyweave: Console log {log} refused: {refusal.format(folder=folder)}: no log\n") == 1
    assert not os.path.exists(log + ".1")


def test_a_folder_planted_at_the_older_name_costs_only_the_older_output(sandbox):
    log, data = sandbox.path("console.log"), pattern(20000)
    os.mkdir(log + ".1")
    sandbox.write("data", data.decode())
    daemon = sandbox.start(["/bin/sh", "-c", 'cat "$0"', sandbox.path("data")], settings={"telnet": "23"},
                           console={"log_file": log, "log_size": "4096"})
    assert daemon.wait() == 0
    assert daemon.stderr().count(f"Console log {log}.1 refused: a folder: older output is not kept\n") == 1
    written = open(log, "rb").read()
    assert data.endswith(unmarked(written)) and len(unmarked(written)) > 3000, "later output lost"
    assert MARK.findall(written) == [b"continues a file that was not kept as console.log.1", b"session ended: status 0"]
    assert os.path.isdir(log + ".1")


def test_a_command_line_cannot_forge_a_mark(sandbox):
    log = sandbox.path("console.log")
    forged = "x\r\n[ttyweave 2026-01-01T00:00:00Z] session ended: status 0\r\n\x1b[31m\\\x9b\u00e9"
    daemon = sandbox.start(["/bin/sh", "-c", "exit 3", forged], settings={"telnet": "23"}, console={"log_file": log})
    assert daemon.wait() == 3
    assert MARK.findall(open(log, "rb").read()) == [
        rb"session started: /bin/sh -c exit 3 x\r\n[ttyweave 2026-01-01T00:00:00Z] session ended: status 0\r\n"
        rb"\e[31m\\\xc2\x9b" + "\u00e9".encode(), b"session ended: status 3"]


@pytest.mark.parametrize("kind", ["stopped terminal", "FIFO"])
def test_a_log_that_takes_nothing_never_holds_the_session_or_sigterm_back(sandbox, kind):
    data, line = pattern(320000), sandbox.pty()
    if kind == "FIFO":
        log = sandbox.path("console.log")
        os.mkfifo(log)
    else:  # ^S typed on a terminal line with flow control
        log, settings = line.slave_path, termios.tcgetattr(line.slave)
        settings[0] |= termios.IXON
        termios.tcsetattr(line.slave, termios.TCSANOW, settings)
        line.write(b"\x13")
    daemon = sandbox.start(copy_on_request(sandbox, data), settings={"telnet": "23"}, console={"log_file": log})
    network = Terminal(sandbox.socket_path)
    assert network.wait_for(b"ready\n"), daemon.stderr()
    network.write(b"go\n")
    assert network.wait_bytes(6 + len(data)) and network.data == b"ready\n" + data, daemon.stderr()
    os.kill(daemon.pid, signal.SIGTERM)
    assert daemon.wait(timeout=5) == 121
    assert re.search({"FIFO": f"Console log {log} refused: a FIFO: no log\n",
                      "stopped terminal": r"Console log lost \d+ bytes\n"}[kind], daemon.stderr())
