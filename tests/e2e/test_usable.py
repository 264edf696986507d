# SPDX-License-Identifier: MIT
"""A session a person can use: the session programs the README and the units name, typed into as a person types
(Enter is CR), from a network terminal and from the serial console; the client's help and refusals."""
import os
import re
import shutil
import socket
import subprocess

import pytest

from conftest import (ATTACH, DAEMON, DEADLINE, ENTER_WORLD, Terminal, runnable_by_anyone, skip_when_emulated,
                      wait_until)
from test_attach import DETACH, ECHO_LINES, free_port, server_command

DIST = os.path.join(os.path.dirname(__file__), "../../dist")
WITH_TERMINAL = f"{DIST}/with-terminal"
SHARED = {"telnet": "23", "serial_with_telnet": "1"}
PASSWORD = "weave"


def unit_environment(unit="ttyweave.service"):
    """The Environment= settings of a unit from dist/, as a dict."""
    with open(f"{DIST}/{unit}") as text:
        settings = re.findall(r'^Environment="?([A-Z_]+)=(.*?)"?$', text.read(), re.M)
    return dict(settings)


def accounts(sandbox):
    """The world's own users, root's password PASSWORD, and login records; the shadow file to bind over the machine's."""
    hashed = subprocess.run(["openssl", "passwd", "-6", PASSWORD], capture_output=True, text=True).stdout.strip()
    sandbox.write("passwd", "root:x:0:0:root:/root:/bin/sh\ntessaline:x:4242:4242::/nonexistent:/bin/false\n")
    sandbox.write("shadow", f"root:{hashed}:19000:0:99999:7:::\n")
    for record in "wtmp", "btmp", "lastlog":
        sandbox.write(f"log/{record}", "")  # the world's /var/log
    return [sandbox.path("shadow"), "/etc/shadow"]


def in_the_foreground(command):
    """Whether `command` runs in its terminal's foreground process group, where ^C reaches it."""
    table = subprocess.run(["ps", "-eo", "pgid=,tpgid=,args="], capture_output=True, text=True).stdout.splitlines()
    return any(pgid == tpgid and args == command for pgid, tpgid, args in (line.split(None, 2) for line in table))


# Each program as the README and the units write it, what a person answers to its prompts, and the status `exit 3`
# ends the session with: a shell's own; Debian's and BusyBox's login wait for the shell and end with 0 themselves.
LOGIN = [(b"login: ", b"root\r"), (b"assword: ", PASSWORD.encode() + b"\r")]
PROGRAMS = {
    "agetty": (unit_environment()["TTYWEAVE_PROGRAM"].split(), LOGIN, False, 0),
    "login -f": ([WITH_TERMINAL, "/bin/login", "-f", "root"], [], False, 0),
    "shell": ([WITH_TERMINAL, "/bin/sh", "-i"], [], False, 3),
    "busybox": (["/sbin/getty", "-L", "0", "-", "vt100"], LOGIN, True, 0),
}


@pytest.mark.parametrize("typist", ["network", "serial"])
@pytest.mark.parametrize("name", PROGRAMS)
def test_a_named_session_program_prompts_echoes_runs_lines_on_enter_takes_ctrl_c_and_exits(sandbox, name, typist):
    program, prompts, busybox, status = PROGRAMS[name]
    binds = accounts(sandbox)
    if busybox:  # BusyBox's own getty, login and shell, as a BusyBox system has them
        binds += [item for applet in ["/sbin/getty", "/bin/login", "/bin/sh"] for item in ["/bin/busybox", applet]]
    sandbox.env = {"TERM": None, **unit_environment()}
    # SIGINT at its default action, as init starts the daemon (a shell's background job, the test's, ignores it).
    launcher = ["env", "--default-signal=INT,QUIT", "sh", "-c", ENTER_WORLD, "binds", *binds, "--"]
    daemon = sandbox.start(program, settings=SHARED, launcher=launcher)
    user = Terminal(sandbox.socket_path) if typist == "network" else sandbox.console
    for prompt, answer in prompts:
        assert user.wait_for(prompt), (user.data, daemon.stderr())
        user.write(answer)
    assert user.wait_for(b"# "), (user.data, daemon.stderr())
    user.write(b"echo A-$((6*7))\r")
    assert user.wait_for(b"echo A-$((6*7))\r\nA-42\r\n"), (user.data, daemon.stderr())
    user.write(b"sleep 86399\r")
    assert wait_until(lambda: in_the_foreground("sleep 86399")), (user.data, daemon.stderr())
    user.data.clear()
    user.write(b"\x03")  # ^C ends the sleep long before it would end: a new prompt
    assert user.wait_for(b"# "), (user.data, daemon.stderr())
    user.write(b"echo B-$((6*7))\r")
    assert user.wait_for(b"B-42\r\n"), (user.data, daemon.stderr())
    user.write(b"exit 3\r")
    assert daemon.wait() == status, (user.data, daemon.stderr())


