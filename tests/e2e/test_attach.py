# SPDX-License-Identifier: MIT
"""ttyweave-attach: a person's terminal joined to the shared session, directly or behind sshd."""
import os
import re
import shutil
import signal
import socket
import subprocess
import termios
import threading

import pytest

from conftest import ATTACH, DEADLINE, Terminal, cooked, skip_when_emulated, wait_until

NETWORK = {"telnet": "23"}
DETACH = b"\x1c"  # ^\
ECHO_LINES = ["/bin/sh", "-c", 'echo history; while read a; do echo "got $a"; done']


def attach(sandbox, user, *options, output=None, path=None):
    """The client with `user` (a pseudo-terminal of the test) as its terminal, once the daemon listens."""
    if not path:
        Terminal(sandbox.socket_path).close()
    return sandbox.spawn([*ATTACH, *options, path or sandbox.socket_path], output or user.slave, subprocess.PIPE,
                         stdin=user.slave, start_new_session=True)


def test_a_terminal_attaches_types_and_is_given_back_as_it_was_on_detach_and_on_the_sessions_end(sandbox):
    sandbox.start(["/bin/sh", "-c", 'echo history; read a; echo "got $a"; read b; echo "then $b"'], settings=NETWORK)
    user = sandbox.pty()
    before = cooked(user.slave)
    client = attach(sandbox, user)
    assert user.wait_for(b"history\n")
    assert termios.tcgetattr(user.slave)[3] & (termios.ICANON | termios.ECHO) == 0
    user.write(b"typed\n")
    assert user.wait_for(b"got typed\n")
    user.write(DETACH)
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"got typed\n\r\n[detached]\r\n")
    assert termios.tcgetattr(user.slave) == before
    user.data.clear()
    client = attach(sandbox, user)
    assert user.wait_for(b"history\ngot typed\n")
    user.write(b"bye\n")  # the program ends, and with it the session; the detach key never reached it
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"then bye\n\r\n[session ended]\r\n")
    assert termios.tcgetattr(user.slave) == before


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM,
                                    signal.SIGRTMIN, signal.SIGSEGV])
def test_a_signal_that_ends_the_client_gives_the_terminal_back_first(sandbox, number):
    if number == signal.SIGRTMIN:
        skip_when_emulated("qemu-user keeps the first real-time signals for itself")
    sandbox.start(ECHO_LINES, settings=NETWORK)
    user = sandbox.pty()
    before = cooked(user.slave)
    client = attach(sandbox, user)
    assert user.wait_for(b"history\n")
    os.kill(client.pid, number)
    # A fault ends it by the signal itself, after the terminal has been restored.
    assert client.wait(DEADLINE) == (-number if number == signal.SIGSEGV else 128 + number)
    assert termios.tcgetattr(user.slave) == before


def test_the_detach_key_works_while_the_session_takes_no_keys_and_keys_typed_ahead_keep_their_order(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", 'echo "history $$"; exec cat > "$0"', sandbox.path("received")],
                           settings=NETWORK)
    user = sandbox.pty()
    client = attach(sandbox, user)
    assert user.wait_for(b"\n")
    program = int(re.search(rb"history (\d+)\n", user.data)[1])
    os.kill(program, signal.SIGSTOP)  # takes no keys: they fill its terminal, the session and the socket
    typed = b"".join(b"%015x." % i for i in range(1 << 16))  # 1 MiB that shows where bytes were lost
    threading.Thread(target=lambda: os.write(user.fd, typed) and os.write(user.fd, DETACH), daemon=True).start()
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"[detached]"), daemon.stderr()
    os.kill(program, signal.SIGCONT)
    assert wait_until(lambda: os.path.getsize(sandbox.path("received")) >= 1 << 16)
    keys = iter(typed)  # what reached the program is in order, and holds no detach key
    assert all(key in keys for key in open(sandbox.path("received"), "rb").read()), "keys out of order"


