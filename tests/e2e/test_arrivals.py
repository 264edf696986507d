# SPDX-License-Identifier: MIT
"""Who takes the eight places, how arrivals are numbered and marked, and what a viewer's keys cost."""
import os
import re
import subprocess
import sys

import pytest

from conftest import OWNER_UID, Terminal, cpu_over, pump
from test_log import MARK

NETWORK = {"telnet": "23"}
WITH_SERIAL = {"telnet": "23", "serial_with_telnet": "1"}
WAIT = ["/bin/sh", "-c", "echo ready; read x"]
MARKS_PER_MINUTE = 10  # of each uid's arrivals and departures


def admitted(path, count):
    """Connects `count` terminals one after the other; those the daemon kept."""
    kept = []
    for _ in range(count):
        terminal = Terminal(path)
        assert pump([terminal], lambda: b"ready\n" in terminal.data or terminal.ended)
        if not terminal.data.startswith(b"Too many terminals"):
            kept.append(terminal)
    return kept


# Each step: (socket, connections, how many are kept).
@pytest.mark.parametrize("settings, viewers, steps", [
    (WITH_SERIAL, "9", [("view", 8, 6), ("main", 2, 1)]),  # a larger number is 7, less the serial console's place
    (NETWORK, "2", [("view", 8, 2), ("main", 7, 6)]),
    (NETWORK, "7", [("main", 7, 7), ("view", 2, 1), ("main", 1, 0)]),  # a viewer takes the eighth place, not a ninth
])
def test_viewers_are_capped_count_among_the_eight_and_leave_the_main_socket_a_place(sandbox, settings, viewers,
                                                                                   steps):
    daemon = sandbox.start(WAIT, settings=settings, console={"viewers": viewers})
    paths = {"main": sandbox.socket_path, "view": sandbox.path("run/ttyweave-view-socket")}
    present, expected = [], 0
    for socket_name, count, kept in steps:
        present += admitted(paths[socket_name], count)  # kept open to the end
        expected += kept
        assert len(present) == expected, daemon.stderr()


def test_visits_are_marked_at_a_limited_rate_and_leave_the_sessions_output_in_the_log(sandbox):
    log = sandbox.path("console.log")
    daemon = sandbox.start(["/bin/sh", "-c", "echo output-of-the-session; read x"], settings=NETWORK,
                           console={"viewers": "7", "log_file": log, "log_size": "4096"})
    operator = Terminal(sandbox.socket_path)
    assert operator.wait_for(b"output-of-the-session\n")
    for _ in range(120):
        viewer = Terminal(sandbox.path("run/ttyweave-view-socket"))
        assert viewer.wait_for(b"output-of-the-session\n")
        viewer.close()
    operator.write(b"x\n")
    assert daemon.wait() == 0
    with open(log, "rb") as file:
        written = file.read()
    assert b"output-of-the-session" in written
    marks = [mark.decode() for mark in MARK.findall(written)]
    events = [mark for mark in marks if mark.startswith("Terminal ")]
    left_out = [int(m.group(1)) for mark in marks if (m := re.fullmatch(r"uid 0: (\d+) arrivals and departures "
                                                                       r"not marked", mark))]
    assert left_out and len(events) <= MARKS_PER_MINUTE * len(left_out), marks
    on_stderr = [line for line in daemon.stderr().splitlines() if re.match(r"ttyweave: Terminal .*\(.*uid", line)]
    assert len(events) + sum(left_out) == len(on_stderr)  # every one is on stderr


FLOOD = ("import socket, sys, time\n"
         "s = socket.socket(socket.AF_UNIX)\ns.connect(sys.argv[1])\nkeys = b'k' * 65536\n"
         "while True:\n    try:\n        s.sendall(keys)\n    except OSError:\n        time.sleep(0.01)\n")


def test_a_viewers_key_flood_costs_the_daemon_little(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", 'echo ready; read line; echo "got $line"; read x'], settings=NETWORK,
                           console={"viewers": "1"})
    operator = Terminal(sandbox.socket_path)
    assert operator.wait_for(b"ready\n")
    sandbox.spawn([sys.executable, "-c", FLOOD, sandbox.path("run/ttyweave-view-socket")], subprocess.DEVNULL)
    assert daemon.wait_stderr("(viewer, uid 0, pid ")
    share = cpu_over(daemon.pid, 3) / 3
    print(f"daemon CPU under a viewer's key flood: {share:.3f} of a core")
    assert share < 0.25
    operator.write(b"typed\n")
    assert operator.wait_for(b"got typed\n")


def test_a_connections_number_holds_from_arrival_to_departure_and_its_uid_is_its_own(sandbox):
    daemon = sandbox.start(WAIT, settings=NETWORK)
    first, second = sandbox.terminals(2)
    assert second.wait_for(b"ready\n")
    release_read, release = os.pipe()
    pid = os.fork()
    if pid == 0:  # tessaline, whose group differs from its uid
        for inherited in first, second:
            inherited.close()
        os.close(release)
        os.chdir(sandbox.path("run"))
        os.setgid(OWNER_UID + 100)
        os.setuid(OWNER_UID)
        held = Terminal("ttyweave-socket")
        os.read(release_read, 1)
        held.close()
        os._exit(0)
    os.close(release_read)
    me = f"(network, uid {OWNER_UID}, pid {pid})"
    assert daemon.wait_stderr(f"{me} arrived\n"), daemon.stderr()
    first.close()  # the connections after it move up
    assert daemon.wait_stderr(f"(network, uid 0, pid {os.getpid()}) left: "), daemon.stderr()
    os.close(release)
    os.waitpid(pid, 0)
    assert daemon.wait_stderr(f"{me} left: "), daemon.stderr()
    numbers = re.findall(rf"ttyweave: Terminal (\d+) {re.escape(me)} (?:arrived|left)", daemon.stderr())
    assert numbers == ["3", "3"], daemon.stderr()


@pytest.mark.parametrize("viewer_uid", [OWNER_UID, 0])
def test_a_viewers_user_that_could_type_gets_no_socket(sandbox, viewer_uid):
    sandbox.write("passwd", f"root:x:0:0:root:/root:/bin/sh\ntessaline:x:{OWNER_UID}:1::/:/bin/sh\n"
                            f"tessaline-view:x:{viewer_uid}:1::/:/bin/sh\n")
    daemon = sandbox.start(WAIT, settings=NETWORK, console={"viewers": "1"})
    assert Terminal(sandbox.socket_path).wait_for(b"ready\n")
    lines = [line for line in daemon.stderr().splitlines() if "viewer listener" in line]
    assert len(lines) == 1 and lines[0].startswith("ttyweave: Unable to start viewer listener: "), lines
    assert not os.path.exists(sandbox.path("run/ttyweave-view-socket"))
