# SPDX-License-Identifier: MIT
"""How a shared session ends, with which exit status, and which signals end it."""
import ctypes
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import descendants, process_info, wait_until

NETWORK = {"telnet": "23"}
TIOCSCTTY, TIOCSPGRP = 0x540E, 0x5410


def adopt_orphans():
    """Processes orphaned from now on become this test's children, so it can see how they end."""
    assert ctypes.CDLL(None).prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER


def reap(pid):
    """The wait status of an orphan once it has ended."""
    return wait_until(lambda: os.waitpid(pid, os.WNOHANG)[1] or None)


@pytest.mark.parametrize("program, refuse, status, report", [
    ("exit 3", (), 3, "ttyweave: Received signal 17\nttyweave: Child exited: 3\n"),
    ("kill -KILL $$", (), 122, "ttyweave: Received signal 17\nttyweave: Child exited on signal 9\n"),
    # It closes its terminal first: the session must not hang it up while it still runs.
    ("exec 0<&- 1>&-; sleep 1; exit 7", (), 7, "ttyweave: Received signal 17\nttyweave: Child exited: 7\n"),
    (None, (), 2, "exec failed: No such file or directory\n"),
    ("exit 0", [("setsid",)], 125, "Unable to disassociate from controlling tty\n"),
    ("exit 0", [("ioctl", TIOCSCTTY)], 123, "Failed to set controlling tty: Operation not permitted\n"),
    ("exit 0", [("ioctl", TIOCSPGRP)], 124, "Failed to tcsetpgrp: Operation not permitted\n"),
])
def test_the_programs_end_is_the_sessions_exit_status(sandbox, program, refuse, status, report):
    args = ["/bin/sh", "-c", program] if program else ["/nonexistent/program", "arg"]
    daemon = sandbox.start(args, settings=NETWORK, refuse=refuse)
    assert daemon.wait() == status
    assert report in daemon.stderr()
    assert daemon.stderr().endswith(f"ttyweave: Child exited: {status}\n" if status != 122 else report)


def test_sigterm_ends_the_session_with_121_and_the_program_gets_sigterm_then_sigkill(sandbox):
    adopt_orphans()
    daemon = sandbox.start(["/bin/sh", "-c", "trap 'echo got-term >&2' TERM; echo pid=$$ >&2; "
                            "while :; do sleep 0.05; done"], settings=NETWORK)
    assert daemon.wait_stderr("pid=")
    program = int(re.search(r"pid=(\d+)", daemon.stderr())[1])
    signalled = time.monotonic()
    os.kill(daemon.pid, signal.SIGTERM)
    assert daemon.wait() == 121
    status = reap(program)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    assert 0.95 <= time.monotonic() - signalled < 5, "SIGKILL came without the second's grace, or long after it"
    assert "ttyweave: Received signal 15\n" in daemon.stderr() and "got-term\n" in daemon.stderr()


def test_other_signals_a_stopped_program_and_other_children_are_only_reported(sandbox):
    """Last, a helper that the start script left running ends, then the program, while the daemon is stopped: their
    SIGCHLDs arrive as one record, which names the helper."""
    def waiting_for(flag):
        return f'until [ -e "{sandbox.path(flag)}" ]; do sleep 0.02; done'
    daemon = sandbox.start(["/bin/sh", "-c", f"echo pid=$$ >&2; {waiting_for('program-ends')}; exit 5"],
                           settings=NETWORK, launcher=["/bin/sh", "-c", f'({waiting_for("helper-ends")}) & exec "$@"', "-"])
    assert daemon.wait_stderr("pid=")
    program = int(re.search(r"pid=(\d+)", daemon.stderr())[1])
    expected = ""
    for number, report in [(signal.SIGINT, ""), (signal.SIGHUP, ""), (signal.SIGUSR1, "Unexpected signal 10"),
                           (signal.SIGPIPE, "Unexpected signal 13")]:
        os.kill(daemon.pid, number)
        expected += f"ttyweave: Received signal {number}\n" + (f"ttyweave: {report}\n" if report else "")
        assert daemon.wait_stderr(expected)
    for number in signal.SIGSTOP, signal.SIGCONT:
        os.kill(program, number)
        expected += "ttyweave: Received signal 17\nttyweave: received SIGCHLD but there was nothing to wait for\n"
        assert daemon.wait_stderr(expected)
    os.kill(daemon.pid, signal.SIGSTOP)
    # A short-lived descendant (the waiting loops' sleeps) may be gone by the time it is looked at.
    children = lambda: [info for info in map(process_info, descendants(daemon.pid)) if info]  # noqa: E731
    for ended, flag in enumerate(["helper-ends", "program-ends"], 1):
        sandbox.write(flag, "")
        assert wait_until(lambda: [state for state, _, _ in children()].count("Z") == ended), children()
    os.kill(daemon.pid, signal.SIGCONT)
    assert daemon.wait() == 5
    assert daemon.stderr().endswith(expected + "ttyweave: Received signal 17\nttyweave: Child exited: 5\n"
                                    "ttyweave: Child exited: 0\n")


def test_end_of_file_on_the_serial_console_ends_the_session_with_120(sandbox):
    sandbox.serial = "/dev/null"
    daemon = sandbox.start(["/bin/sh", "-c", "exec sleep 1000"], stdin=subprocess.DEVNULL,
                           settings=dict(NETWORK, serial_with_telnet="1"))
    assert daemon.wait() == 120
    assert "ttyweave: EOF on serial terminal\n" in daemon.stderr()
