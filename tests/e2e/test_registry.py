# SPDX-License-Identifier: MIT
"""The Registry service and its command ttyweave-registry on a private bus, with the files
shipped in dist/registry: the default settings and the bus policy."""
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading

import pytest

from conftest import BUILD, DEADLINE, EMULATOR, REGISTRY, SHOW_ENV, runnable_by_anyone, wait_until

COMMAND = [*EMULATOR, f"{BUILD}/apps/ttyweave-registry/ttyweave-registry"]
DIST = os.path.abspath(os.path.join(os.path.dirname(__file__), "../../dist/registry"))
DEFAULTS = f"{DIST}/defaults.json"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
# A system bus that lets everyone do everything, but for what an included policy says.
SYSTEM_BUS = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
  {include}
</busconfig>
"""


@pytest.fixture
def open_folder():
    """A folder an unprivileged user can reach (the sandbox's is root's alone)."""
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


def start_open_bus(sandbox, folder, policy=None):
    """A system bus with its socket in `folder`, under `policy` if given: its address."""
    include = f"<include>{policy}</include>" if policy else ""
    sandbox.write("bus.conf", SYSTEM_BUS.format(socket=f"{folder}/bus", include=include))
    bus = sandbox.spawn(["dbus-daemon", f"--config-file={sandbox.path('bus.conf')}", "--nofork",
                         "--print-address=1"], subprocess.PIPE)
    sandbox.bus = bus.stdout.readline().decode().strip()
    return sandbox.bus


def as_nobody(program):
    """`program` run by the unprivileged user."""
    return [*NOBODY, *runnable_by_anyone(program)]


def registry(address, *argv, command=COMMAND):
    """Runs ttyweave-registry on the bus at `address`: (status, stdout, stderr)."""
    done = subprocess.run([*command, "--address", address, *argv], capture_output=True, text=True,
                          timeout=60)
    return done.returncode, done.stdout, done.stderr


NO_KEY = "ttyweave-registry: no key 'ssh' in section 'networking'\n"


@pytest.mark.parametrize("before, argv, status, out, err", [
    ([], ["get", "networking", "telnet"], 0, "23\n", ""),
    ([["set", "networking", "telnet_log_level", "-1"]], ["list", "networking"], 0,
     "telnet=23\ntelnet_log_level=-1\n", ""),
    ([["set", "other", "k", "v"]], ["list"], 0, "networking\nother\n", ""),
    ([["unset", "networking", "telnet"]], ["list"], 0, "", ""),  # a section without keys is gone
    ([], ["get", "networking", "ssh"], 1, "", NO_KEY),
    ([], ["unset", "networking", "ssh"], 1, "", NO_KEY),
    ([], ["list", "ssh"], 1, "", "ttyweave-registry: no section 'ssh'\n"),
    (None, ["get", "networking", "telnet"], 1, "",
     "ttyweave-registry: the Registry service com.zarnix.Registry is not running\n"),
    ([], ["get", "networking"], 2, "", "ttyweave-registry: wrong number of operands for get\nUsage: .*"),
    ([], ["frob"], 2, "", "ttyweave-registry: unknown command: frob\nUsage: .*"),
    ([], ["--store", "get", "a", "b"], 2, "", "ttyweave-registry: unknown option .*"),
    ([], ["--help"], 0, "Usage: .*", ""),
    # One line a setting, whatever the names and values hold: the first "=" ends the key.
    ([["set", "s", "k=1", "a\nb\\\x7f"]], ["list", "s"], 0, re.escape("k\\x3d1=a\\nb\\\\\\x7f\n"), ""),
    ([["set", "a\tb", "k", "v"]], ["list"], 0, re.escape("a\\x09b\nnetworking\n"), ""),
])
def test_commands_and_their_exit_statuses(sandbox, before, argv, status, out, err):
    """`before`: commands that must succeed first; None: no service on the bus."""
    if before is not None:
        sandbox.start_registry({"telnet": "23"})
    for command in before or []:
        assert registry(sandbox.start_bus(), *command) == (0, "", "")
    seen = registry(sandbox.start_bus(), *argv)
    assert seen[0] == status and re.fullmatch(out, seen[1], re.S) and re.fullmatch(err, seen[2], re.S), seen


def test_only_root_owns_reads_or_changes_the_registry_under_the_shipped_policy(sandbox, open_folder):
    start_open_bus(sandbox, open_folder, f"{DIST}/com.zarnix.Registry.conf")
    squatter = subprocess.run([*as_nobody(REGISTRY), "--store", f"{open_folder}/store", "--address",
                               sandbox.bus], capture_output=True, text=True, timeout=60)
    assert squatter.returncode == 1 and "not allowed to own" in squatter.stderr, squatter
    sandbox.start_registry({"telnet": "23"})
    for argv, member in [(["set", "networking", "telnet", "0"], "Write"), (["get", "networking", "telnet"], "Read")]:
        assert registry(sandbox.bus, *argv, command=as_nobody(COMMAND)) == (1, "", (
            f"ttyweave-registry: access denied: the bus's policy does not let this user call {member} "
            "of com.zarnix.Registry\n"))
    assert json.loads(sandbox.read("settings.json")) == {"networking": {"telnet": "23"}}
    assert registry(sandbox.bus, "set", "networking", "telnet", "0") == (0, "", "")
    assert registry(sandbox.bus, "get", "networking", "telnet") == (0, "0\n", "")


@pytest.mark.parametrize("argv", [["get", "networking", "telnet"], ["list", "networking"], ["--help"]])
def test_output_that_cannot_be_written_is_said(sandbox, argv):
    sandbox.start_registry({"telnet": "23"})
    with open("/dev/full", "w") as full:
        done = subprocess.run([*COMMAND, "--address", sandbox.bus, *argv], stdout=full, stderr=subprocess.PIPE,
                              text=True, timeout=60)
    assert (done.returncode, done.stderr) == (
        1, "ttyweave-registry: cannot write the output: No space left on device (28)\n")


def test_the_service_ends_when_its_bus_is_gone(sandbox):
    sandbox.start_registry({"telnet": "23"})
    bus, service = sandbox.processes[0], sandbox.processes[-1]
    bus.kill()
    assert service.wait(DEADLINE) == 1
    assert sandbox.read("registry.log") == "ready\nttyweave-registry-service: lost the connection to the bus\n"


@pytest.mark.parametrize("plant", [os.symlink, os.link])
def test_a_file_planted_as_the_new_store_is_left_alone(sandbox, plant):
    """Whoever made settings.json.new, a link to another file among them, that file is not written."""
    sandbox.start_registry({"telnet": "23"})
    sandbox.write("victim", "kept\n")
    plant(sandbox.path("victim"), sandbox.path("settings.json.new"))
    assert registry(sandbox.bus, "set", "networking", "telnet", "0") == (0, "", "")
    assert sandbox.read("victim") == "kept\n" and not os.path.islink(sandbox.path("settings.json"))
    assert json.loads(sandbox.read("settings.json")) == {"networking": {"telnet": "0"}}


def test_a_change_stands_when_only_the_folder_sync_after_it_fails(sandbox, open_folder):
    """A service that may write its store's folder but not read it cannot open the folder to sync it
    once the new store is renamed in: the change is answered, served and on the disk, and the failure said."""
    store = f"{open_folder}/store/settings.json"
    os.mkdir(os.path.dirname(store), 0o300)
    os.chown(os.path.dirname(store), 65534, 65534)
    with open(sandbox.path("registry.log"), "w") as log:
        sandbox.spawn([*as_nobody(REGISTRY), "--store", store, "--address",
                       start_open_bus(sandbox, open_folder)], log)
    assert wait_until(lambda: "ready\n" in sandbox.read("registry.log")), sandbox.read("registry.log")
    assert registry(sandbox.bus, "set", "networking", "telnet", "0") == (0, "", "")
    assert registry(sandbox.bus, "get", "networking", "telnet") == (0, "0\n", "")
    assert json.loads(open(store).read()) == {"networking": {"telnet": "0"}}
    assert sandbox.read("registry.log") == (
        'ready\nWrite ["networking","telnet"]\nttyweave-registry-service: the change stands, but may not survive a '
        f'power cut: {os.path.dirname(store)}: Permission denied (13)\nRead ["networking","telnet"]\n')


def test_every_change_replaces_the_store_whole(sandbox):
    """A reader never finds the store empty or partial, and the old file is never written over."""
    sandbox.start_registry({"telnet": "23"})
    store, changes = sandbox.path("settings.json"), []

    def change():
        for value in range(30):
            with open(store) as old:
                status = registry(sandbox.bus, "set", "networking", "ssh", str(value))[0]
                changes.append((status, os.fstat(old.fileno()).st_ino != os.stat(store).st_ino, old.read()))
    writer = threading.Thread(target=change)
    writer.start()
    reads = []
    while writer.is_alive():
        with open(store) as file:
            reads.append(file.read())
    writer.join()
    assert [(status, replaced) for status, replaced, _ in changes] == [(0, True)] * 30
    for text in reads + [old for _, _, old in changes]:
        assert json.loads(text)["networking"]["telnet"] == "23", text
    assert json.loads(sandbox.read("settings.json")) == {"networking": {"telnet": "23", "ssh": "29"}}


@pytest.mark.parametrize("text", [
    "", '{"networking": {"telnet": "23"', "[]", '{"networking": "23"}', '{"networking": {"telnet": 23}}',
])
def test_an_unreadable_store_is_kept_aside_and_the_defaults_serve(sandbox, text):
    sandbox.write("settings.json", text)
    sandbox.start_registry(None, "--defaults", DEFAULTS)
    aside = glob.glob(sandbox.path("settings.json.corrupt-*"))
    assert len(aside) == 1 and open(aside[0]).read() == text
    assert re.match(f"ttyweave-registry-service: {sandbox.path('settings.json')}: .*; kept as {aside[0]}, "
                    "starting from the defaults\nready\n", sandbox.read("registry.log")), sandbox.read("registry.log")
    assert registry(sandbox.bus, "list", "networking") == (
        0, "serial_with_telnet=1\ntelnet=23\ntelnet_log_level=4\n", "")


def test_the_daemon_shares_the_console_with_the_shipped_defaults(sandbox):
    sandbox.start_registry(None, "--defaults", DEFAULTS)  # no store yet: a fresh installation
    os.mkdir(sandbox.path("log/ttyweave"), 0o750)  # as the package makes it
    daemon = sandbox.start(SHOW_ENV)
    assert daemon.wait() == 0
    assert "] session ended: status 0\r\n" in sandbox.read("log/ttyweave/console.log"), daemon.stderr()
    # Shared, with the serial console taking part and kernel records up to warnings relayed.
    assert {"ttyweave: Starting listener", "serial=1 multi=1",
            "Logging via ttyweave to level 4"} <= set(daemon.stderr().splitlines()), daemon.stderr()
