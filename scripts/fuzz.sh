#!/usr/bin/env bash
# Runs each libFuzzer target for a while, starting from its seed corpus in
# fuzz/corpus/<target>. Fails when a target finds a fault; the input is then in
# <build>/artifacts/<target>/ and belongs in fuzz/regressions/<target>/.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET ...]     (default: 30 s each; melody config keys midi)
#
# New corpus entries stay in a scratch folder; the repository keeps its small seeds.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(melody config keys midi)

bash scripts/setup.sh fuzz
dir=$PWD/${GW_BUILD_DIR:-build/fuzz}
# A memory-backed scratch folder keeps the configuration target's file writes cheap.
scratch=$(mktemp -d /dev/shm/gwfuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
for target in "${targets[@]}"; do
  fuzzer=$dir/fuzz/${target}_fuzzer
  [ -x "$fuzzer" ] || { echo "fuzz: no target named $target" >&2; exit 2; }
  mkdir -p "$scratch/$target/corpus" "$scratch/$target/tmp" "$dir/artifacts/$target"
  log=$dir/fuzz-$target.log
  if TMPDIR=$scratch/$target/tmp "$fuzzer" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target/" \
      "$scratch/$target/corpus" "$PWD/fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    corpus=$(ls "$scratch/$target/corpus" | wc -l)
    echo "fuzz $target: ${runs:-?} executions in $seconds s, nothing found ($corpus new corpus entries)"
  else
    echo "fuzz $target: FAILED, log in $log; last lines:"
    grep -E 'ERROR|fuzz property|SUMMARY|Test unit written' "$log" | head -20 || tail -30 "$log"
    failed=1
  fi
done
exit "$failed"