def accounts_as_left_by(sandbox, name, action):
    """Runs the package's maintainer script `name` with `action` in a world of its own (a copy of /etc with its own
    user lists, its own /run, /var/lib and /var/log), then gives the daemon's world the accounts it left, tessaline's
    home and shell in /run/ssh."""
    root = sandbox.path("root")
    if not os.path.isdir(root):
        for folder in "", "run", "lib", "log":
            os.mkdir(f"{root}/{folder}")
        subprocess.run(["cp", "-a", "/etc", f"{root}/etc"], check=True)
        users = {"passwd": "root:x:0:0:root:/root:/bin/sh\n", "group": "root:x:0:\nadm:x:4:\n",
                 "shadow": "root:*:19000:0:99999:7:::\n", "gshadow": "root:*::\nadm:*::\n", "shells": "/bin/sh\n"}
        for file, text in users.items():
            sandbox.write(f"root/etc/{file}", text)
    binds = [f"{root}/etc", "/etc", f"{root}/run", "/run", f"{root}/lib", "/var/lib", f"{root}/log", "/var/log"]
    result = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", ENTER_WORLD, "package", *binds,
                             "--", "sh", f"{DIST}/debian/ttyweave/{name}", action], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    for file in "passwd", "shadow", "shells":
        with open(f"{root}/etc/{file}") as text:
            sandbox.write(file, text.read().replace("/var/lib/ttyweave:", "/run/ssh:")
                          .replace("/usr/bin/ttyweave-attach", "/run/ssh/ttyweave-attach"))
    sandbox.write("passwd", sandbox.read("passwd") + "sshd:x:4343:65534::/run/sshd:/usr/sbin/nologin\n")
    return sandbox.read("passwd")


def ssh(sandbox, port, *command):
    """An ssh client with the user's key, on a terminal of the test; (process, terminal)."""
    user = sandbox.pty()
    client = sandbox.spawn(["ssh", "-tt", "-F", "/dev/null", "-i", sandbox.path("run/ssh/user"), "-p", str(port),
                            "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
                            "UserKnownHostsFile=/dev/null", "tessaline@127.0.0.1", *command], user.slave,
                           subprocess.STDOUT, stdin=user.slave, start_new_session=True)
    return client, user


