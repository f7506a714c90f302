#!/usr/bin/env bash
# The whole test suite: builds with ASan+UBSan (LeakSanitizer included) and
# runs every unit and end-to-end test; ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh asan
ctest --test-dir build/asan --output-on-failure -j2
