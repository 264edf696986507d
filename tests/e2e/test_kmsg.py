# SPDX-License-Identifier: MIT
"""The kernel log relay: records logged after start-up and more urgent than the configured level
reach the terminals as "{seconds.millis} message" lines; the kernel's own console logging is
turned down only while the relay serves the serial console."""
import os

import pytest

from conftest import PRINTK, Terminal, relayed_line

SEVERITIES = (7, 6, 4, 3)  # the least urgent first: once the line of 3 is there, all were read
OFF = None  # no usable level: the kernel log is not even opened


@pytest.mark.parametrize("level, serial, relayed, printk", [
    ("4", "1", {3}, "0"), ("4", "0", {3}, PRINTK), ("7", "1", {3, 4, 6}, "0"), ("-1", "1", {3, 4, 6, 7}, "0"),
    ("0", "1", set(), "0"), ("", "1", OFF, PRINTK), ("4 ", "1", OFF, PRINTK), ("high", "1", OFF, PRINTK),
    (None, "1", OFF, PRINTK),
])
def test_records_more_urgent_than_the_level_reach_every_terminal(sandbox, kernel_log, level, serial, relayed,
                                                                 printk):
    stem = f"ttyweave-kmsg-{os.getpid()}-{level}-{serial}"
    kernel_log.write(3, f"{stem}-before-start")
    settings = {"telnet": "23", "serial_with_telnet": serial}
    if level is not None:
        settings["telnet_log_level"] = level
    daemon = sandbox.start(["/bin/sh", "-c", "echo ready; read x; echo after"], settings=settings)
    terminal = Terminal(sandbox.socket_path)
    assert terminal.wait_for(b"ready\n")  # the log was opened at its end before the program started
    lines = {}
    for severity in SEVERITIES:
        kernel_log.write(severity, f"{stem}-{severity}")
        lines[severity] = relayed_line(kernel_log.wait_for(f"{stem}-{severity}"))
    if relayed:
        assert terminal.wait_for(lines[min(relayed)]), terminal.data
    held = [os.readlink(f"/proc/{daemon.pid}/fd/{fd}") for fd in os.listdir(f"/proc/{daemon.pid}/fd")]
    assert ("/dev/kmsg" in held) == (relayed is not OFF)
    assert sandbox.read("printk") == printk
    terminal.write(b"x\n")
    assert terminal.wait_for(b"after\n") and daemon.wait() == 0
    assert {s for s, line in lines.items() if line in terminal.data} == (relayed or set())
    assert f"{stem}-before-start".encode() not in terminal.data
    if relayed is OFF:
        assert "Logging" not in daemon.stderr()
    else:
        assert (f"Logging directly to serial console will be disabled\n"
                f"Logging via ttyweave to level {int(level) % 2**32}\n") in daemon.stderr()
    assert sandbox.read("printk") == (PRINTK.split()[0] if printk == "0" else PRINTK)  # its console level back
