# SPDX-License-Identifier: MIT
"""Start-up: the usage text, the settings that choose the mode, serial-only mode, the process group
and the console."""
import fcntl
import os
import re
import signal
import socket
import subprocess
import termios

import pytest

from conftest import PRINTK, SHOW_ENV, USAGE, Pty, cooked

SHARED, SERIAL_ONLY, SHARED_WITH_SERIAL = "serial=unset multi=1", "serial=1 multi=unset", "serial=1 multi=1"
READS = 'Read ["networking","telnet"]\nRead ["networking","ssh"]\nRead ["networking","serial_with_telnet"]\n'
NO_REGISTRY = "ttyweave: Registry not found: no owner of com.zarnix.Registry on the system bus\n"
with open(f"{os.path.dirname(__file__)}/../../CMakeLists.txt") as cmake:
    VERSION = re.search(r"project\(ttyweave VERSION (\S+)", cmake.read())[1]
# A Registry that takes every call: it says so, then answers with the error named on its command
# line, or never ("silent").
HUNG_REGISTRY = """import sys, dbus, dbus.lowlevel as low, dbus.mainloop.glib; from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1]); bus.request_name("com.zarnix.Registry")
def take(connection, call):
    if not isinstance(call, low.MethodCallMessage): return low.HANDLER_RESULT_NOT_YET_HANDLED
    print(call.get_member(), *call.get_args_list(), flush=True)
    if sys.argv[2] != "silent": connection.send_message(low.ErrorMessage(call, sys.argv[2], "refused"))
    return low.HANDLER_RESULT_HANDLED
bus.add_message_filter(take); print("ready", flush=True); GLib.MainLoop().run()"""


# The Registry is consulted before the usage text; the options about the daemon itself answer on
# standard output without it.
@pytest.mark.parametrize("args, status, out, err, reads", [
    ([], 1, "", USAGE, READS), (["--help", "x"], 0, USAGE, "", ""), (["-h"], 0, USAGE, "", ""),
    (["--version"], 0, f"ttyweave {VERSION}\n", "", ""),
])
def test_usage_help_and_version(sandbox, args, status, out, err, reads):
    daemon = sandbox.start(args, settings={"telnet": "23"})
    assert daemon.wait() == status
    assert daemon.stderr() == err and sandbox.console.wait_for(out.encode())
    assert sandbox.read("registry.log") == "ready\n" + reads


@pytest.mark.parametrize("answer, reason, calls", [
    ("silent", "not answering: no reply in time", "Read networking telnet\n"),  # the rest: not asked
    ("org.freedesktop.DBus.Error.AccessDenied", "error: org.freedesktop.DBus.Error.AccessDenied",
     "Read networking telnet\nRead networking ssh\nRead networking serial_with_telnet\n"),
])
def test_a_registry_that_fails_costs_seconds_and_the_daemon_says_why_it_runs_serial_only(sandbox, answer,
                                                                                        reason, calls):
    registry = sandbox.spawn(["/usr/bin/python3", "-c", HUNG_REGISTRY, sandbox.start_bus(), answer], subprocess.PIPE)
    assert registry.stdout.readline() == b"ready\n"
    daemon = sandbox.start(SHOW_ENV)
    assert daemon.wait(timeout=10) == 0  # the library's default waits 25 s for each of three reads
    assert daemon.stderr() == f"ttyweave: Registry {reason}\nttyweave: serial console only\n{SERIAL_ONLY}\n"
    registry.kill()
    assert registry.stdout.read().decode() == calls


def test_without_a_bus_one_line_says_so_and_the_program_runs_serial_only(sandbox):
    sandbox.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/bus"
    unavailable = r"ttyweave: Registry unavailable: [^\n]*No such file or directory[^\n]*\n"
    usage = sandbox.start([])
    assert usage.wait() == 1
    assert re.fullmatch(unavailable + re.escape(USAGE), usage.stderr())
    daemon = sandbox.start(SHOW_ENV)
    assert daemon.wait() == 0
    assert re.fullmatch(unavailable + f"ttyweave: serial console only\n{SERIAL_ONLY}\n", daemon.stderr())


