#!/usr/bin/env bash
# The whole test suite, as the README and CI run it. Three stages, any of
# which fails the run:
#   1. ThreadSanitizer build: the end-to-end tests, which start and stop the
#      audio stream while the main thread and the audio thread share the effect;
#   2. each fuzz target for 30 s from its seed corpus (scripts/fuzz.sh);
#   3. AddressSanitizer + UndefinedBehaviorSanitizer build, LeakSanitizer
#      included: every unit and end-to-end test; ends with CTest's summary.
# Sanitizer reports of every process (tests, the program, the test tools) are
# written to files; any report fails the run, also from a process whose exit
# status no test looks at.
set -euo pipefail
cd "$(dirname "$0")/.."

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

failIfReported() {
  local stage=$1
  if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports from the $stage stage:"
    for report in "$reports"/*; do
      echo "--- $report"
      cat "$report"
    done
    exit 1
  fi
}

echo "== ThreadSanitizer: end-to-end tests"
bash scripts/setup.sh tsan
TSAN_OPTIONS="suppressions=$PWD/tests/e2e/tsan.supp:log_path=$reports/tsan" \
  ctest --test-dir build/tsan -L e2e --output-on-failure -j2
failIfReported ThreadSanitizer

echo "== Fuzzing: 30 s a target"
bash scripts/fuzz.sh 30

echo "== AddressSanitizer, UndefinedBehaviorSanitizer, LeakSanitizer: all tests"
bash scripts/setup.sh asan
status=0
ASAN_OPTIONS="log_path=$reports/asan" UBSAN_OPTIONS="log_path=$reports/ubsan" \
  LSAN_OPTIONS="log_path=$reports/lsan" \
  ctest --test-dir build/asan --output-on-failure -j2 || status=$?
failIfReported AddressSanitizer
exit "$status"
