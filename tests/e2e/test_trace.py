# SPDX-License-Identifier: MIT
"""The trace event of an assertion report, recorded by a real LTTng session daemon in the world."""
import os
import re
import subprocess

import pytest

from conftest import wait_until


def test_a_failed_check_raises_one_trace_event_with_its_line(sandbox):
    if os.environ.get("TTYWEAVE_TRACING", "ON").upper() in ("OFF", "0", "NO", "FALSE"):
        pytest.skip("the build has tracing off (TTYWEAVE_TRACING)")
    env = dict(os.environ, HOME=sandbox.dir, LTTNG_HOME=sandbox.dir)
    with open(sandbox.path("sessiond.log"), "w") as log:
        sessiond = sandbox.spawn(sandbox.world(["lttng-sessiond"]), log, env=env)
    try:
        # Applications register through this socket of a root session daemon.
        assert wait_until(lambda: os.path.exists(sandbox.path("run/lttng/lttng-ust-sock-8"))), (
            f"the LTTng session daemon did not come up: {sandbox.read('sessiond.log')}")

        def lttng(*args):
            subprocess.run(sandbox.world(["lttng", *args]), env=env, check=True, capture_output=True)
        lttng("create", "assertions", f"--output={sandbox.path('trace')}")
        lttng("enable-event", "--userspace", "tessaline_platform:td_event")
        lttng("start")
        daemon = sandbox.start(["ttyweave-no-such-program"])  # the uncaught exception's check fails
        assert daemon.wait() == 1
        lttng("stop")
        lttng("destroy")
    finally:
        sessiond.terminate()
        sessiond.wait()
    trace = subprocess.run(["babeltrace2", sandbox.path("trace")], check=True, capture_output=True, text=True)
    events = re.findall(r"tessaline_platform:td_event: .*\{ desc = \"(\w+)\", value = (-?\d+) \}", trace.stdout)
    assert events == [("ASRT", "41")], trace.stdout