@pytest.mark.parametrize("settings, seen", [
    ({"telnet": "23"}, SHARED), ({"telnet": "+23"}, SHARED), ({"telnet": "0023"}, SHARED),
    ({"telnet": "1"}, SHARED), ({"telnet": "65535"}, SHARED), ({"ssh": "22"}, SHARED),
    ({"telnet": "0", "ssh": "22"}, SHARED), ({"telnet": "23", "ssh": "junk"}, SHARED),
    ({"telnet": "0"}, SERIAL_ONLY), ({"telnet": "65536"}, SERIAL_ONLY), ({"telnet": "-23"}, SERIAL_ONLY),
    ({"telnet": " 23"}, SERIAL_ONLY), ({"telnet": "23 "}, SERIAL_ONLY), ({"telnet": "0x17"}, SERIAL_ONLY),
    ({"telnet": ""}, SERIAL_ONLY), ({"ssh": "99999999999"}, SERIAL_ONLY), ({}, SERIAL_ONLY),
    ({"telnet": "23", "serial_with_telnet": "-1"}, SHARED_WITH_SERIAL),
    ({"ssh": "22", "serial_with_telnet": "0"}, SHARED), ({"telnet": "23", "serial_with_telnet": "on"}, SHARED),
])
def test_settings_choose_the_mode_and_the_program_learns_it(sandbox, settings, seen):
    sandbox.env.update(CONSOLE_SERIAL="0", CONSOLE_MULTI="0")  # inherited values must not leak through
    daemon = sandbox.start(SHOW_ENV, settings=settings)
    assert daemon.wait() == 0
    if seen == SERIAL_ONLY:
        assert daemon.stderr() == f"ttyweave: serial console only\n{seen}\n"
    else:
        assert {"ttyweave: Starting listener", seen} <= set(daemon.stderr().splitlines()), daemon.stderr()


def test_in_serial_only_mode_the_daemon_becomes_the_program(sandbox):
    daemon = sandbox.start(["sh", "-c", 'echo "$0|$1|$2|$$" >&2; exit 7', "zero", "-x", "a b"])
    assert daemon.wait() == 7
    assert daemon.stderr() == f"{NO_REGISTRY}ttyweave: serial console only\nzero|-x|a b|{daemon.pid}\n"


@pytest.mark.parametrize("process_group, status, report", [
    (None, 0, NO_REGISTRY + "Failed to setpgid: Operation not permitted\nttyweave: serial console only\n{pid} {pid}\n"),
    (0, 1, NO_REGISTRY + "Unhandled exception of type 'St13runtime_error'.\n  what(): Group leader but not a session leader\n"),
], ids=["ordinary child", "group leader"])
def test_the_daemon_makes_itself_a_session_and_group_leader_unless_it_leads_a_group(sandbox, process_group,
                                                                                    status, report):
    daemon = sandbox.start(["/bin/sh", "-c", "cut -d' ' -f5,6 /proc/$$/stat >&2"], session_leader=False,
                           process_group=process_group)
    assert daemon.wait() == status
    assert daemon.stderr() == report.format(pid=daemon.pid)


def test_in_serial_only_mode_a_terminal_on_standard_input_is_left_as_it_was(sandbox):
    serial = Pty()
    sandbox.serial = serial.slave_path
    settings, serial_settings = cooked(sandbox.console.slave), termios.tcgetattr(serial.slave)
    daemon = sandbox.start(["/bin/sh", "-c", "echo on-console"])
    assert daemon.wait() == 0 and sandbox.console.wait_for(b"on-console")
    assert termios.tcgetattr(sandbox.console.slave) == settings
    assert termios.tcgetattr(serial.slave) == serial_settings


# As init hands the console over: cooked, the controlling terminal, and 0, 1 and 2 one open file.
@pytest.mark.parametrize("end, status, refuse", [("program", 0, ()), ("sigterm", 121, ()),
                                                 ("start-up failure", 1, [("signalfd4",)])])
