# SPDX-License-Identifier: MIT
"""The one fixture of the end-to-end tests: the real daemon binary in a private mount namespace in
which the test's own files stand in for /run (so /var/run/ttyweave-socket), /var/log, /etc/passwd,
/proc/sys/kernel/printk and /dev/ttyS0, on a private system bus with, when the test gives
settings, the Registry service. Every process a test starts is ended by its pid."""
import atexit
import contextlib
import ctypes
import errno
import fcntl
import json
import os
import platform
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import termios
import time
import tty

import pytest

BUILD = os.environ.get("TTYWEAVE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
# A build for another processor runs under a user-mode emulator ("qemu-aarch64-static")
# put in front of each of its programs; what they exec runs natively.
EMULATOR = os.environ.get("TTYWEAVE_EMULATOR", "").split()
DAEMON = [*EMULATOR, f"{BUILD}/apps/ttyweave/ttyweave"]
ATTACH = [*EMULATOR, f"{BUILD}/apps/ttyweave-attach/ttyweave-attach"]
REGISTRY = [*EMULATOR, f"{BUILD}/apps/ttyweave-registry/ttyweave-registry-service"]
USAGE = "Usage: ttyweave <prog> [<params...>]\n"
OWNER_UID = 4242  # "tessaline" in the sandbox's user list
VIEWER_UID = 4243  # "tessaline-view"
PRINTK = "7\t4\t1\t7\n"
DEADLINE = 20  # seconds a condition may take on a loaded machine before its test fails
SHOW_ENV = ["/bin/sh", "-c", 'echo "serial=${CONSOLE_SERIAL-unset} multi=${CONSOLE_MULTI-unset}" >&2']
# Binds each SOURCE over its TARGET, then becomes the command: the daemon keeps the pid.
ENTER_WORLD = 'while [ "$1" != -- ]; do mount --bind "$1" "$2" || exit 126; shift 2; done; shift; exec "$@"'


def runnable_by_anyone(program):
    """`program` (DAEMON, ATTACH, ...) as a copy in a folder every user can reach: the build may lie where another
    user cannot look (a clone in a "mktemp -d" folder), and an emulator opens the program as the user it runs as."""
    if not hasattr(runnable_by_anyone, "folder"):
        runnable_by_anyone.folder = tempfile.mkdtemp()
        os.chmod(runnable_by_anyone.folder, 0o755)
        atexit.register(shutil.rmtree, runnable_by_anyone.folder)
    copy = os.path.join(runnable_by_anyone.folder, os.path.basename(program[-1]))
    if not os.path.exists(copy):
        shutil.copy(program[-1], copy)
    return [*program[:-1], copy]


def skip_when_emulated(reason):
    if EMULATOR:
        pytest.skip(f"under {EMULATOR[0]}: {reason}")


def pump(streams, until, timeout=DEADLINE, size=1 << 16, pause=0):
    """Reads what arrives on `streams`, as it arrives (or at most `size` bytes each, every `pause` seconds: a
    terminal that is slow but keeps taking), until `until()` holds; returns its last value."""
    end = time.monotonic() + timeout
    while not (value := until()) and time.monotonic() < end:
        live = [stream for stream in streams if not stream.ended]
        for stream in select.select(live, [], [], 0.05)[0] if live else []:
            stream.read(size)
        time.sleep(pause if live else 0.01)
    return value


def wait_until(condition, timeout=DEADLINE):
    """Looks at `condition` until it holds or the time is up; returns its last value."""
    return pump([], condition, timeout)


class Stream:
    """What arrives on a descriptor: a network terminal, or one side of a pseudo-terminal."""

    def __init__(self, fd):
        self.fd, self.data, self.ended = fd, bytearray(), False

    def fileno(self):
        return self.fd

    def read(self, size=1 << 16):
        try:
            chunk = os.read(self.fd, size)
        except OSError:  # a pseudo-terminal whose other side is gone
            chunk = b""
        self.data += chunk
        self.ended = not chunk

    def wait_for(self, text, timeout=DEADLINE):
        return pump([self], lambda: text in self.data, timeout)

    def wait_bytes(self, count, timeout=DEADLINE):
        return pump([self], lambda: len(self.data) >= count, timeout)

    def wait_end(self, timeout=DEADLINE):
        return pump([self], lambda: self.ended, timeout)

    def write(self, data):
        os.write(self.fd, data)


class Terminal(Stream):
    """A network terminal: a connection to the session's socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        assert wait_until(lambda: self.sock.connect_ex(path) == 0), f"cannot connect to {path}"
        super().__init__(self.sock.fileno())

    def write(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()


class Pty(Stream):
    """A raw pseudo-terminal; the test reads and writes its master."""

    def __init__(self):
        master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        super().__init__(master)

    def close(self):
        for fd in self.fd, self.slave:
            with contextlib.suppress(OSError):  # closed by the test already
                os.close(fd)


def cooked(fd):
    """Gives a terminal the settings of an ordinary interactive line at 9600 baud; returns them."""
    settings = termios.tcgetattr(fd)
    settings[0] |= termios.ICRNL | termios.IXON | termios.BRKINT
    settings[1] |= termios.OPOST
    settings[2] |= termios.PARENB | termios.CSTOPB
    settings[3] |= termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN
    settings[4] = settings[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, settings)
    return termios.tcgetattr(fd)


class KernelLog:
    """The kernel log's records from now on."""

    def __init__(self):
        self.fd = os.open("/dev/kmsg", os.O_RDONLY | os.O_NONBLOCK)
        os.lseek(self.fd, 0, os.SEEK_END)

    def write(self, severity, text):
        with open("/dev/kmsg", "w") as kmsg:
            kmsg.write(f"<{severity}>{text}\n")

    def wait_for(self, text):
        """The first record holding `text`, as (priority, microseconds, message); None in time."""
        def find():
            while True:
                try:
                    record = os.read(self.fd, 8192).decode(errors="replace")
                except BlockingIOError:
                    return None
                except BrokenPipeError:  # records overwritten meanwhile: go on with the rest
                    continue
                prefix, _, message = record.partition(";")
                if text in message:
                    fields = prefix.split(",")
                    return int(fields[0]), int(fields[2]), message.split("\n")[0]
        return wait_until(find)


def relayed_line(record):
    """The line the daemon relays for a record (priority, microseconds, message)."""
    _, micros, message = record
    return f"{{{micros // 1000000:5}.{micros % 1000000 // 1000:03}}} {message}\r\n".encode()


def cpu_over(pid, seconds=1.5):
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return cpu_seconds(pid) - before


def process_info(pid):
    """(state, parent, utime + stime in clock ticks) of a process, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return fields[0], int(fields[1]), int(fields[11]) + int(fields[12])


def cpu_seconds(pid):
    return process_info(pid)[2] / os.sysconf("SC_CLK_TCK")


def descendants(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            found = [int(child) for child in children.read().split()]
    except OSError:
        return []
    return found + [grandchild for child in found for grandchild in descendants(child)]


# The system call numbers and AUDIT_ARCH value of the machine the filter is installed on (calls of another architecture
# pass). Under qemu-user the emulated daemon's calls reach the kernel as the host's, so the host's numbers hold there.
ARM = (0x40000028, {"chmod": 15, "fchmodat": 333, "setsid": 66, "ioctl": 54, "signalfd4": 355})
SYSCALLS = {"x86_64": (0xC000003E, {"chmod": 90, "fchmodat": 268, "setsid": 112, "ioctl": 16, "signalfd4": 289}),
            "aarch64": (0xC00000B7, {"fchmodat": 53, "setsid": 157, "ioctl": 29, "signalfd4": 74}),
            "armv7l": ARM, "armv8l": ARM}
# BPF opcodes for "load a field", "compare", "return".
BPF_LOAD, BPF_JEQ, BPF_RET = 0x20, 0x15, 0x06
SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO = 0x7FFF0000, 0x00050000


def refusing(rules):
    """A pre-exec step that makes the system calls of `rules` (a name, or a name and the value of
    the second argument, such as an ioctl request) fail with EPERM in the daemon and its child; a
    call this architecture does not have (chmod on aarch64) needs no rule."""
    def op(code, skip, value):
        return struct.pack("HBBI", code, 0, skip, value)
    arch, numbers = SYSCALLS[platform.machine()]
    code = b""
    for name, *argument in [rule for rule in rules if rule[0] in numbers]:
        # The number, and the low half of the second argument at 24.
        code += op(BPF_LOAD, 0, 0) + op(BPF_JEQ, 3 if argument else 1, numbers[name])
        code += op(BPF_LOAD, 0, 24) + op(BPF_JEQ, 1, argument[0]) if argument else b""
        code += op(BPF_RET, 0, SECCOMP_RET_ERRNO | errno.EPERM)
    code = op(BPF_LOAD, 0, 4) + op(BPF_JEQ, len(code) // 8, arch) + code  # the architecture at 4
    code += op(BPF_RET, 0, SECCOMP_RET_ALLOW)
    filter_ = ctypes.create_string_buffer(code)
    program = ctypes.create_string_buffer(struct.pack("HxxxxxxQ", len(code) // 8, ctypes.addressof(filter_)))
    libc = ctypes.CDLL(None, use_errno=True)

    def install():
        _ = filter_  # kept alive until the exec
        if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, program, 0, 0):  # no new privileges; filter
            os._exit(126)
    return install


class Daemon:
    def __init__(self, popen, stderr_path):
        self.popen, self.pid, self.stderr_path = popen, popen.pid, stderr_path

    def stderr(self):
        with open(self.stderr_path, errors="replace", newline="") as err:
            return err.read()

    def wait_stderr(self, text, timeout=DEADLINE):
        return wait_until(lambda: text in self.stderr(), timeout)

    def wait(self, timeout=DEADLINE):
        """The exit status (negative: the signal that ended it)."""
        return self.popen.wait(timeout)

    def kill(self):
        for pid in [self.pid] + descendants(self.pid):
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.popen.wait()


class Sandbox:
    """The daemon's world: a folder whose files are bound over the daemon's fixed paths."""

    def __init__(self, folder):
        self.dir = str(folder)
        os.mkdir(f"{self.dir}/run")
        os.mkdir(f"{self.dir}/log")  # /var/log, where the shipped settings put the console log
        # A line longer than the C library's suggested buffer comes before the socket's owner.
        self.write("passwd", "root:x:0:0:root:/root:/bin/sh\nlong:x:1000:1000:%s:/:/bin/sh\n"
                   "tessaline:x:4242:4242::/nonexistent:/usr/sbin/nologin\n"
                   "tessaline-view:x:4243:4243::/nonexistent:/usr/sbin/nologin\n" % ("x" * 5000))
        self.write("printk", PRINTK)
        self.write("serial", "")
        self.serial = f"{self.dir}/serial"  # what /dev/ttyS0 is in the world
        self.env = {}
        self.ptys = []
        self.console = self.pty()  # the daemon's standard input and output unless the test says otherwise
        self.processes = []
        self.bus = None

    def path(self, name):
        return f"{self.dir}/{name}"

    def write(self, name, text):
        with open(self.path(name), "w") as file:
            file.write(text)

    def read(self, name):
        with open(self.path(name), errors="replace", newline="") as file:
            return file.read()

    @property
    def socket_path(self):
        return self.path("run/ttyweave-socket")

    def pty(self):  # closed with the sandbox
        self.ptys.append(Pty())
        return self.ptys[-1]

    def spawn(self, argv, stdout, stderr=subprocess.STDOUT, **options):
        """A process that is ended, by its pid, with the sandbox."""
        process = subprocess.Popen(argv, stdout=stdout, stderr=stderr, **options)
        self.processes.append(process)
        return process

    def start_bus(self):
        """A private system bus (of the session kind: anyone may own any name); its address."""
        if not self.bus:
            # The socket is the sandbox's own: the daemon leaves it behind when it is stopped.
            bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                              f"--address=unix:path={self.path('bus')}"], subprocess.PIPE)
            self.bus = bus.stdout.readline().decode().strip()
        return self.bus

    def start_registry(self, networking, *options, console=None):
        """The Registry service with these "networking" (None: no store yet) and "console" settings."""
        if networking is not None:
            document = {"networking": networking, **({"console": console} if console else {})}
            self.write("settings.json", json.dumps(document))
        with open(self.path("registry.log"), "w") as log:
            self.spawn([*REGISTRY, "--store", self.path("settings.json"), "--address", self.start_bus(), *options], log)
        assert wait_until(lambda: "ready\n" in self.read("registry.log")), self.read("registry.log")

    def start(self, args, settings=None, stdin=None, session_leader=True, refuse=(), as_init=False, launcher=(),
              console=None, **options):
        """Starts `ttyweave args...` in the world, through `launcher` (a command that ends in execing its
        arguments) if given: on the console unless `stdin` says otherwise, with the Registry holding
        `settings` (none: no Registry on the bus). `as_init`: as init starts it, with the console as its
        controlling terminal and as 0, 1 and 2, one open file."""
        if settings is not None:
            self.start_registry(settings, console=console)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.start_bus())
        env.update(self.env)
        stderr_path = self.path(f"stderr-{len(self.processes)}")
        install_refusal = refusing(refuse) if refuse else None

        def prepare():
            if as_init:
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            if install_refusal:
                install_refusal()
        with open(stderr_path, "w") as err:
            popen = subprocess.Popen(
                self.world([*launcher, *DAEMON, *args]),
                stdin=self.console.slave if stdin is None else stdin, stdout=self.console.slave if stdin is None else err,
                stderr=self.console.slave if as_init else err, env={k: v for k, v in env.items() if v is not None},
                start_new_session=session_leader, preexec_fn=prepare, **options)
        self.processes.append(popen)
        return Daemon(popen, stderr_path)

    def world(self, argv):
        """The command that runs `argv` in the world, with the same pid."""
        mounts = [self.path("run"), "/run", self.path("passwd"), "/etc/passwd", self.path("printk"),
                  "/proc/sys/kernel/printk", self.serial, "/dev/ttyS0", self.path("log"), "/var/log"]
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", ENTER_WORLD, "world", *mounts, "--", *argv]

    def terminals(self, count):
        return [Terminal(self.socket_path) for _ in range(count)]

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                Daemon(process, None).kill()
        for pty in self.ptys:
            pty.close()


@pytest.fixture
def sandbox(tmp_path):
    box = Sandbox(tmp_path)
    yield box
    box.close()


@pytest.fixture
def kernel_log():
    log = KernelLog()
    yield log
    os.close(log.fd)
