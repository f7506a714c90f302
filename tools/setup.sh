#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root; otherwise
# prints the install line), then configures and builds one flavour of the
# program into build/<flavour>: release (default), asan (ASan+UBSan) or tsan.
# Fast when nothing changed: packages are checked, not reinstalled, and the
# build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libgtest-dev libbenchmark-dev portaudio19-dev
          libjack-jackd2-dev jackd2 libsndfile1-dev python3)
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
  release) options=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_SANITIZE=address) ;;
  tsan) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_SANITIZE=thread -DGW_BUILD_BENCH=OFF) ;;
  *) echo "usage: $0 [release|asan|tsan]" >&2; exit 2 ;;
esac
dir=build/$flavour
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${options[@]}" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
