# SPDX-License-Identifier: MIT
# The daemon as a target of the shared relay harness (see its README), run as a device runs it:
# a private system bus with the Registry service (telnet on, no serial console), and
# ttyweave in a private mount namespace whose /run, /etc/passwd, /proc/sys/kernel/printk and
# /dev/ttyS0 are files of the run (scripts/world.sh). As root, from the project's root:
#   TARGETS=$PWD/bench/relay_target.sh FLOOD_CASES="pty:1 dtach:1 ttyweave:1 dtach:7 ttyweave:7" \
#     ../shared/bench/run_anchors.sh
# TTYWEAVE_BUILD names the build folder (default: build). ALLOCATIONS=1 preloads
# count_allocations.c into the daemon and appends each run's count to $TTYWEAVE_ALLOCATIONS_LOG.
# SYSCALLS=file appends each run's system call counts (perf stat) to that file, with the daemon's
# CPU time, context switches, the kernel work it queued (each one wakes a kernel worker; a
# pseudo-terminal's reader queues one to refill its buffer) and the tasks it woke. Counting
# costs the daemon time of its own: take its speed and CPU from runs without it.
# Target ttyweave-with-log is the daemon with the console log on, in console.log of the run's own
# folder; LOG_SIZE gives its log_size (default 65536). LOG_WRITES=file appends the system calls
# of each of its runs on that log, with their times (strace -P), to that file.
# Target ttyweave-with-recording is the daemon recording the session (asciicast v2) in
# session.cast of the run's own folder; RECORDING_SIZE gives its recording_size (default
# 1048576), and LOG_WRITES=file appends that recording's system calls as it does the log's.
ttyweave_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ttyweave_build=${TTYWEAVE_BUILD:-$ttyweave_top/build}
ttyweave_helpers=()
source "$ttyweave_top/scripts/world.sh"
if [ "${ALLOCATIONS:-0}" = 1 ]; then
	cc -O2 -shared -fPIC -o "$T/count_allocations.so" "$ttyweave_top/bench/count_allocations.c" || exit 1
	export TTYWEAVE_ALLOCATIONS_LOG=${TTYWEAVE_ALLOCATIONS_LOG:-$T/allocations}
fi

eval "harness_$(declare -f stop_target)"
stop_target() {
	harness_stop_target
	# perf writes its counts on SIGINT.
	[ -z "${ttyweave_perf:-}" ] || { kill -INT "$ttyweave_perf"; wait "$ttyweave_perf"; ttyweave_perf=; }
	[ ${#ttyweave_helpers[@]} -eq 0 ] || kill "${ttyweave_helpers[@]}" 2>/dev/null
	wait "${ttyweave_helpers[@]}" 2>/dev/null
	ttyweave_helpers=()
}

start_ttyweave-with-log() {
	ttyweave_log=1 start_ttyweave "$@"
	trace_output_file_writes
}

start_ttyweave-with-recording() {
	ttyweave_recording=1 start_ttyweave "$@"
	trace_output_file_writes
}

# With LOG_WRITES, the system calls on the daemon's output file and its older one.
trace_output_file_writes() {
	[ -z "${LOG_WRITES:-}" ] || {
		strace -qq -ttt -P "$ttyweave_output_file" -P "$ttyweave_output_file.1" -p "$TPID" \
			-o "|cat >>$LOG_WRITES" &
		ttyweave_helpers+=($!)
		sleep 0.5  # attached before the flood begins
	}
}

start_ttyweave() {
	local world preload=() console=
	world=$(mktemp -d "$T/world-XXXXXX")
	if [ "${ttyweave_log:-0}" = 1 ]; then
		ttyweave_output_file=$world/console.log
		console="{\"log_file\": \"$ttyweave_output_file\", \"log_size\": \"${LOG_SIZE:-65536}\"}"
	elif [ "${ttyweave_recording:-0}" = 1 ]; then
		ttyweave_output_file=$world/session.cast
		console="{\"recording\": \"$ttyweave_output_file\", \"recording_size\": \"${RECORDING_SIZE:-1048576}\"}"
	fi
	world_create "$world" '{"telnet": "23"}' "$console"
	world_start_bus "$world" "$ttyweave_build/apps/ttyweave-registry/ttyweave-registry-service"
	ttyweave_helpers+=("$world_bus_pid" "$world_registry_pid")
	[ -z "${TTYWEAVE_ALLOCATIONS_LOG:-}" ] || preload=(env LD_PRELOAD="$T/count_allocations.so")
	# The daemon keeps the pid that spawn sees: unshare, sh and env all replace themselves. Its
	# standard input is /dev/null, as for any command started in the background.
	spawn "${WORLD_ENTER[@]}" "$world" env DBUS_SYSTEM_BUS_ADDRESS="$world_bus_address" \
		"${preload[@]}" "$ttyweave_build/apps/ttyweave/ttyweave" "$@"
	SOCK=$world/run/ttyweave-socket
	if [ -n "${SYSCALLS:-}" ]; then
		# Counted from when the daemon listens, so that its start-up (the libraries' loading and
		# the tracing library's look at them) is not counted as the flood's.
		for _ in $(seq 500); do [ -S "$SOCK" ] && break; sleep 0.01; done
		perf stat --pid "$TPID" --append -o "$SYSCALLS" -x, -e 'syscalls:sys_enter_poll,syscalls:sys_enter_ppoll,syscalls:sys_enter_read,syscalls:sys_enter_readv,syscalls:sys_enter_write,syscalls:sys_enter_writev,task-clock,context-switches,workqueue:workqueue_queue_work,sched:sched_wakeup' &
		ttyweave_perf=$!
		sleep 0.2  # attached before the flood begins
	fi
}
