# SPDX-License-Identifier: MIT
"""The console log: every byte the terminals are sent, with the session's marks, bounded and rotated, and a
log that fails costs the session nothing."""
import grp
import os
import re
import signal
import stat
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
    """With nobody attached, far more output than the limit; an existing file, open to all, is appended to."""
    data = pattern(100000)
    log = sandbox.path("console.log")
    sandbox.write("console.log", "earlier session\n")
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
    stream, older = b"earlier session\n" + data, unmarked(rotated)
    assert older and stream.rindex(older) + len(older) <= len(stream) - len(unmarked(newest))
    assert rotated.startswith(b"earlier session\n") == (limit == 65536)
    assert ("ttyweave: Console log_size '100' is not from 4096 to 16777216: using 65536\n" in daemon.stderr()) == (
        limit == 65536)
    for path in log, log + ".1":
        info = os.stat(path)
        assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (0o640, 0, grp.getgrnam("adm").gr_gid)


@pytest.mark.parametrize("log, failure", [("/dev/full", "write: No space left on device"),
                                          ("later/console.log", "open: No such file or directory")])
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
