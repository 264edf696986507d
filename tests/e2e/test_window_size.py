# SPDX-License-Identifier: MIT
"""The program's window size: the Registry's at the start, then that of the terminal that arrived, typed or changed
size last among those that tell one; and every key exact either way."""
import fcntl
import struct
import subprocess
import termios

import pytest

from conftest import ATTACH, DEADLINE, Terminal, wait_until
from test_attach import DETACH, start_ssh_server

NETWORK = {"telnet": "23"}
# Says its size and how many SIGWINCH it had at the start, at each SIGWINCH and at each key.
SIZE_PROGRAM = ["/usr/bin/python3", "-c", r"""
import fcntl, os, signal, struct, termios
changes = 0
def say(what):
    rows, columns = struct.unpack("HH", fcntl.ioctl(0, termios.TIOCGWINSZ, bytes(8))[:4])
    os.write(1, b"%s at %dx%d after %d\r\n" % (what, columns, rows, changes))
def changed(*_):
    global changes
    changes += 1
    say(b"winch")
signal.signal(signal.SIGWINCH, changed)
say(b"start")
while key := os.read(0, 1):
    say(b"key " + key)
"""]


def resize(user, columns, rows):
    fcntl.ioctl(user.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    return user


def take_as_controlling_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def join(sandbox, user, *options, command=ATTACH):
    """ttyweave-attach (or `command`) on `user` as its controlling terminal, as under sshd."""
    return sandbox.spawn([*command, *options], user.slave, subprocess.PIPE,
                         stdin=user.slave, start_new_session=True, preexec_fn=take_as_controlling_terminal)


def received(sandbox):
    with open(sandbox.path("received"), "rb") as file:
        return file.read()


@pytest.mark.parametrize("console, start, said", [
    (None, "80x24", None),
    ({"columns": "132", "rows": "43"}, "132x43", None),
    ({"columns": "1001", "rows": "0x10"}, "80x24", "ttyweave: Console columns '1001' is not from 1 to 1000: using 80\n"
                                                    "ttyweave: Console rows '0x10' is not from 1 to 1000: using 24\n")])
def test_the_program_starts_at_the_set_size_and_follows_a_telling_clients_window(sandbox, console, start, said):
    daemon = sandbox.start(SIZE_PROGRAM, settings=NETWORK, console=console)
    watcher = Terminal(sandbox.socket_path)
    assert watcher.wait_for(f"start at {start} after 0\r\n".encode()), daemon.stderr()
    assert said is None or said in daemon.stderr()
    user = resize(sandbox.pty(), 132, 50)
    join(sandbox, user, sandbox.socket_path)
    assert watcher.wait_for(b"winch at 132x50 after 1\r\n"), daemon.stderr()
    assert "ttyweave: Window 132x50 from terminal 2\n" in daemon.stderr()
    resize(user, 100, 40)
    assert watcher.wait_for(b"winch at 100x40 after 2\r\n")


def test_the_terminal_active_last_has_its_size_and_watchers_never_change_it(sandbox):
    daemon = sandbox.start(SIZE_PROGRAM, settings={**NETWORK, "serial_with_telnet": "1"},
                           console={"viewers": "1", "log_file": "/var/log/console.log"})
    watcher = Terminal(sandbox.socket_path)  # terminal 1
    assert watcher.wait_for(b"start at 80x24 after 0\r\n"), daemon.stderr()
    first = join(sandbox, first_user := resize(sandbox.pty(), 100, 30), sandbox.socket_path)
    assert watcher.wait_for(b"winch at 100x30 after 1\r\n")
    join(sandbox, second_user := resize(sandbox.pty(), 120, 40), sandbox.socket_path)
    assert watcher.wait_for(b"winch at 120x40 after 2\r\n")
    # Each typist's size in turn, the serial console's the Registry's; the first one typed last.
    typists = [(sandbox.console, b"c", b"80x24"), (second_user, b"s", b"120x40"), (first_user, b"f", b"100x30")]
    for changes, (typist, key, size) in enumerate(typists, 3):
        typist.write(key)
        assert watcher.wait_for(b"key %s at %s after %d\r\n" % (key, size, changes))
    for path in sandbox.socket_path, sandbox.path("run/ttyweave-view-socket"):  # read-only, then a viewer
        watching = resize(sandbox.pty(), 60, 20)
        client = join(sandbox, watching, "-r", path)
        assert watching.wait_for(b"key f at 100x30 after 5\r\n")
        resize(watching, 70, 25).write(b"r" + DETACH)
        assert client.wait(DEADLINE) == 0
    watcher.write(b"w")
    assert watcher.wait_for(b"key w at 100x30 after 5\r\n")
    first_user.write(DETACH)
    assert first.wait(DEADLINE) == 0
    assert watcher.wait_for(b"winch at 120x40 after 6\r\n")
    assert wait_until(lambda: daemon.stderr().count("ttyweave: Window 120x40 from terminal 3\n") == 3)
    assert wait_until(lambda: sandbox.read("log/console.log").count("Z] Window 120x40 from terminal 3\r\n") == 3)


@pytest.mark.parametrize("server", ["sshd", "dropbear"])
def test_ssh_brings_the_window_size_and_its_changes(sandbox, server):
    login = start_ssh_server(sandbox, server)
    sandbox.start(SIZE_PROGRAM, settings=NETWORK)
    watcher = Terminal(sandbox.socket_path)
    assert watcher.wait_for(b"start at 80x24 after 0\r\n")
    user = resize(sandbox.pty(), 132, 50)
    join(sandbox, user, command=login)
    assert watcher.wait_for(b"winch at 132x50 after 1\r\n"), sandbox.read("server.log")
    resize(user, 90, 33)
    assert watcher.wait_for(b"winch at 90x33 after 2\r\n")


def test_every_byte_value_reaches_the_program_from_a_raw_client_and_from_a_telling_one(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", 'echo ready; exec cat > "$0"', sandbox.path("received")],
                           settings=NETWORK)
    raw = Terminal(sandbox.socket_path)
    assert raw.wait_for(b"ready\n")
    every = bytes(range(256))
    raw.write(every)
    assert wait_until(lambda: received(sandbox) == every), daemon.stderr()
    user = resize(sandbox.pty(), 100, 30)
    client = join(sandbox, user, sandbox.socket_path)
    assert user.wait_for(b"ready\n")
    user.write(every.replace(DETACH, b"") + DETACH)
    assert client.wait(DEADLINE) == 0
    assert wait_until(lambda: len(received(sandbox)) >= 511), daemon.stderr()
    assert received(sandbox) == every + every.replace(DETACH, b"")