def test_a_read_only_terminal_sends_nothing_a_ninth_is_refused_and_a_missing_socket_is_named(sandbox):
    sandbox.start(ECHO_LINES, settings=NETWORK)
    typist = Terminal(sandbox.socket_path)
    user = sandbox.pty()
    client = attach(sandbox, user, "-r")
    assert user.wait_for(b"history\n")
    user.write(b"secret\n" + DETACH)
    assert client.wait(DEADLINE) == 0
    typist.write(b"open\n")
    assert typist.wait_for(b"got open\n") and b"secret" not in typist.data
    others = sandbox.terminals(7)
    assert all(t.wait_for(b"history\n") for t in others)
    refused = attach(sandbox, user, output=subprocess.PIPE)
    assert refused.communicate(timeout=DEADLINE) == (b"", b"ttyweave-attach: refused: Too many terminals\n")
    assert refused.returncode == 1
    missing = attach(sandbox, user, path=sandbox.path("no-socket"))
    assert missing.communicate(timeout=DEADLINE)[1].decode() == (
        f"ttyweave-attach: cannot connect to {sandbox.path('no-socket')}: No such file or directory\n")
    assert missing.returncode == 1


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def server_command(server, home, port, attach, forced=True):
    """Sets up `server` to make `attach` the forced command of tessaline (unless not `forced`: no sshd settings, no
    command= in the key's line); its command line."""
    if server == "sshd":  # the fragment from dist/ names the forced command
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{home}/host"], check=True)
        shutil.copy(f"{home}/user.pub", f"{home}/.ssh/authorized_keys")
        with open(os.path.join(os.path.dirname(__file__), "../../dist/ttyweave-sshd.conf")) as fragment:
            match = fragment.read().replace("/usr/bin/ttyweave-attach", attach) if forced else ""
        with open(f"{home}/sshd_config", "w") as config:
            config.write(f"ListenAddress 127.0.0.1:{port}\nHostKey /run/ssh/host\nUsePAM no\nPidFile none\n"
                         + match)
        return ["/usr/sbin/sshd", "-D", "-e", "-f", "/run/ssh/sshd_config"]
    # dropbear: the forced command in the key's own line
    subprocess.run(["dropbearkey", "-t", "ed25519", "-f", f"{home}/host"], check=True, capture_output=True)
    with open(f"{home}/user.pub") as key, open(f"{home}/.ssh/authorized_keys", "w") as keys:
        forcing = f'command="{attach}",no-port-forwarding,no-agent-forwarding,no-X11-forwarding ' if forced else ""
        keys.write(forcing + key.read())
    return ["dropbear", "-F", "-E", "-s", "-p", f"127.0.0.1:{port}", "-r", "/run/ssh/host", "-P", "/run/ssh/pid"]


def start_ssh_server(sandbox, server):
    """A real ssh server in the world, with ttyweave-attach the forced command of tessaline; the command that logs in
    through it, to be run on a terminal of the test."""
    home = sandbox.path("run/ssh")  # /run/ssh in the world, where tessaline can reach it
    os.makedirs(f"{home}/.ssh")
    os.mkdir(sandbox.path("run/sshd"))  # sshd's privilege separation folder
    sandbox.write("passwd", "root:x:0:0:root:/root:/bin/sh\ntessaline:x:4242:4242::/run/ssh:/bin/sh\n"
                  "sshd:x:4343:65534::/run/sshd:/usr/sbin/nologin\n")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{home}/user"], check=True)
    shutil.copy(ATTACH[-1], f"{home}/ttyweave-attach")
    port = free_port()
    command = server_command(server, home, port, " ".join([*ATTACH[:-1], "/run/ssh/ttyweave-attach"]))
    with open(sandbox.path("server.log"), "w") as log:
        sandbox.spawn(sandbox.world(command), log)
    assert wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0), sandbox.read("server.log")
    return ["ssh", "-tt", "-F", "/dev/null", "-i", f"{home}/user", "-p", str(port), "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "tessaline@127.0.0.1"]


@pytest.mark.parametrize("server", ["sshd", "dropbear"])
def test_ssh_lands_in_the_session_and_the_detach_key_ends_it(sandbox, server):
    login = start_ssh_server(sandbox, server)
    sandbox.start(ECHO_LINES, settings=NETWORK)
    other = Terminal(sandbox.socket_path)
    assert other.wait_for(b"history\n")
    user = sandbox.pty()
    client = sandbox.spawn(login, user.slave, subprocess.PIPE, stdin=user.slave, start_new_session=True)
    assert user.wait_for(b"history\n"), sandbox.read("server.log")
    user.write(b"over ssh\n")
    assert user.wait_for(b"got over ssh\n") and other.wait_for(b"got over ssh\n")
    user.write(DETACH)
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"[detached]")
