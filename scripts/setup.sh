#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root; otherwise
# prints the install line), then configures and builds one flavour of the
# program into build/<flavour>: release (default), asan (ASan+UBSan), tsan, or
# fuzz (the libFuzzer targets, built with clang). GW_BUILD_DIR names another
# build folder.
# Fast when nothing changed: packages are checked, not reinstalled, and the
# build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libgtest-dev libbenchmark-dev libaubio-dev portaudio19-dev
          libjack-jackd2-dev jackd2 libsndfile1-dev libfftw3-dev
          clang libclang-rt-14-dev
          lv2-dev liblilv-dev lilv-utils sordi jalv)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  else
    echo "Missing Debian packages. Install them with:"
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}"
    exit 1
  fi
fi

flavour=${1:-release}
case "$flavour" in
  release) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_SANITIZE=address) ;;
  tsan) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_SANITIZE=thread -DGW_BUILD_BENCH=OFF) ;;
  fuzz) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_SANITIZE=fuzzer -DGW_BUILD_BENCH=OFF
                 -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [release|asan|tsan|fuzz]" >&2; exit 2 ;;
esac
dir=${GW_BUILD_DIR:-build/$flavour}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${options[@]}" >/dev/null
fi
if [ "$flavour" = fuzz ]; then
  cmake --build "$dir" -j"$(nproc)" --target fuzzers
else
  cmake --build "$dir" -j"$(nproc)"
fi
