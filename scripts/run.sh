#!/usr/bin/env bash
# Builds glidewarper and runs it on the examples/ folder.
#
# Where the machine has an audio device the program uses it. Where it has
# none, a private JACK server with the dummy backend is started, with a test
# tone (440 Hz left, 550 Hz right) as the input device; what the program
# plays is recorded to a WAV file and its pitch over time is printed.
#
# From a terminal you press the keys yourself. Without a terminal on standard
# input (an unattended run) the keys are pressed for you: the default device,
# then proceed, let each melody play for its length, proceed.
#
# The LV2 plugin instead (see scripts/lv2.sh):
#   run.sh install-lv2   builds and copies glidewarper.lv2 into ~/.lv2
#   run.sh lv2           builds and plays a test tone through it in jalv
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

case "${1:-}" in
  "") ;;
  install-lv2) bash scripts/setup.sh && exec bash scripts/lv2.sh install ;;
  lv2) bash scripts/setup.sh && exec bash scripts/lv2.sh demo ;;
  *) echo "usage: $0 [install-lv2 | lv2]" >&2; exit 2 ;;
esac

bash scripts/setup.sh
build=${GW_BUILD_DIR:-build/release}
case "$build" in /*) ;; *) build=$root/$build ;; esac
program=$build/driver/glidewarper
for tool in "$program" "$build/tests/jack/gw_harness" "$build/tests/jack/gw_tone" \
            "$build/tests/jack/gw_record" "$build/tests/jack/gw_pitchtrack" \
            "$build/tests/jack/gw_autoplay"; do
  [ -x "$tool" ] || { echo "run.sh: $tool was not built" >&2; exit 1; }
done

# The program rewrites its configuration, so it runs on a copy of examples/.
work=$(mktemp -d "${TMPDIR:-/tmp}/glidewarper-run.XXXXXX")
cp examples/* "$work"/

started=()  # process ids, oldest first; each is ended by its id
cleanup() {
  local i
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill -TERM "${started[i]}" 2>/dev/null || true
    wait "${started[i]}" 2>/dev/null || true
  done
  started=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

has_audio_device() {
  compgen -G "/dev/snd/pcmC*" >/dev/null && return 0
  # A JACK server that is already running counts as one too.
  JACK_NO_START_SERVER=1 jack_wait -c 2>/dev/null | grep -qx running
}

recording=""
if has_audio_device; then
  echo "== Using this machine's audio devices."
else
  echo "== No audio device here: starting a private JACK server (dummy backend,"
  echo "== 44100 Hz) with a test tone as the input device."
  export JACK_DEFAULT_SERVER="glidewarper-run-$$"
  export JACK_NO_START_SERVER=1
  # The recorder waits for the program's stream and records what it plays.
  recording=$work/played.wav
  "$build/tests/jack/gw_harness" --name "$JACK_DEFAULT_SERVER" --logs "$work" \
    --record "$recording" 440 550 >"$work/harness.log" 2>&1 &
  started+=($!)
  while kill -0 "${started[-1]}" 2>/dev/null && ! grep -q '^ready' "$work/harness.log"; do
    sleep 0.05
  done
  if grep -qx 'failed: server' "$work/harness.log"; then
    echo "run.sh: the JACK server did not start; see $work/jackd.log" >&2
    exit 1
  fi
  grep -q '^ready' "$work/harness.log" || { echo "run.sh: the test tone did not start" >&2; exit 1; }
fi

echo "== Running $program in $work"
status=0
if [ -t 0 ]; then
  cat <<'EOF'
== Keys: at "Press any of ..." press a listed device number (the test tone is
==   device 1 on the private server) or space for the default.
== At "Press space to proceed, 'x' to exit" press space to switch the effect
==   on for the next melody, or x to finish.
== While a melody plays ("Wire on"), press space to switch it off and go on
==   to the next file, or r to play the same file again.
== A failure report waits for any key.
EOF
  (cd "$work" && "$program") || status=$?
else
  echo "== Unattended: the keys are pressed for you."
  (cd "$work" && "$build/tests/jack/gw_autoplay" "$program") || status=$?
fi
echo "== glidewarper ended with exit status $status"

if [ -n "$recording" ]; then
  cleanup
  if [ -s "$recording" ]; then
    echo "== What the program played, saved as $recording:"
    "$build/tests/jack/gw_pitchtrack" "$recording"
  else
    echo "== Nothing was recorded (the stream never opened)."
  fi
fi
exit "$status"
