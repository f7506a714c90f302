#!/usr/bin/env bash
# Checks of the built bundle with Debian's own tools. One check per call:
#   bundle_check.sh list LV2_DIR      lv2ls and lv2info see both plugins
#   bundle_check.sh validate BUNDLE   sord_validate (through lv2_validate) passes the Turtle
set -uo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

case "${1:-}" in
  list)
    export LV2_PATH=$2
    listed=$(lv2ls 2>&1) || fail "lv2ls: $listed"
    [ "$listed" = $'urn:glidewarper:mono\nurn:glidewarper:stereo' ] ||
      fail "lv2ls listed: $listed"
    for plugin in mono stereo; do
      info=$(lv2info "urn:glidewarper:$plugin" 2>&1) || fail "lv2info $plugin: $info"
      symbols=$(sed -n 's/^[[:space:]]*Symbol:[[:space:]]*//p' <<<"$info" | tr '\n' ' ')
      case $plugin in
        mono) want="in out control notify splice max_delay loop offset latency " ;;
        stereo) want="in_l in_r out_l out_r control notify splice max_delay loop offset latency stereo " ;;
      esac
      [ "$symbols" = "$want" ] || fail "$plugin ports: $symbols"
      grep -q "Has latency:[[:space:]]*yes" <<<"$info" || fail "$plugin reports no latency"
      grep -q "http://lv2plug.in/ns/ext/state#interface" <<<"$info" || fail "$plugin has no state"
      grep -q "http://lv2plug.in/ns/ext/worker#schedule" <<<"$info" || fail "$plugin needs no worker"
    done
    echo "lv2ls and lv2info see both plugins"
    ;;
  validate)
    # lv2_validate runs sord_validate with the LV2 vocabularies; its exit
    # status says nothing about the errors it found, so its summary is read.
    report=$(lv2_validate "$2/manifest.ttl" "$2/glidewarper.ttl" 2>&1)
    echo "$report" | tail -n 5
    grep -q "^Found 0 errors" <<<"$report" || fail "sord_validate found errors"
    ;;
  *)
    echo "usage: $0 list LV2_DIR | validate BUNDLE" >&2
    exit 2
    ;;
esac
