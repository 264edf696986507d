# SPDX-License-Identifier: MIT
"""The shared session's byte paths: output to every terminal, history, keystrokes, the terminal limit,
and terminals that stop reading, vanish or fail."""
import fcntl
import os
import re
import select
import signal
import socket
import struct
import subprocess
import termios
import threading
import time

import pytest

from conftest import DEADLINE, Stream, Terminal, cpu_over, cpu_seconds, process_info, pump, relayed_line, wait_until

NETWORK = {"telnet": "23"}
WITH_SERIAL = {"telnet": "23", "serial_with_telnet": "1"}
# A session asleep in poll uses next to no CPU; a spinning one a whole second per second.
SPIN_BOUND = 0.3
KMSG_LINE = re.compile(rb"\{[ 0-9]{5,}\.[0-9]{3}\} [^\r\n]*\r\n")


def pattern(size):
    """Bytes that show where they were lost: 16-byte blocks naming their offset."""
    return b"".join(b"%015x." % i for i in range(size // 16 + 1))[:size]


def copy_on_request(sandbox, data, then="read done", before=""):
    """A program that says "ready", waits for a line, writes `data`, then does `then`."""
    with open(sandbox.path("data"), "wb") as file:
        file.write(data)
    return ["/bin/sh", "-c", f'echo ready; {before}read go; cat "$0"; {then}', sandbox.path("data")]


def queued(stream, request=termios.TIOCOUTQ):
    """Bytes waiting on the stream's descriptor: by default those it has sent and the session not
    yet read; with FIONREAD those that have arrived and the test not yet read."""
    return struct.unpack("i", fcntl.ioctl(stream.fd, request, b"\0\0\0\0"))[0]


@pytest.mark.parametrize("console_after_the_end", ["resumes", "stays stopped", "SIGTERM"])
def test_every_terminal_receives_all_output_to_the_last_byte(sandbox, console_after_the_end):
    """The console takes nothing from before the program's last output until after its end: its last output waits
    for a console that comes back; the network terminals receive it all anyway; SIGTERM then keeps the status."""
    data = pattern(8000)  # more than the ring, less than the pseudo-terminal holds: the program can end
    daemon = sandbox.start(copy_on_request(sandbox, data, "exit 3"), settings=WITH_SERIAL)
    terminals = (network := sandbox.terminals(7)) + [sandbox.console]
    assert all(t.wait_for(b"ready\n") for t in terminals), daemon.stderr()
    termios.tcflow(sandbox.console.slave, termios.TCOOFF)
    network[1].write(b"go\n")
    assert daemon.wait_stderr("ttyweave: Child exited: 3\n")
    if console_after_the_end == "SIGTERM":
        os.kill(daemon.pid, signal.SIGTERM)
        assert daemon.wait() == 3
        return
    if console_after_the_end == "resumes":
        termios.tcflow(sandbox.console.slave, termios.TCOON)
    receivers = terminals if console_after_the_end == "resumes" else network
    expected = b"ready\n" + data
    assert pump(terminals, lambda: all(len(t.data) >= len(expected) for t in receivers)), daemon.stderr()
    assert all(t.data == expected for t in receivers)
    assert daemon.wait() == 3
    assert "ttyweave: Received signal 17\nttyweave: Child exited: 3\n" in daemon.stderr()
    assert ("ttyweave: Serial terminal stalled\n" in daemon.stderr()) == (console_after_the_end != "resumes")


def test_keys_read_in_one_pass_reach_the_program_in_terminal_order(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", "echo ready; exec cat"], settings=NETWORK)
    terminals = sandbox.terminals(3)
    assert all(t.wait_for(b"ready\n") for t in terminals)
    os.kill(daemon.pid, signal.SIGSTOP)
    assert wait_until(lambda: process_info(daemon.pid)[0] == "T")
    # Control bytes too reach the program unchanged (^C, ^S, ^Q, a carriage return): its terminal is raw.
    for terminal, text in reversed(list(zip(terminals, [b"first-\x03", b"second-\x13\x11", b"third-\r"]))):
        terminal.write(text)
    os.kill(daemon.pid, signal.SIGCONT)
    assert all(t.wait_for(b"third-\r") and t.data == b"ready\nfirst-\x03second-\x13\x11third-\r" for t in terminals)


@pytest.mark.parametrize("settings, network", [(WITH_SERIAL, 7), (NETWORK, 8)])
def test_eight_terminals_in_all_the_next_client_is_refused_and_a_late_one_first_receives_the_last_4095_bytes(
        sandbox, settings, network):
    data = pattern(5000)
    sandbox.start(["/bin/sh", "-c", 'printf %s "$0"; read x; echo after; read y', data], settings=settings)
    terminals = sandbox.terminals(network)
    assert all(t.wait_for(data[-16:]) for t in terminals)
    refused = Terminal(sandbox.socket_path)
    assert refused.wait_end() and refused.data == b"Too many terminals"
    terminals.pop(3).close()  # its place goes to the next client
    terminals.append(Terminal(sandbox.socket_path))
    assert terminals[-1].wait_bytes(4095)
    terminals[-1].write(b"x\n")
    assert all(t.wait_for(b"after\n") and t.data.endswith(data[-4095:] + b"after\n") for t in terminals)
    assert terminals[-1].data == data[-4095:] + b"after\n"


def test_a_terminal_that_stops_reading_is_dropped_within_a_moment_whatever_happens_and_one_that_vanishes_at_once(
        sandbox, kernel_log):
    data = pattern(2000000)
    # Kernel log records below the level keep the session busy but show nowhere.
    daemon = sandbox.start(copy_on_request(sandbox, data), settings=dict(NETWORK, telnet_log_level="1"))
    stalled, vanishing, reader, *later = terminals = sandbox.terminals(5)
    # Two more stop reading later, each at its own point in the output: three times a terminal holds the reader.
    stops = dict(zip(later, [500000, 1000000]))
    assert all(t.wait_for(b"ready\n") for t in terminals)
    dropped = threading.Event()
    noise = threading.Thread(target=lambda: [kernel_log.write(7, "ttyweave-test-noise")
                                             for _ in iter(lambda: dropped.wait(0.02), True)])
    noise.start()
    reader.write(b"go\n")
    expected = b"ready\n" + data
    arrivals = []  # when the reader received more
    try:
        assert pump([vanishing, reader, *stops], lambda: len(vanishing.data) > 100000)
        # Read dry first, so that the session's next write to it finds room and fails with EPIPE.
        while select.select([vanishing], [], [], 0)[0]:
            vanishing.read()
        vanishing.sock.shutdown(socket.SHUT_RD)
        while len(reader.data) < len(expected) and not reader.ended:
            live = [reader] + [t for t, limit in stops.items() if len(t.data) < limit]
            received = len(reader.data)
            for stream in select.select(live, [], [], DEADLINE)[0]:
                stream.read()
            arrivals += [time.monotonic()] if len(reader.data) > received else []
    finally:
        dropped.set()
        noise.join()
    assert reader.data == expected
    # Each may hold everyone back for 50 ms; the shortest of the three longest pauses shows the limit in use.
    pauses = sorted(later - earlier for earlier, later in zip(arrivals, arrivals[1:]))
    assert pauses[-3] < 0.2, f"stalled terminals held the session back too long: {pauses[-3:]}"
    for terminal in stalled, *stops:
        assert terminal.wait_end() and len(terminal.data) < len(expected) and expected.startswith(terminal.data)
    assert daemon.wait_stderr("ttyweave: Received signal 13\nttyweave: Unexpected signal 13\n")
    assert daemon.stderr().count(" is blocked. Disconnecting.\n") == daemon.stderr().count(" left: blocked for 50 ms\n") == 3
    assert "ttyweave: Terminal 0 is blocked. Disconnecting.\n" in daemon.stderr()
    # The older line gives its place at the time, the new one its number: the second to arrive.
    assert re.search(r"ttyweave: Abandoning terminal \d due to 'Broken pipe' on write\nttyweave: Terminal 2 "
                     rf"\(network, uid 0, pid {os.getpid()}\) left: write error: Broken pipe\n", daemon.stderr())
    reader.write(b"done\n")
    assert daemon.wait() == 0


@pytest.mark.parametrize("settings", [WITH_SERIAL, NETWORK], ids=["console and network", "network alone"])
def test_slow_terminals_that_keep_taking_pace_the_program_lose_nothing_and_are_kept_and_a_waiting_kernel_log_line_goes_in_whole(
        sandbox, kernel_log, settings):
    """Alone, the network terminal is the one that holds the program back, far longer than 50 ms at a time, while
    it takes less than its socket holds at once."""
    data = pattern(400000)
    daemon = sandbox.start(copy_on_request(sandbox, data), settings=dict(settings, telnet_log_level="7"))
    slow = Terminal(sandbox.socket_path)
    terminals = [sandbox.console, slow] if settings is WITH_SERIAL else [slow]
    assert all(t.wait_for(b"ready\n") for t in terminals), daemon.stderr()
    started, cpu = time.monotonic(), cpu_seconds(daemon.pid)
    slow.write(b"go\n")
    assert pump(terminals, lambda: len(slow.data) > 100000, size=1024, pause=0.002), daemon.stderr()
    markers = [f"ttyweave-held-{os.getpid()}-{i}" for i in (1, 2)]
    for marker in markers:
        kernel_log.write(6, marker)
    lines = [relayed_line(kernel_log.wait_for(marker)) for marker in markers]
    expected = b"ready\n" + data
    assert pump(terminals, lambda: all(lines[1] in t.data and len(KMSG_LINE.sub(b"", t.data)) >= len(expected)
                                       for t in terminals), size=1024, pause=0.002), daemon.stderr()
    assert (cpu_seconds(daemon.pid) - cpu) / (time.monotonic() - started) < SPIN_BOUND, "the session spins"
    slow.write(b"done\n")
    assert daemon.wait() == 0
    for received in (bytes(t.data) for t in terminals):
        assert lines[0] in received and received.index(lines[0]) < received.index(lines[1])
        assert KMSG_LINE.sub(b"", received) == expected, "output lost, or a line not whole"
    assert not re.search("Disconnecting|stalled|lost", daemon.stderr()), daemon.stderr()


def test_a_full_input_ring_neither_drops_a_terminal_nor_loses_a_key_nor_spins(sandbox):
    """The program reads nothing while two terminals type far more than the pseudo-terminal and the
    input ring hold, and one of them hangs up with its bytes still unread."""
    daemon = sandbox.start(["/bin/sh", "-c", 'echo ready; while [ ! -e "$0" ]; do sleep 0.02; done; '
                            'exec cat > "$1"', sandbox.path("flag"), sandbox.path("received")], settings=NETWORK)
    typist, leaver = sandbox.terminals(2)
    assert typist.wait_for(b"ready\n") and leaver.wait_for(b"ready\n")
    typed = bytes(b & 0x7F for b in pattern(600000))  # each terminal types from its own half of the bytes
    left_behind = bytes(b | 0x80 for b in pattern(60000))
    threading.Thread(target=typist.write, args=(typed,), daemon=True).start()
    assert wait_until(lambda: queued(typist) >= 100000), daemon.stderr()
    leaver.write(left_behind)
    leaver.close()
    assert cpu_over(daemon.pid) < SPIN_BOUND, "the session spins"
    sandbox.write("flag", "")
    total, received = len(typed) + len(left_behind), sandbox.path("received")
    assert wait_until(lambda: os.path.exists(received) and os.path.getsize(received) >= total), daemon.stderr()
    assert os.path.getsize(received) == total
    merged = open(received, "rb").read()
    assert bytes(b for b in merged if b < 0x80) == typed
    assert bytes(b for b in merged if b >= 0x80) == left_behind
    assert not re.search("Disconnecting|Abandoning|disconnected", daemon.stderr()), daemon.stderr()


@pytest.mark.parametrize("failure", ["read", "write", "stopped"])
def test_a_failing_serial_console_holds_nobody_back_is_never_dropped_and_comes_back(sandbox, failure):
    """The console fails on every read and write (a pseudo-terminal master whose other side is closed, until the
    test opens it again), on every write (/dev/full), or takes nothing (its output stopped, as by ^S)."""
    console = sandbox.pty()
    if failure == "read":
        os.close(console.slave)
    elif failure == "stopped":
        termios.tcflow(console.slave, termios.TCOOFF)
    sandbox.serial = "/dev/full"
    data = pattern(300000)
    ticks = 'i=0; while :; do i=$((i+1)); echo "tick $i"; sleep 0.1; done'
    daemon = sandbox.start(copy_on_request(sandbox, data, then=ticks), settings=WITH_SERIAL,
                           stdin={"read": console.fd, "write": subprocess.DEVNULL, "stopped": console.slave}[failure])
    network = Terminal(sandbox.socket_path)
    assert network.wait_for(b"ready\n"), daemon.stderr()
    network.write(b"go\n")
    expected = b"ready\n" + data
    assert network.wait_bytes(len(expected)) and network.data[:len(expected)] == expected, daemon.stderr()
    # Looked at again about once a second, not on every pass, and never dropped; the session does not spin.
    retries = lambda: daemon.stderr().count(f"' on {failure}\n")  # noqa: E731
    before = retries()
    assert cpu_over(daemon.pid) < SPIN_BOUND, "the session spins"
    assert failure == "stopped" or 1 <= retries() - before <= 3, daemon.stderr()
    if failure == "write":
        return
    # The program takes no more keys: typed ones fill the pseudo-terminal and the input ring.
    network.write(b"k" * 200000)
    assert wait_until(lambda: queued(network) >= 100000)
    if failure == "read":
        console.slave = os.open(console.slave_path, os.O_RDWR | os.O_NOCTTY)
        console = Stream(console.slave)
    else:
        termios.tcflow(console.slave, termios.TCOON)
    while select.select([network], [], [], 0)[0]:  # up to the latest tick
        network.read()
    latest = int(re.findall(rb"tick (\d+)", network.data)[-1])
    assert console.wait_for(b"tick %d\n" % (latest + 2)), daemon.stderr()
    assert re.search(r"ttyweave: Serial console lost [1-9]\d* bytes of output while it failed\n", daemon.stderr())


def test_a_slow_serial_console_that_holds_the_program_back_is_waited_for_without_spinning(sandbox):
    """The serial console alone, taking 4 KiB every 200 ms (holding the program back for far longer than 50 ms at a
    time, but never for 2 s): the program waits for it, and so does the daemon, in poll."""
    data = pattern(200000)
    daemon = sandbox.start(copy_on_request(sandbox, data), settings=WITH_SERIAL)
    console = sandbox.console
    assert console.wait_for(b"ready\n"), daemon.stderr()
    console.write(b"go\n")
    started, cpu = time.monotonic(), cpu_seconds(daemon.pid)
    assert pump([console], lambda: len(console.data) >= 40000, size=4096, pause=0.2), daemon.stderr()
    assert (cpu_seconds(daemon.pid) - cpu) / (time.monotonic() - started) < SPIN_BOUND, "the session spins"
    assert pump([console], lambda: b"ready\n" + data in console.data, size=1 << 16), daemon.stderr()
    assert "stalled" not in daemon.stderr(), daemon.stderr()