@pytest.mark.parametrize("server", ["sshd", "dropbear"])
def test_a_key_without_forced_command_lands_in_the_session_only_and_none_logs_in_after_purge(sandbox, server):
    skip_when_emulated("the ssh server runs the account's login shell itself")
    home = sandbox.path("run/ssh")  # /run/ssh in the world; nothing forces a command: no sshd settings, no command=
    os.makedirs(f"{home}/.ssh")
    os.mkdir(sandbox.path("run/sshd"))
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{home}/user"], check=True)
    shutil.copy(ATTACH[-1], f"{home}/ttyweave-attach")
    port = free_port()
    command = server_command(server, home, port, "", forced=False)
    installed = accounts_as_left_by(sandbox, "postinst", "configure")
    assert ":/run/ssh/ttyweave-attach\n" in installed and "/run/ssh/ttyweave-attach\n" in sandbox.read("shells")
    binds = [sandbox.path("shadow"), "/etc/shadow", sandbox.path("shells"), "/etc/shells", "--"]
    with open(sandbox.path("server.log"), "w") as log:
        sandbox.spawn(sandbox.world(["sh", "-c", ENTER_WORLD, "binds", *binds, *command]), log)
    assert wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0), sandbox.read("server.log")
    sandbox.start(ECHO_LINES, settings={"telnet": "23"})
    client, user = ssh(sandbox, port)
    assert user.wait_for(b"history\n"), (user.data, sandbox.read("server.log"))
    user.write(b"over ssh\n")
    assert user.wait_for(b"got over ssh")
    user.write(DETACH)
    assert client.wait(DEADLINE) == 0 and user.wait_for(b"[detached]")
    for other in ["id", "ttyweave-attach /run/dbus/system_bus_socket"]:  # anything but the session: refused
        client, user = ssh(sandbox, port, other)
        assert client.wait(DEADLINE) == 1 and user.wait_for(b"this account only joins the shared session")
        assert b"uid=" not in user.data

    accounts_as_left_by(sandbox, "postrm", "purge")
    assert "/run/ssh/ttyweave-attach" not in sandbox.read("shells")
    client, user = ssh(sandbox, port)
    assert client.wait(DEADLINE) == 255 and b"history" not in user.data, (user.data, sandbox.read("server.log"))


# TERM as the program sees it: the units set it, with-terminal gives vt220 only when there is none (and sets the
# terminal up: its line ends are CR LF).
@pytest.mark.parametrize("env, program, seen", [
    (unit_environment(), ["/bin/sh", "-c", 'echo "TERM=$TERM"'], b"TERM=vt220\n"),
    ({}, [WITH_TERMINAL, "/bin/sh", "-c", 'echo "TERM=$TERM"'], b"TERM=vt220\r\n"),
])
def test_the_program_gets_a_terminal_type(sandbox, env, program, seen):
    sandbox.env = {"TERM": None, **env}
    daemon = sandbox.start(program, settings=SHARED)
    assert daemon.wait() == 0 and sandbox.console.wait_for(seen), sandbox.console.data


@pytest.mark.parametrize("command, out", [
    ([*ATTACH, "--help"], r"usage: ttyweave-attach \[-r\] .*-e KEY .*login shell.*ttyweave-attach\(1\)"),
    ([*ATTACH, "-h"], r"usage: ttyweave-attach \[-r\] "), ([*ATTACH, "--version"], r"ttyweave-attach \d+\.\d+\.\d+\n$"),
    ([*DAEMON, "--help"], r"Usage: ttyweave <prog>.*serial console.*Registry.*with-terminal.*ttyweave\(8\)"),
])
def test_help_and_version_answer_on_standard_output(command, out):
    answer = subprocess.run(command, capture_output=True, text=True, timeout=DEADLINE)
    assert (answer.returncode, answer.stderr) == (0, "") and re.match(out, answer.stdout, re.S), answer


def test_a_client_without_a_terminal_is_refused_on_standard_error_and_the_viewers_socket_names_its_user(sandbox):
    sandbox.start(ECHO_LINES, settings={"telnet": "23"}, console={"viewers": "1"})
    terminals = sandbox.terminals(8)
    assert all(terminal.wait_for(b"history\n") for terminal in terminals)
    refused = subprocess.run(ATTACH + [sandbox.socket_path], stdin=subprocess.DEVNULL, capture_output=True,
                             timeout=DEADLINE)
    assert (refused.returncode, refused.stdout, refused.stderr) == (
        1, b"", b"ttyweave-attach: refused: Too many terminals\n")
    # tessaline at the viewers' socket: the refusal names the user it is for
    wrong_user = subprocess.run(sandbox.world(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups",
                                               *runnable_by_anyone(ATTACH), "-r", "/var/run/ttyweave-view-socket"]),
                                stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=DEADLINE)
    assert wrong_user.returncode == 1 and wrong_user.stderr.endswith(
        "the socket is for the user tessaline-view and root only\n"), wrong_user.stderr