def test_a_console_handed_over_cooked_is_raw_for_the_session_and_restored_after(sandbox, end, status, refuse):
    console = sandbox.console
    settings, flags = cooked(console.slave), fcntl.fcntl(console.slave, fcntl.F_GETFL)
    daemon = sandbox.start(["/bin/sh", "-c", "grep flags /proc/$$/fdinfo/2 >&2; echo ready; head -c 6 | od -An -tx1"],
                           settings={"telnet": "23", "serial_with_telnet": "1", "telnet_log_level": "1"}, as_init=True,
                           refuse=refuse)
    if end != "start-up failure":
        assert console.wait_for(b"ready\n"), console.data
        assert int(re.search(rb"flags:\s+(\d+)", console.data)[1], 8) & os.O_NONBLOCK == 0  # the program's stderr
    if end == "program":
        console.write(b"Q\x03\x1a\x1c\x13\x15")  # no Enter; ^C, ^Z, ^\\, ^S and ^U are the program's bytes
        assert console.wait_for(b" 51 03 1a 1c 13 15\n"), console.data
        assert b"Q" not in console.data  # the console itself echoes nothing
    elif end == "sigterm":
        os.kill(daemon.pid, signal.SIGTERM)
    assert daemon.wait() == status
    assert termios.tcgetattr(console.slave) == settings and fcntl.fcntl(console.slave, fcntl.F_GETFL) == flags
    assert sandbox.read("printk") == (PRINTK if refuse else PRINTK.split()[0])  # the console log level as it was


# A pseudo-terminal master cannot be opened again (that would make a new pseudo-terminal): its own
# open file serves the session and gets its flags back.
def test_a_pseudo_terminal_master_as_console_serves_on_its_own_open_file(sandbox):
    console, flags = sandbox.console, fcntl.fcntl(sandbox.console.fd, fcntl.F_GETFL)
    daemon = sandbox.start(["/bin/sh", "-c", "head -c 2 >/dev/null; exit 0"], stdin=console.fd,
                           settings={"telnet": "23", "serial_with_telnet": "1"})
    os.write(console.slave, b"ok")  # keys typed on the console reach the program
    assert daemon.wait() == 0 and fcntl.fcntl(console.fd, fcntl.F_GETFL) == flags


def test_without_a_terminal_the_serial_line_is_opened_raw_at_115200_8n1(sandbox):
    serial = Pty()
    sandbox.serial = serial.slave_path
    cooked(serial.slave)
    daemon = sandbox.start(["/bin/sh", "-c", 'echo ready; read line; echo "got $line"; echo on-stderr >&2'],
                           stdin=subprocess.DEVNULL)
    assert serial.wait_for(b"ready"), daemon.stderr()
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(serial.slave)
    assert (ispeed, ospeed) == (termios.B115200, termios.B115200)
    assert iflag & (termios.ICRNL | termios.IXON | termios.BRKINT) == 0 and oflag & termios.OPOST == 0
    assert lflag & (termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN) == 0
    assert cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB) == termios.CS8
    assert cc[termios.VMIN] in (1, b"\x01")
    serial.write(b"hello\n")
    assert serial.wait_for(b"got hello")
    assert daemon.wait() == 0
    assert daemon.stderr() == NO_REGISTRY + "ttyweave: serial console only\non-stderr\n"


@pytest.mark.parametrize("device, status, report", [
    ("file", 0, NO_REGISTRY + "Failed to get serial configuration: Inappropriate ioctl for device\n"
                "ttyweave: serial console only\n"
                "Failed to make our terminal controlling: Inappropriate ioctl for device\nran\n"),
    ("socket", 1, NO_REGISTRY + "Failed to open console /dev/ttyS0: No such device or address\n"),  # open fails with ENXIO
])
def test_a_serial_device_that_is_no_terminal_still_serves_and_one_that_cannot_be_opened_ends_start_up(
        sandbox, device, status, report):
    if device == "socket":
        sandbox.serial = sandbox.path("socket")
        socket.socket(socket.AF_UNIX).bind(sandbox.serial)
    daemon = sandbox.start(["/bin/sh", "-c", "echo ran >&2"], stdin=subprocess.DEVNULL)
    assert daemon.wait() == status
    assert daemon.stderr() == report


def test_a_program_that_cannot_run_ends_start_up_with_a_critical_kernel_log_record(sandbox, kernel_log):
    daemon = sandbox.start(["ttyweave-no-such-program", "arg"])
    assert daemon.wait() == 1
    assert daemon.stderr() == (NO_REGISTRY + "ttyweave: serial console only\nUnhandled exception of type '14ErrnoException'.\n"
                               "  what(): ttyweave-no-such-program: No such file or directory (2)\n")
    priority, _, message = kernel_log.wait_for(f"User space assert from process {daemon.pid}: false")
    assert priority & 7 == 2
    assert message.endswith(r"\x0aASSERT Executing lib/platform/exception_handlers:41:"
                            r"void {anonymous}::TerminateHandler()")
