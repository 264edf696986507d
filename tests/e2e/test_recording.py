# SPDX-License-Identifier: MIT
"""The session's recording in asciicast v2, read back by asciinema's own reader: what the terminals are sent, timed,
never what they type; bounded like the console log; a recording that fails costs the session nothing."""
import grp
import os
import stat

from asciinema.asciicast import v2

from conftest import Terminal, pump
from test_session import WITH_SERIAL, copy_on_request, pattern
from test_window_size import join, resize


def read_cast(path):
    """(header, events) of one file, which must be asciicast v2 and in UTF-8 throughout."""
    with open(path, encoding="utf-8") as file, v2.open_from_file(file.readline(), file) as cast:
        return cast.v2_header, list(cast.events())


def texts(events, kind):
    return [text for _, code, text in events if code == kind]


def test_the_recording_holds_the_output_timed_whole_characters_sizes_and_marks_but_no_keys(sandbox):
    path = sandbox.path("session.cast")
    sandbox.env["TERM"] = "vt220"
    program = ["/bin/sh", "-c", r'echo ready; read -r secret; echo one; sleep 0.6; echo two; printf "\377 \342\234";'
               r' sleep 0.2; printf "\223 done\n"']
    daemon = sandbox.start(program, settings={"telnet": "23"}, console={"recording": path})
    network = Terminal(sandbox.socket_path)
    assert network.wait_for(b"ready\n"), daemon.stderr()
    user = resize(sandbox.pty(), 132, 50)  # a client that tells its window's size, and changes it
    join(sandbox, user, sandbox.socket_path)
    assert daemon.wait_stderr("ttyweave: Window 132x50 from terminal 2\n")
    resize(user, 100, 40)
    assert daemon.wait_stderr("ttyweave: Window 100x40 from terminal 2\n")
    network.write(b"hunter2-not-echoed\n")
    assert daemon.wait() == 0 and "Recording" not in daemon.stderr(), daemon.stderr()
    header, events = read_cast(path)
    assert (header["version"], header["command"], header["env"]) == (2, " ".join(program), {"TERM": "vt220"})
    assert (header["width"], header["height"]) == (80, 24) and abs(header["timestamp"] - os.stat(path).st_mtime) < 30
    assert texts(events, "r") == ["132x50", "100x40"]
    assert "".join(texts(events, "o")) == "ready\none\ntwo\n\ufffd \u2713 done\n"
    first = {word: min(time for time, code, text in events if code == "o" and word in text) for word in ("one", "two")}
    assert 0.4 <= first["two"] - first["one"] <= 3
    assert [time for time, _, _ in events] == sorted(time for time, _, _ in events)
    assert b"hunter2" not in open(path, "rb").read() and not texts(events, "i")
    marks = texts(events, "m")
    # The log's mark, the backslashes of the command line doubled.
    assert marks[0] == "session started: " + " ".join(program).replace("\\", "\\\\")
    assert marks[-1] == "session ended: status 0"
    assert f"Terminal 1 (network, uid 0, pid {os.getpid()}) arrived" in marks
    info = os.stat(path)
    assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (0o640, 0, grp.getgrnam("adm").gr_gid)


def test_the_recording_is_rotated_into_two_files_that_each_replay_alone(sandbox):
    data, path = pattern(400000).decode(), sandbox.path("session.cast")
    sandbox.write("data", data)
    daemon = sandbox.start(["/bin/sh", "-c", 'cat "$0"', sandbox.path("data")], settings={"telnet": "23"},
                           console={"recording": path, "recording_size": "65536"})
    assert daemon.wait() == 0, daemon.stderr()
    (newest_header, newest), (older_header, older) = read_cast(path), read_cast(path + ".1")
    assert os.path.getsize(path) <= 65536 and os.path.getsize(path + ".1") <= 65536
    assert newest_header["version"] == older_header["version"] == 2
    newest_output, older_output = "".join(texts(newest, "o")), "".join(texts(older, "o"))
    assert newest_output and data.endswith(newest_output) and texts(newest, "m")[-1] == "session ended: status 0"
    assert older_output and data.rindex(older_output) + len(older_output) <= len(data) - len(newest_output)


def test_a_recording_in_a_missing_folder_costs_the_session_and_its_terminals_nothing(sandbox):
    data, path = pattern(50000), sandbox.path("missing/session.cast")
    daemon = sandbox.start(copy_on_request(sandbox, data, then="exit 4"), settings=WITH_SERIAL,
                           console={"recording": path})
    terminals = [Terminal(sandbox.socket_path), sandbox.console]
    assert all(t.wait_for(b"ready\n") for t in terminals), daemon.stderr()
    terminals[0].write(b"go\n")
    assert pump(terminals, lambda: all(len(t.data) >= 6 + len(data) for t in terminals)), daemon.stderr()
    assert all(t.data == b"ready\n" + data for t in terminals)
    assert daemon.wait() == 4
    assert daemon.stderr().count(f"ttyweave: Recording {path} failed: open: No such file or directory (2)\n") == 1
