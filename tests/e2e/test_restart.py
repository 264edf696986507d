# SPDX-License-Identifier: MIT
"""What one daemon leaves to the next: the kernel's console level after an unclean end, and a socket that
still answers."""
import os

from conftest import PRINTK, Terminal, wait_until

WITH_SERIAL = {"telnet": "23", "serial_with_telnet": "1", "telnet_log_level": "4"}
WAIT = ["/bin/sh", "-c", "echo ready; read x"]


def test_the_console_level_survives_a_killed_session_and_the_next_clean_end_puts_it_back(sandbox):
    killed = sandbox.start(WAIT, settings=WITH_SERIAL)
    assert wait_until(lambda: sandbox.read("printk") == "0"), killed.stderr()
    killed.kill()
    clean = sandbox.start(WAIT)  # the same Registry
    terminal = Terminal(sandbox.socket_path)
    assert terminal.wait_for(b"ready\n") and sandbox.read("printk") == "0"
    terminal.write(b"x\n")
    assert clean.wait() == 0
    assert sandbox.read("printk") == PRINTK.split()[0]
    assert "ttyweave-console-level" not in os.listdir(sandbox.path("run"))  # nothing kept once it is put back


def test_a_second_daemon_leaves_a_running_ones_socket_alone_and_a_stale_socket_is_replaced(sandbox):
    first = sandbox.start(WAIT, settings={"telnet": "23"})
    terminal = Terminal(sandbox.socket_path)
    assert terminal.wait_for(b"ready\n")
    second = sandbox.start(WAIT)
    assert second.wait() == 1
    assert second.stderr() == "ttyweave: Another ttyweave answers on /var/run/ttyweave-socket: not starting\n"
    assert Terminal(sandbox.socket_path).wait_for(b"ready\n")  # still the first one's
    first.kill()  # its socket file stays behind
    third = sandbox.start(WAIT)
    assert Terminal(sandbox.socket_path).wait_for(b"ready\n"), third.stderr()
