#!/usr/bin/env bash
# Round-trip latency through the program under JACK, measured by jack_iodelay
# on a private dummy server at 44100 Hz for periods of 64 to 1024 frames,
# beside a plain PortAudio pass-through (bench/passthrough.cpp) opened with
# the host's own buffer length and with a fixed one: the floor.
#
#   bash bench/latency.sh [PROGRAM ...]
#
# PROGRAM defaults to build/release/driver/glidewarper; name other builds to
# measure them too. The program plays a unity melody (every note at the base
# frequency), so its output is its input, delayed. Each measurement holds the
# machine-wide JACK lock /tmp/gw-jack.lock for its few seconds only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
programs=("$@")
((${#programs[@]})) || programs=(build/release/driver/glidewarper)
passthrough=$root/build/release/bench/gw_passthrough
periods=${PERIODS:-"64 128 256 512 1024"}
work=$(mktemp -d)
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
echo "work: $work" >&2
export JACK_DEFAULT_SERVER=gwlat$$ JACK_NO_START_SERVER=1
exec 9>/tmp/gw-jack.lock

printf '440\n100000 440\n' >"$work/unity.txt"

# measure PERIOD COMMAND...: the round trip in frames through COMMAND, which
# runs with jack_iodelay's ports as its device; "-" when there was none.
measure() {
  local period=$1
  shift
  flock 9
  jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 44100 -p "$period" \
    >"$work/jackd.log" 2>&1 9>&- &
  local server=$!
  jack_wait -w -t 10 >/dev/null 2>&1 9>&-
  stdbuf -oL jack_iodelay >"$work/iodelay.log" 2>&1 9>&- &
  local iodelay=$!
  sleep 0.5
  (cd "$work" && "$@") >"$work/client.log" 2>&1 9>&- || true
  kill "$iodelay" "$server"
  wait "$iodelay" "$server" 2>/dev/null || true
  flock -u 9
  # jack_iodelay needs a few periods to lock on, and reads 0 where the
  # signal starts or stops: the figure it gives most often counts.
  awk '/total roundtrip latency/ && $1 > 0.5 {n[int($1 + 0.5)]++}
       END {best = "-"; for (f in n) if (best == "-" || n[f] > n[best]) best = f; print best}' \
    "$work/iodelay.log"
}

# PortAudio's device for jack_iodelay's ports is "jack_delay".
passThrough() {
  sleep 5 | "$passthrough" "$@" jack_delay
}

# glide KEY PROGRAM: keys on standard input: the input device (' ' for the
# default, jack_delay, device 1; '0' for the server's capture ports, whose
# latency is one period), wire on, and wire off once the figure has settled.
# The output device is jack_delay either way; with the capture ports as the
# input, jack_delay's output is connected to the program's input by hand.
glide() {
  # Afresh each time: the program keeps the device chosen last.
  printf 'File: unity.txt\nDefaultKeyCode: 32\nDefaultKeyName: space\nDefaultInput: 1\nDefaultOutput: 1\n' \
    >glidewarperconfig.txt
  if [ "$1" = 0 ]; then
    (sleep 3; jack_connect jack_delay:out PortAudio:in_0) >/dev/null 2>&1 9>&- &
  fi
  (sleep 1; printf '%s' "$1"; sleep 1; printf ' '; sleep 4; printf ' ') | "$2"
}

cell() {
  local frames=$1 period=$2
  if [ "$frames" = - ]; then printf '%-24s ' -; return; fi
  printf '%-24s ' "$(awk -v f="$frames" -v p="$period" \
    'BEGIN {printf "%d (%.2f ms, %.1f p)", f, f * 1000 / 44100, f / p}')"
}

printf '%-8s%-24s %-24s ' period "pass-through, host's" "pass-through, fixed"
for program in "${programs[@]}"; do
  name=$(basename "$program")
  printf '%-24s %-24s ' "$name, jack_delay" "$name, capture"
done
printf '\n'
for period in $periods; do
  printf '%-8s' "$period"
  cell "$(measure "$period" passThrough)" "$period"
  cell "$(measure "$period" passThrough --frames "$period")" "$period"
  for program in "${programs[@]}"; do
    case $program in /*) ;; *) program=$root/$program ;; esac
    cell "$(measure "$period" glide ' ' "$program")" "$period"
    cell "$(measure "$period" glide 0 "$program")" "$period"
  done
  printf '\n'
done
