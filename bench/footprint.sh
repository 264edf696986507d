#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the daemon and the client cost a device: for each build folder named (default: build),
# the stripped sizes of ttyweave and ttyweave-attach and, for a build of this machine's
# processor, the shared libraries each needs (ldd) and the idle daemon's memory with one
# network terminal attached (/proc/PID/smaps_rollup, threads from /proc/PID/status), run as a
# device runs it (scripts/world.sh). As root, from the project's root:
#   bench/footprint.sh build build-notrace build-arm64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/world.sh"
scratch=$(mktemp -d)
daemon_pid= attach_pid=
finish() {
  [ -z "$attach_pid" ] || kill "$attach_pid" 2>/dev/null || true
  [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true
  world_stop_bus
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap finish EXIT

stripped_size() {
  local strip=strip
  case $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') in
    AArch64) strip=aarch64-linux-gnu-strip ;;
    ARM) strip=arm-linux-gnueabihf-strip ;;
  esac
  "$strip" -o "$scratch/stripped" "$1" && stat -c %s "$scratch/stripped"
}

idle_memory() {
  local build=$1 world=$scratch/world
  world_create "$world" '{"telnet": "23"}'
  world_start_bus "$world" "$build/apps/ttyweave-registry/ttyweave-registry-service"
  "${WORLD_ENTER[@]}" "$world" env DBUS_SYSTEM_BUS_ADDRESS="$world_bus_address" \
    "$build/apps/ttyweave/ttyweave" sleep 3600 </dev/null >/dev/null 2>"$scratch/stderr" &
  daemon_pid=$!
  for _ in $(seq 100); do [ -S "$world/run/ttyweave-socket" ] && break; sleep 0.1; done
  socat -u "UNIX-CONNECT:$world/run/ttyweave-socket" /dev/null </dev/null >/dev/null 2>&1 &
  attach_pid=$!
  sleep 2  # the terminal is served and the daemon is back in poll
  awk '/^(Rss|Pss|Private_Clean|Private_Dirty):/ {printf "  %s %s kB", $1, $2} END {print ""}' \
    "/proc/$daemon_pid/smaps_rollup"
  echo "  threads: $(awk '/^Threads:/ {print $2}' "/proc/$daemon_pid/status")"
  kill "$attach_pid" "$daemon_pid"
  wait "$daemon_pid" 2>/dev/null || true
  attach_pid= daemon_pid=
  world_stop_bus
  rm -rf "$world"
}

for build in "${@:-build}"; do
  daemon=$build/apps/ttyweave/ttyweave attach=$build/apps/ttyweave-attach/ttyweave-attach
  echo "== $build ($(readelf -h "$daemon" | sed -n 's/^ *Machine: *//p'))"
  echo "stripped bytes: ttyweave $(stripped_size "$daemon"), ttyweave-attach $(stripped_size "$attach")"
  if [ "$(uname -m)" = x86_64 ] && file -b "$daemon" | grep -q x86-64; then
    for program in "$daemon" "$attach"; do
      echo "ldd ${program##*/}:"; ldd "$program" | awk '{print "  " $1}'
    done
    echo "idle daemon, one terminal attached:"
    idle_memory "$build"
  fi
done
