"""Start-up: the usage text, the settings that choose the mode, serial-only mode, the process group
and the console."""
import re
import socket
import subprocess
import termios

import pytest

from conftest import SHOW_ENV, USAGE, Pty

SHARED, SERIAL_ONLY, SHARED_WITH_SERIAL = "serial=unset multi=1", "serial=1 multi=unset", "serial=1 multi=1"


def test_the_registry_is_consulted_before_the_usage_text(sandbox):
    daemon = sandbox.start([], settings={"telnet": "23"})
    assert daemon.wait() == 1
    assert daemon.stderr() == USAGE
    assert sandbox.read("registry.log") == ('ready\nRead ["networking","telnet"]\nRead ["networking","ssh"]\n'
                                            'Read ["networking","serial_with_telnet"]\n')


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
    sandbox.env.update(CONSOLE_SERIAL="1", CONSOLE_MULTI="1")  # inherited values must not leak through
    daemon = sandbox.start(SHOW_ENV, settings=settings)
    assert daemon.wait() == 0
    if seen == SERIAL_ONLY:
        assert daemon.stderr() == f"ttyweave: serial console only\n{seen}\n"
    else:
        assert {"ttyweave: Starting listener", seen} <= set(daemon.stderr().splitlines()), daemon.stderr()


def test_in_serial_only_mode_the_daemon_becomes_the_program(sandbox):
    daemon = sandbox.start(["sh", "-c", 'echo "$0|$1|$2|$$" >&2; exit 7', "zero", "-x", "a b"])
    assert daemon.wait() == 7
    assert daemon.stderr() == f"ttyweave: serial console only\nzero|-x|a b|{daemon.pid}\n"


def test_an_ordinary_child_makes_itself_a_session_and_group_leader(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", "cut -d' ' -f5,6 /proc/$$/stat >&2"], session_leader=False)
    assert daemon.wait() == 0
    assert daemon.stderr() == (f"Failed to setpgid: Operation not permitted\nttyweave: serial console only\n"
                               f"{daemon.pid} {daemon.pid}\n")


def test_a_group_leader_that_leads_no_session_does_not_start(sandbox):
    daemon = sandbox.start(SHOW_ENV, session_leader=False, process_group=0)
    assert daemon.wait() == 1
    assert daemon.stderr() == ("Unhandled exception of type 'St13runtime_error'.\n"
                               "  what(): Group leader but not a session leader\n")


def test_a_terminal_on_standard_input_is_left_as_it_was(sandbox):
    serial = Pty()
    sandbox.serial = serial.slave_path
    settings = termios.tcgetattr(sandbox.console.slave)
    settings[3] |= termios.ICANON | termios.ECHO
    settings[4] = settings[5] = termios.B9600
    termios.tcsetattr(sandbox.console.slave, termios.TCSANOW, settings)
    settings = termios.tcgetattr(sandbox.console.slave)
    serial_settings = termios.tcgetattr(serial.slave)
    daemon = sandbox.start(["/bin/sh", "-c", "echo on-console"])
    assert daemon.wait() == 0 and sandbox.console.wait_for(b"on-console")
    assert termios.tcgetattr(sandbox.console.slave) == settings
    assert termios.tcgetattr(serial.slave) == serial_settings


def test_without_a_terminal_the_serial_line_is_opened_raw_at_115200_8n1(sandbox):
    serial = Pty()
    sandbox.serial = serial.slave_path
    cooked = termios.tcgetattr(serial.slave)
    cooked[0] |= termios.ICRNL | termios.IXON | termios.BRKINT
    cooked[1] |= termios.OPOST
    cooked[2] |= termios.PARENB | termios.CSTOPB
    cooked[3] |= termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN
    cooked[4] = cooked[5] = termios.B9600
    termios.tcsetattr(serial.slave, termios.TCSANOW, cooked)
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
    assert daemon.stderr() == "ttyweave: serial console only\non-stderr\n"


def test_a_serial_device_that_is_no_terminal_still_runs_the_program(sandbox):
    daemon = sandbox.start(["/bin/sh", "-c", "echo ran >&2"], stdin=subprocess.DEVNULL)
    assert daemon.wait() == 0
    assert daemon.stderr() == ("Failed to get serial configuration: Inappropriate ioctl for device\n"
                               "ttyweave: serial console only\n"
                               "Failed to make our terminal controlling: Inappropriate ioctl for device\nran\n")


def test_a_serial_device_that_cannot_be_opened_ends_start_up(sandbox):
    sandbox.serial = sandbox.path("socket")  # opening a socket file fails with ENXIO
    socket.socket(socket.AF_UNIX).bind(sandbox.serial)
    daemon = sandbox.start(["/bin/sh", "-c", "echo must-not-run >&2"], stdin=subprocess.DEVNULL)
    assert daemon.wait() == 1
    assert daemon.stderr() == "Failed to open console /dev/ttyS0: No such device or address\n"


def test_a_program_that_cannot_run_ends_start_up_with_a_critical_kernel_log_record(sandbox, kernel_log):
    daemon = sandbox.start(["ttyweave-no-such-program", "arg"])
    assert daemon.wait() == 1
    assert daemon.stderr() == ("ttyweave: serial console only\nUnhandled exception of type '14ErrnoException'.\n"
                               "  what(): ttyweave-no-such-program: No such file or directory (2)\n")
    priority, _, message = kernel_log.wait_for(f"User space assert from process {daemon.pid}: false")
    assert priority & 7 == 2
    assert message.endswith(r"\x0aASSERT Executing lib/platform/exception_handlers:41:"
                            r"void {anonymous}::TerminateHandler()")


def test_without_the_kernel_log_the_assertion_record_goes_to_standard_error(sandbox):
    sandbox.write("no-kmsg", "")
    sandbox.binds.append((sandbox.path("no-kmsg"), "/dev/kmsg", "bind,ro"))
    daemon = sandbox.start(["ttyweave-no-such-program"])
    assert daemon.wait() == 1
    assert daemon.stderr().endswith(
        "  what(): ttyweave-no-such-program: No such file or directory (2)\n\r\nASSERT FAILED: false\r\n"
        "lib/platform/exception_handlers:41:void {anonymous}::TerminateHandler()\r\n\r\n")
