# SPDX-License-Identifier: MIT
# Sourced by scripts/demo and the benchmarks in bench/: the world the daemon runs in on this
# machine as it would on a device, without touching the machine's own files.
#   world_create DIR NETWORKING [CONSOLE]  fills the folder DIR with the files that stand in for
#       the daemon's fixed paths (run/, passwd with the socket's owner, printk, serial) and the
#       Registry's settings {"networking": NETWORKING, "console": CONSOLE}
#   world_start_bus DIR REGISTRY  starts a private system bus and on it the Registry
#       service (the executable REGISTRY), each waited for; sets world_bus_address,
#       world_bus_pid and world_registry_pid
#   world_stop_bus                stops them (by those pids), if they were started
#   "${WORLD_ENTER[@]}" DIR COMMAND...  runs COMMAND in a private mount namespace with DIR's
#       files bound over /run, /etc/passwd, /proc/sys/kernel/printk and /dev/ttyS0; unshare and
#       sh replace themselves, so COMMAND keeps the pid that was started
# Run as root.

world_create() {
  local dir=$1 networking=$2 console=${3:-}
  mkdir -p "$dir/run"
  { cat /etc/passwd; echo "tessaline:x:4242:4242:console sharing:/nonexistent:/usr/sbin/nologin"; } \
    >"$dir/passwd"
  printf '7\t4\t1\t7\n' >"$dir/printk"
  : >"$dir/serial"
  printf '{"networking": %s%s}\n' "$networking" "${console:+, \"console\": $console}" \
    >"$dir/settings.json"
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
}

# Waits up to 10 s for the file $1 to hold a line matching $2.
world_wait_for() {
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

world_start_bus() {
  local dir=$1 registry=$2
  dbus-daemon --config-file="$dir/bus.conf" --nofork --print-address=1 >"$dir/bus.address" \
    2>"$dir/bus.log" &
  world_bus_pid=$!
  world_wait_for "$dir/bus.address" guid= ||
    { echo "the private bus did not start: $(cat "$dir/bus.log")" >&2; return 1; }
  world_bus_address=$(head -1 "$dir/bus.address")
  "$registry" --store "$dir/settings.json" --address "$world_bus_address" >"$dir/registry.log" 2>&1 &
  world_registry_pid=$!
  world_wait_for "$dir/registry.log" '^ready$' ||
    { echo "the Registry service did not start: $(cat "$dir/registry.log")" >&2; return 1; }
}

world_stop_bus() {
  [ -z "${world_registry_pid-}" ] || kill "$world_registry_pid" 2>/dev/null || true
  [ -z "${world_bus_pid-}" ] || kill "$world_bus_pid" 2>/dev/null || true
}

WORLD_ENTER=(unshare -m --propagation private sh -c '
  mount --bind "$1/run" /run && mount --bind "$1/passwd" /etc/passwd &&
  mount --bind "$1/printk" /proc/sys/kernel/printk && mount --bind "$1/serial" /dev/ttyS0 &&
  shift && exec "$@"' world)
