#!/usr/bin/env bash
# Sets up, builds and runs every test: the full suite against the real components (which also makes
# the Debian package from this build and runs its programs unpacked), then the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then a short run of every libFuzzer target
# (fuzz/run.sh; about a minute). The main build is the package's: Release with Debian's hardening
# flags, warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)

bash "$root/scripts/setup.sh"

bash "$root/scripts/configure.sh" "$root/build" -DREZORO_WERROR=ON
cmake --build "$root/build" -j "$jobs"
# Every test starts its own displays and sound servers, so they run side by side; most of their time
# is spent waiting on the clock, not the processor. A failing test gets a second run: a stall of the
# shared machine must not fail the suite, a fault fails both.
(cd "$root/build" && ctest --output-on-failure --timeout 600 -j "$jobs" --repeat until-pass:2)

cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DREZORO_WERROR=ON -DREZORO_SANITIZE=ON \
  -DREZORO_UNIT_ONLY=ON >/dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -L unit --timeout 600 -j "$jobs")

bash "$root/fuzz/run.sh" 12
