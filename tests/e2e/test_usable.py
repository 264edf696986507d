# SPDX-License-Identifier: MIT
"""A session a person can use: the session programs the README and the units name, typed into as a person types
(Enter is CR), from a network terminal and from the serial console; the client's help and refusals."""
import os
import re
import subprocess

import pytest

from conftest import ATTACH, DEADLINE, ENTER_WORLD, Terminal

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
    """A user list and shadow file of the world's own, root's password PASSWORD, and a launcher that binds the
    shadow file and fresh login records over the machine's."""
    hashed = subprocess.run(["openssl", "passwd", "-6", PASSWORD], capture_output=True, text=True).stdout.strip()
    sandbox.write("passwd", "root:x:0:0:root:/root:/bin/sh\ntessaline:x:4242:4242::/nonexistent:/bin/false\n")
    sandbox.write("shadow", f"root:{hashed}:19000:0:99999:7:::\n")
    binds = [sandbox.path("shadow"), "/etc/shadow"]
    for record in "wtmp", "btmp", "lastlog":
        sandbox.write(record, "")
        binds += [sandbox.path(record), f"/var/log/{record}"]
    return binds


# Each program as the README and the units write it, and what a person answers to its prompts.
LOGIN = [(b"login: ", b"root\r"), (b"assword: ", PASSWORD.encode() + b"\r")]
PROGRAMS = {
    "agetty": (unit_environment()["TTYWEAVE_PROGRAM"].split(), LOGIN, False),
    "login -f": ([WITH_TERMINAL, "/bin/login", "-f", "root"], [], False),
    "shell": ([WITH_TERMINAL, "/bin/sh", "-i"], [], False),
    "busybox": (["/sbin/getty", "-L", "0", "-", "vt100"], LOGIN, True),
}


@pytest.mark.parametrize("typist", ["network", "serial"])
@pytest.mark.parametrize("name", PROGRAMS)
def test_a_named_session_program_prompts_echoes_runs_a_line_on_enter_and_ends_with_the_exit_status(sandbox, name,
                                                                                                  typist):
    program, prompts, busybox = PROGRAMS[name]
    binds = accounts(sandbox)
    if busybox:  # BusyBox's own getty and login, as a BusyBox system has them
        binds += ["/bin/busybox", "/sbin/getty", "/bin/busybox", "/bin/login"]
    sandbox.env = {"TERM": None, **unit_environment()}
    daemon = sandbox.start(program, settings=SHARED, launcher=["sh", "-c", ENTER_WORLD, "binds", *binds, "--"])
    user = Terminal(sandbox.socket_path) if typist == "network" else sandbox.console
    for prompt, answer in prompts:
        assert user.wait_for(prompt), (user.data, daemon.stderr())
        user.write(answer)
    assert user.wait_for(b"# "), (user.data, daemon.stderr())
    user.write(b"echo A-$((6*7))\r")
    assert user.wait_for(b"echo A-$((6*7))\r\nA-42\r\n"), (user.data, daemon.stderr())
    user.write(b"exit 3\r")
    assert daemon.wait() == 3, (user.data, daemon.stderr())
