#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Throughput of a flood from the daemon's program to a network terminal's standard output:
# through ttyweave-attach and through socat, each reading the same daemon (same build, same
# settings, a fresh session per run) in interleaved rounds. Prints MB/s and the client's CPU time
# per run, their medians, and the median of the attach/socat ratios taken within each round.
#   bench/attach_vs_socat.sh [ROUNDS]      (as root, after a build in build/; default 5 rounds)
# Environment: N flood bytes (default 64 MiB), SHARED_BENCH the shared relay benchmark folder
# (its emit.c is the flood program, its pattern.h the pattern; default ../shared/bench).
# The daemon runs as scripts/demo runs it: a private system bus with the Registry
# service, and a private mount namespace whose own files stand in for /run, /etc/passwd,
# /proc/sys/kernel/printk and /dev/ttyS0 (scripts/world.sh). The serial console takes no part,
# so the one client is the only terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
rounds=${1:-5}
N=${N:-$((64 * 1024 * 1024))}
shared=${SHARED_BENCH:-$top/../shared/bench}
daemon=$top/build/apps/ttyweave/ttyweave
attach=$top/build/apps/ttyweave-attach/ttyweave-attach
registry=$top/build/apps/ttyweave-registry/ttyweave-registry-service
for program in "$daemon" "$attach" "$registry"; do
  [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 1; }
done

source scripts/world.sh
work=$(mktemp -d /tmp/ttyweave-bench-XXXXXX)
cleanup() {
  world_stop_bus
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Compiled here: the shared folder stays read-only.
cc -O2 -o "$work/emit" "$shared/emit.c"
cc -O2 -I"$shared" -o "$work/flood_check" bench/flood_check.c

world_create "$work" '{"telnet": "23", "serial_with_telnet": "0", "telnet_log_level": "0"}'
world_start_bus "$work" "$registry"
export DBUS_SYSTEM_BUS_ADDRESS=$world_bus_address

socket=$work/run/ttyweave-socket

# One run: a fresh daemon flooding N bytes to one client ($1: attach or socat), which reads the
# trigger byte from a fifo and writes the flood into the checker. Prints the checker's line.
run_once() {
  rm -f "$socket" "$work/keys"
  mkfifo "$work/keys"
  "${WORLD_ENTER[@]}" "$work" "$daemon" "$work/emit" flood "$N" </dev/null 2>>"$work/daemon.log" &
  local daemon_pid=$!
  for _ in $(seq 200); do [ -S "$socket" ] && break; sleep 0.05; done
  [ -S "$socket" ] || { echo "the daemon did not listen; its log:" >&2; cat "$work/daemon.log" >&2; exit 1; }
  : >"$work/ready"
  case $1 in
    attach) client=("$attach" "$socket") ;;
    socat) client=(socat UNIX-CONNECT:"$socket" -) ;;
  esac
  # The client's CPU time: user and system seconds.
  TIMEFORMAT="%U %S"
  { time "${client[@]}" <"$work/keys" 2>>"$work/client.log"; } 2>>"$work/cpu.log" |
    "$work/flood_check" "$N" >"$work/result" 2>"$work/ready" &
  local checker_pid=$!
  exec {keys}>"$work/keys"
  for _ in $(seq 200); do grep -q ready "$work/ready" && break; sleep 0.05; done
  printf g >&"$keys"
  # Waits for the checker's line (it prints it on the N-th byte), at most two minutes.
  for _ in $(seq 1200); do
    grep -q RESULT "$work/result" 2>/dev/null && break
    kill -0 "$checker_pid" 2>/dev/null || break
    sleep 0.1
  done
  # Any byte ends the flood program, and with it the session; then the client's input ends.
  # (The client may have gone already: then the write fails, and must not end this script.)
  (trap '' PIPE && printf x >&"$keys") 2>/dev/null || true
  exec {keys}>&-
  wait "$daemon_pid" || true
  wait "$checker_pid" || true
  if ! grep -q intact=1 "$work/result"; then
    echo "$1 run not intact; the client's and the daemon's logs:" >&2
    cat "$work/client.log" "$work/daemon.log" >&2
  fi
  echo "$(cat "$work/result") client_cpu_s=$(awk '{printf "%.2f", $1 + $2}' "$work/cpu.log")"
  : >"$work/cpu.log"
  : >"$work/client.log"
  : >"$work/daemon.log"
}

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "flood of $N bytes, $rounds rounds, one client each run (MB/s = 10^6 bytes/s)"
declare -A figures=([attach]='' [socat]='') cpu=([attach]='' [socat]='')
ratios=''
for round in $(seq "$rounds"); do
  # Interleaved, and the order swapped every round, so drift on the machine hits both alike.
  if [ $((round % 2)) -eq 1 ]; then order=(attach socat); else order=(socat attach); fi
  declare -A this_round=()
  for client in "${order[@]}"; do
    line=$(run_once "$client")
    echo "round $round $client: $line"
    case $line in
      *intact=1*)
        value=${line##*mbps=}
        this_round[$client]=${value%% *}
        figures[$client]+="${this_round[$client]} "
        cpu[$client]+="${line##*client_cpu_s=} " ;;
      *) echo "round $round $client: not intact, left out of the median" >&2 ;;
    esac
  done
  # The ratio within a round is the steadier figure on a shared machine.
  if [ -n "${this_round[attach]-}" ] && [ -n "${this_round[socat]-}" ]; then
    ratios+="$(awk -v a="${this_round[attach]}" -v s="${this_round[socat]}" 'BEGIN {printf "%.2f", a / s}') "
  fi
  unset this_round
done
for client in attach socat; do
  printf '%s median: %s MB/s, client CPU %s s, over %s intact runs\n' "$client" \
    "$(tr ' ' '\n' <<<"${figures[$client]}" | grep . | median)" \
    "$(tr ' ' '\n' <<<"${cpu[$client]}" | grep . | median)" \
    "$(tr ' ' '\n' <<<"${figures[$client]}" | grep -c .)"
done
printf 'attach/socat within a round: median %s over %s rounds (%s)\n' \
  "$(tr ' ' '\n' <<<"$ratios" | grep . | median)" "$(tr ' ' '\n' <<<"$ratios" | grep -c .)" "${ratios% }"
