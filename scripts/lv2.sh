#!/usr/bin/env bash
# The LV2 bundle, once scripts/setup.sh has built it (scripts/run.sh calls
# this with its first argument):
#   lv2.sh install   copies glidewarper.lv2 into ~/.lv2 (or $LV2_INSTALL_DIR),
#                    where every LV2 host on the machine finds it;
#   lv2.sh demo      plays a test tone (440 Hz left, 550 Hz right) through the
#                    stereo plugin in jalv, on a private JACK server with the
#                    dummy backend, with a saved state that names
#                    examples/fifths.txt; starts the JACK transport at 0 and
#                    stops it after the melody, records what jalv played and
#                    prints its pitch over time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${GW_BUILD_DIR:-build/release}
case "$build" in /*) ;; *) build=$root/$build ;; esac
bundle=$build/lv2/glidewarper.lv2
[ -f "$bundle/glidewarper.so" ] || { echo "lv2.sh: $bundle was not built" >&2; exit 1; }

install_bundle() {
  local target=${LV2_INSTALL_DIR:-$HOME/.lv2}
  mkdir -p "$target"
  rm -rf "$target/glidewarper.lv2"
  cp -r "$bundle" "$target/"
  echo "Installed $target/glidewarper.lv2: urn:glidewarper:mono and urn:glidewarper:stereo."
}

started=()  # process ids, oldest first; each is ended by its id
cleanup() {
  local i
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill -TERM "${started[i]}" 2>/dev/null || true
    wait "${started[i]}" 2>/dev/null || true
  done
  started=()
}

# Waits up to 20 s for a command to succeed.
await() {
  local tries=0
  until "$@" >/dev/null 2>&1; do
    ((++tries < 200)) || return 1
    sleep 0.1
  done
}

demo() {
  local jack=$build/tests/jack
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/glidewarper-lv2.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  # A session as a host saves it: the plugin's state names the melody.
  mkdir "$work/session"
  cp examples/fifths.txt "$work/session/melody.txt"
  cat >"$work/session/manifest.ttl" <<'EOF'
@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .

<state.ttl> a pset:Preset ; lv2:appliesTo <urn:glidewarper:stereo> ; rdfs:seeAlso <state.ttl> .
EOF
  cat >"$work/session/state.ttl" <<'EOF'
@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .

<> a pset:Preset ;
	lv2:appliesTo <urn:glidewarper:stereo> ;
	state:state [ <urn:glidewarper:melody> <melody.txt> ] .
EOF

  export JACK_DEFAULT_SERVER="glidewarper-lv2-$$"
  export JACK_NO_START_SERVER=1
  echo "== A private JACK server (dummy backend, 48000 Hz) with a test tone, 440 Hz left and 550 Hz right."
  "$jack/gw_harness" --name "$JACK_DEFAULT_SERVER" --logs "$work" --rate 48000 440 550 \
    >"$work/harness.log" 2>&1 &
  started+=($!)
  await grep -q '^ready' "$work/harness.log" || { echo "lv2.sh: the server did not start" >&2; exit 1; }

  echo "== jalv loads urn:glidewarper:stereo with the state in $work/session:"
  LV2_PATH=$build/lv2 jalv -i -x -n glidewarper -l "$work/session" urn:glidewarper:stereo \
    >"$work/jalv.log" 2>&1 &
  started+=($!)
  await jack_connect gwtone:out_1 glidewarper:in_l || { cat "$work/jalv.log" >&2; exit 1; }
  jack_connect gwtone:out_2 glidewarper:in_r
  "$jack/gw_record" --from glidewarper:out_ "$work/played.wav" >"$work/record.log" 2>&1 &
  started+=($!)
  await grep -q '^connected' "$work/record.log" || { echo "lv2.sh: nothing to record" >&2; exit 1; }
  sed 's/^/   /' "$work/jalv.log"

  echo "== Transport: locate 0, start; the melody lasts 1.8 s; stop after 2.5 s."
  "$jack/gw_transport" locate 0
  "$jack/gw_transport" start
  sleep 2.5
  "$jack/gw_transport" stop
  sleep 1
  cleanup
  echo "== What jalv played (saved as $work/played.wav): own pitch until the start,"
  echo "== then 440/660 Hz twice and 330 Hz on the left (x1.25 on the right), then own pitch:"
  "$jack/gw_pitchtrack" "$work/played.wav"
}

case "${1:-}" in
  install) install_bundle ;;
  demo) demo ;;
  *) echo "usage: $0 install | demo" >&2; exit 2 ;;
esac
