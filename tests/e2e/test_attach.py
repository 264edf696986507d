"""ttyweave-attach: a person's terminal joined to the shared session, directly or behind sshd."""
import os
import shutil
import socket
import subprocess
import termios

from conftest import BUILD, DEADLINE, Pty, Terminal, cooked, wait_until

ATTACH = f"{BUILD}/apps/ttyweave-attach/ttyweave-attach"
NETWORK = {"telnet": "23"}
DETACH = b"\x1c"  # ^\
ECHO_LINES = ["/bin/sh", "-c", 'echo history; while read a; do echo "got $a"; done']


def attach(path, user, *options, output=None):
    """The client with `user` (a pseudo-terminal of the test) as its terminal."""
    return subprocess.Popen([ATTACH, *options, path], stdin=user.slave, stdout=output or user.slave,
                            stderr=subprocess.PIPE, start_new_session=True)


def test_a_terminal_attaches_types_and_is_given_back_as_it_was_on_detach_and_on_the_sessions_end(sandbox):
    sandbox.start(["/bin/sh", "-c", 'echo history; read a; echo "got $a"; read b'], settings=NETWORK)
    Terminal(sandbox.socket_path).close()  # the daemon listens
    user = Pty()
    before = cooked(user.slave)
    client = attach(sandbox.socket_path, user)
    assert user.wait_for(b"history\n")
    assert termios.tcgetattr(user.slave)[3] & (termios.ICANON | termios.ECHO) == 0
    user.write(b"typed\n")
    assert user.wait_for(b"got typed\n")
    user.write(DETACH)
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"got typed\n\r\n[detached]\r\n")
    assert termios.tcgetattr(user.slave) == before
    user.data.clear()
    client = attach(sandbox.socket_path, user)
    assert user.wait_for(b"history\ngot typed\n")
    user.write(b"bye\n")  # the program ends, and with it the session
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"\r\n[session ended]\r\n")
    assert termios.tcgetattr(user.slave) == before


def test_a_read_only_terminal_sends_nothing_a_ninth_is_refused_and_a_missing_socket_is_named(sandbox):
    sandbox.start(ECHO_LINES, settings=NETWORK)
    typist = Terminal(sandbox.socket_path)
    user = Pty()
    client = attach(sandbox.socket_path, user, "-r")
    assert user.wait_for(b"history\n")
    user.write(b"secret\n" + DETACH)
    assert client.wait(DEADLINE) == 0
    typist.write(b"open\n")
    assert typist.wait_for(b"got open\n") and b"secret" not in typist.data
    others = sandbox.terminals(7)
    assert all(t.wait_for(b"history\n") for t in others)
    refused = attach(sandbox.socket_path, user, output=subprocess.PIPE)
    assert refused.communicate(timeout=DEADLINE) == (b"", b"ttyweave-attach: refused: Too many terminals\n")
    assert refused.returncode == 1
    missing = attach(sandbox.path("no-socket"), user)
    assert missing.communicate(timeout=DEADLINE)[1].decode() == (
        f"ttyweave-attach: cannot connect to {sandbox.path('no-socket')}: No such file or directory\n")
    assert missing.returncode == 1


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_ssh_lands_in_the_session_and_the_detach_key_ends_it(sandbox):
    """A real sshd in the world, set up with the fragment from dist/ for the user tessaline."""
    ssh = sandbox.path("run/ssh")  # /run/ssh in the world, where tessaline can reach it
    os.makedirs(ssh)
    os.mkdir(sandbox.path("run/sshd"))  # sshd's privilege separation folder
    sandbox.write("passwd", "root:x:0:0:root:/root:/bin/sh\ntessaline:x:4242:4242::/:/bin/sh\n"
                  "sshd:x:4343:65534::/run/sshd:/usr/sbin/nologin\n")
    for key in "host", "user":
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{ssh}/{key}"], check=True)
    shutil.copy(f"{ssh}/user.pub", f"{ssh}/authorized_keys")
    shutil.copy(ATTACH, f"{ssh}/ttyweave-attach")
    port = free_port()
    with open(os.path.join(os.path.dirname(__file__), "../../dist/ttyweave-sshd.conf")) as fragment:
        match = fragment.read().replace("/usr/bin/ttyweave-attach", "/run/ssh/ttyweave-attach")
    sandbox.write("run/ssh/sshd_config", f"ListenAddress 127.0.0.1:{port}\nHostKey /run/ssh/host\n"
                  "AuthorizedKeysFile /run/ssh/authorized_keys\nUsePAM no\nPidFile none\n" + match)
    with open(sandbox.path("sshd.log"), "w") as log:
        sandbox.spawn(sandbox.world(["/usr/sbin/sshd", "-D", "-e", "-f", "/run/ssh/sshd_config"]), log)
    assert wait_until(lambda: "Server listening" in sandbox.read("sshd.log")), sandbox.read("sshd.log")
    sandbox.start(ECHO_LINES, settings=NETWORK)
    other = Terminal(sandbox.socket_path)
    assert other.wait_for(b"history\n")
    user = Pty()
    client = subprocess.Popen(["ssh", "-tt", "-F", "/dev/null", "-i", f"{ssh}/user", "-p", str(port),
                               "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                               "tessaline@127.0.0.1"], stdin=user.slave, stdout=user.slave,
                              stderr=subprocess.PIPE, start_new_session=True)
    assert user.wait_for(b"history\n"), sandbox.read("sshd.log")
    user.write(b"over ssh\n")
    assert user.wait_for(b"got over ssh\n") and other.wait_for(b"got over ssh\n")
    user.write(DETACH)
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"[detached]")
