#!/usr/bin/env bash
# Render throughput, in times real time, for a 60-second stereo 44100 Hz
# file bent up a fifth, in each way of splicing (block jumps, the default,
# --splice matched, and matched with --read interpolated), beside the tools a
# user would pick for the same shift: sox (pitch 700 cents), rubberband (-p 7,
# its R2 engine, and --fine -p 7, its R3 engine) and soundstretch (-pitch=7).
# Each tool gets the same input; the best of BENCH_RUNS runs (default 3)
# counts. Prints one table with each figure and the ratio of ours to each.
#
#   bash bench/render_bench.sh            # uses build/release, built if missing
#   RENDER=path/to/glidewarp-render bash bench/render_bench.sh
#
# Installs the three tools (Debian's sox, rubberband-cli, soundstretch)
# when run as root and they are missing. Not run by the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${BENCH_RUNS:-3}
seconds=60
render=${RENDER:-build/release/render/glidewarp-render}

declare -A packageOf=([sox]=sox [rubberband]=rubberband-cli [soundstretch]=soundstretch)
missing=()
for tool in sox rubberband soundstretch; do
  command -v "$tool" >/dev/null || missing+=("${packageOf[$tool]}")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
      >/dev/null
  else
    echo "Missing: ${missing[*]}. Install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
fi
if [ ! -x "$render" ]; then
  bash scripts/setup.sh release
fi

# The files live in memory where there is room (/dev/shm): written to a disk,
# their write-out runs on kernel threads that take the same two cores from
# whichever tool comes next, and the larger file (ours are 32-bit float, the
# peers' 16-bit) would pay for it twice.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d -p /dev/shm)
else
  work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT

# A pitched input with overtones: a sawtooth at 220 Hz with a slow tremolo on
# the left, a softer triangle a sixth above on the right.
sox -n -r 44100 -b 16 -c 1 "$work/left.wav" synth "$seconds" sawtooth 220 vol 0.4 tremolo 5 20
sox -n -r 44100 -b 16 -c 1 "$work/right.wav" synth "$seconds" triangle 367 vol 0.3
sox -M "$work/left.wav" "$work/right.wav" "$work/input.wav"
# One note a fifth up, longer than the file.
printf '440 %d 660\n' $((seconds * 1000 + 1000)) >"$work/fifth.txt"

# Best wall time and best processor time (user and system) of $runs runs of
# the given command, which writes OUTPUT, in seconds: "wall cpu". On a machine
# shared with other work the wall time also holds the waits for it; the
# processor time does not. OUTPUT is removed before each run: rewriting a
# file in place can make the file system write the old one out first.
best() {
  local output=$1 start end cpu walls="" cpus=""
  shift
  for ((i = 0; i < runs; ++i)); do
    rm -f "$output"
    start=$(date +%s%N)
    cpu=$( { TIMEFORMAT='%U %S'; time "$@" >/dev/null 2>&1; } 2>&1 | tail -1)
    end=$(date +%s%N)
    walls+="$((end - start)) "
    cpus+="$(echo "$cpu" | awk '{ printf "%.3f", $1 + $2 }') "
  done
  least() { awk '{ b = $1; for (i = 2; i <= NF; ++i) if ($i < b) b = $i; print b }'; }
  echo "$(echo "$walls" | least | awk '{ printf "%.4f", $1 / 1e9 }') $(echo "$cpus" | least)"
}

names=("glidewarp-render" "glidewarp-render matched" "glidewarp-render interp." "sox pitch 700"
       "rubberband -p 7" "rubberband --fine -p 7" "soundstretch -pitch=7")
outputs=(ours matched interpolated sox rubberband rubberband3 soundstretch)
results=()
results+=("$(best "$work/ours.wav" "$render" "$work/input.wav" "$work/fifth.txt" "$work/ours.wav")")
results+=("$(best "$work/matched.wav" "$render" --splice matched "$work/input.wav" "$work/fifth.txt" \
  "$work/matched.wav")")
results+=("$(best "$work/interpolated.wav" "$render" --splice matched --read interpolated \
  "$work/input.wav" "$work/fifth.txt" \
  "$work/interpolated.wav")")
results+=("$(best "$work/sox.wav" sox "$work/input.wav" "$work/sox.wav" pitch 700)")
results+=("$(best "$work/rubberband.wav" rubberband -p 7 "$work/input.wav" "$work/rubberband.wav")")
results+=("$(best "$work/rubberband3.wav" rubberband --fine -p 7 "$work/input.wav" \
  "$work/rubberband3.wav")")
results+=("$(best "$work/soundstretch.wav" soundstretch "$work/input.wav" "$work/soundstretch.wav" \
  -pitch=7)")
times=() cpus=()
for result in "${results[@]}"; do
  times+=("${result% *}")
  cpus+=("${result#* }")
done
# A tool that failed would look fast: each must have written the whole file.
lengths=()
for i in "${!outputs[@]}"; do
  length=$(soxi -D "$work/${outputs[$i]}.wav" 2>/dev/null || echo 0)
  if ! awk -v l="$length" -v s="$seconds" 'BEGIN { exit !(l > s - 0.5) }'; then
    echo "${names[$i]} did not write ${seconds} s of output (got ${length} s)" >&2
    exit 1
  fi
  lengths+=("$length")
done

echo "Render of ${seconds} s of stereo 44100 Hz audio, a fifth up; best of $runs runs"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u '+%Y-%m-%d')"
printf '%-24s %10s %10s %14s %16s %12s\n' "tool" "seconds" "cpu s" "x real time" "ours / this" \
  "output s"
for i in "${!names[@]}"; do
  awk -v name="${names[$i]}" -v t="${times[$i]}" -v c="${cpus[$i]}" -v ours="${times[0]}" \
    -v s="$seconds" -v l="${lengths[$i]}" \
    'BEGIN { printf "%-24s %10.3f %10.3f %14.1f %16.2f %12.2f\n", name, t, c, s / t, t / ours, l }'
done
# The interpolated read's goal: at least twice soundstretch's throughput.
awk -v ours="${times[2]}" -v peer="${times[6]}" -v oursCpu="${cpus[2]}" -v peerCpu="${cpus[6]}" \
  'BEGIN { printf "interpolated read: %.2f times soundstretch'"'"'s throughput (%.2f in processor time; goal: at least 2)\n", peer / ours, peerCpu / oursCpu }'
