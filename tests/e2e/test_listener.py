# SPDX-License-Identifier: MIT
"""The socket through which network terminals arrive, and what the program inherits."""
import errno
import os
import re
import resource
import socket
import stat

import pytest

from conftest import OWNER_UID, VIEWER_UID, Terminal, cpu_over

NETWORK = {"telnet": "23"}
WAIT = ["/bin/sh", "-c", "echo ready; read x"]


def connect_as(uid, path):
    """0 when a process of `uid` can connect to the socket, else the error number."""
    pid = os.fork()
    if pid == 0:
        os.chdir(os.path.dirname(path))  # so that no folder above it needs to be open to `uid`
        os.setgid(uid)
        os.setuid(uid)
        os._exit(socket.socket(socket.AF_UNIX).connect_ex(os.path.basename(path)))
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o077])
def test_only_its_owner_and_root_reach_the_socket_whatever_the_umask(sandbox, umask):
    sandbox.write("run/ttyweave-socket", "left by an earlier run")
    sandbox.start(WAIT, settings=NETWORK, umask=umask)
    assert Terminal(sandbox.socket_path).wait_for(b"ready\n")
    socket_file = os.stat(sandbox.socket_path)
    assert stat.S_ISSOCK(socket_file.st_mode) and stat.S_IMODE(socket_file.st_mode) == 0o700
    assert socket_file.st_uid == OWNER_UID
    assert connect_as(OWNER_UID, sandbox.socket_path) == 0
    assert connect_as(OWNER_UID + 1, sandbox.socket_path) == errno.EACCES


def test_the_socket_never_exists_with_more_access_than_its_owners(sandbox):
    """With chmod refused, the socket stays as bind made it."""
    daemon = sandbox.start(WAIT, settings=NETWORK, umask=0, refuse=[("chmod",), ("fchmodat",)])
    assert daemon.wait_stderr("ttyweave: Unable to start telnet listener: chmod: Operation not permitted (1)\n")
    assert stat.S_IMODE(os.stat(sandbox.socket_path).st_mode) == 0o700


@pytest.mark.parametrize("obstacle, why", [
    ("owner", "User 'tessaline'not found"), ("directory", "bind: Address already in use (98)")])
def test_without_a_listener_the_serial_console_alone_serves_the_program(sandbox, obstacle, why):
    if obstacle == "owner":
        sandbox.write("passwd", "root:x:0:0:root:/root:/bin/sh\n")
    else:
        os.mkdir(sandbox.socket_path)  # cannot be unlinked, and makes bind fail
    daemon = sandbox.start(["/bin/sh", "-c", "echo from-program; read line; exit 4"],
                           settings=dict(NETWORK, serial_with_telnet="1"))
    assert sandbox.console.wait_for(b"from-program"), daemon.stderr()
    sandbox.console.write(b"\n")
    assert daemon.wait() == 4
    assert f"ttyweave: Starting listener\nttyweave: Unable to start telnet listener: {why}\n" in daemon.stderr()
    assert obstacle != "owner" or not os.path.exists(sandbox.socket_path)


@pytest.mark.parametrize("settings", [
    dict(NETWORK, serial_with_telnet="1", telnet_log_level="4"), {}], ids=["shared", "serial-only"])
def test_the_program_holds_only_its_standard_descriptors(sandbox, settings):
    daemon = sandbox.start(["ls", "-l", "/proc/self/fd/"], settings=settings)
    assert daemon.wait() == 0 and sandbox.console.wait_for(b" 2 -> "), daemon.stderr()
    listing = re.findall(rb" (\d+) -> (\S+)", sandbox.console.data)
    assert [int(fd) for fd, target in listing if not target.startswith(b"/proc/")] == [0, 1, 2], listing


def test_a_connection_that_waits_out_a_failed_accept_is_taken_in_soon_after(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", "echo history; read x"], settings=NETWORK)
    first = Terminal(sandbox.socket_path)  # kept: its descriptor in the daemon stays taken
    assert first.wait_for(b"history\n")
    held = {int(fd) for fd in os.listdir(f"/proc/{daemon.pid}/fd")}
    lowest_free = min(set(range(len(held) + 1)) - held)
    soft_limit = resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE)
    # The next descriptor is out of reach.
    resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE, (lowest_free, soft_limit[1]))
    waiting = Terminal(sandbox.socket_path)
    assert daemon.wait_stderr("Accept failed: Too many open files\n")
    assert cpu_over(daemon.pid, 1) < 0.3, "the daemon spins on the waiting connection"
    resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE, soft_limit)
    # Nothing else happens meanwhile: only the daemon's own retry takes the connection in.
    assert waiting.wait_for(b"history\n", timeout=3)


@pytest.mark.parametrize("viewer_user", [True, False])
def test_viewers_see_everything_count_among_the_eight_and_never_type(sandbox, viewer_user):
    if not viewer_user:
        sandbox.write("passwd", f"root:x:0:0:root:/root:/bin/sh\ntessaline:x:{OWNER_UID}:1::/:/bin/sh\n")
    daemon = sandbox.start(["/bin/sh", "-c", 'echo ready; while read line; do echo "got $line"; done'],
                           settings=NETWORK, console={"viewers": "1"})
    view_path = sandbox.path("run/ttyweave-view-socket")
    terminals = sandbox.terminals(7)
    assert all(t.wait_for(b"ready\n") for t in terminals), daemon.stderr()
    me = f"uid 0, pid {os.getpid()}"
    if not viewer_user:
        assert daemon.stderr().count("ttyweave: Unable to start viewer listener: User 'tessaline-view'not found\n") == 1
        assert not os.path.exists(view_path)
        terminals[0].write(b"typed\n")
        assert terminals[6].wait_for(b"got typed\n")
        return
    socket_file = os.stat(view_path)
    assert (stat.S_IMODE(socket_file.st_mode), socket_file.st_uid) == (0o700, VIEWER_UID)
    viewer = Terminal(view_path)
    assert viewer.wait_for(b"ready\n")
    refused = Terminal(sandbox.socket_path)  # the viewer took the eighth place
    assert refused.wait_end() and refused.data == b"Too many terminals"
    viewer.write(b"from-viewer\n")  # taken by the connection, never read
    terminals[0].write(b"typed\n")
    assert all(t.wait_for(b"got typed\n") for t in terminals + [viewer])
    terminals[1].close()
    viewer.close()
    terminals[0].write(b"more\n")
    assert terminals[0].wait_for(b"got more\n") and b"from-viewer" not in terminals[0].data
    assert daemon.wait_stderr(f"ttyweave: Terminal 8 (viewer, {me}) left: it closed\n"), daemon.stderr()
    for line in [f"Terminal 1 (network, {me}) arrived", f"Terminal 8 (viewer, {me}) arrived",
                 f"Terminal (network, {me}) refused: too many terminals", f"Terminal 2 (network, {me}) left: it closed"]:
        assert f"ttyweave: {line}\n" in daemon.stderr()
