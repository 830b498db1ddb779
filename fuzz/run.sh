#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 12) from its seed
# corpus, printing executions and crashes (crashes, leaks, time-outs, memory blow-ups) per target.
# New inputs go to a temporary corpus, never into the repository; a crashing input is kept under
# build-fuzz/crashes/ and the script fails.
#   bash fuzz/run.sh 12      # the short run of the test command (about a minute for all targets)
#   bash fuzz/run.sh 600     # the long run
set -euo pipefail
seconds=${1:-12}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-fuzz"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/crashes" "$work/crashes"
# The image libraries keep process-wide caches to the end; leaks are looked for in our own targets.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1
failed=0
printf '%-18s %12s %8s %s\n' target executions crashes seconds
for target in json_reader cutout_request capture_request png_header image_source; do
  mkdir -p "$work/$target"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1
           -artifact_prefix="$work/crashes/$target-")
  leaks=1
  [ "$target" = image_source ] && leaks=0
  status=0
  ASAN_OPTIONS="detect_leaks=$leaks:allocator_may_return_null=1" \
    "$build/bin/${target}_fuzz" "${options[@]}" "$work/$target" "$root/fuzz/corpus/$target" \
    >"$work/$target.log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log" | tail -1)
  crashes=$(find "$work/crashes" -name "$target-*" | wc -l)
  printf '%-18s %12s %8s %s\n' "$target" "${runs:-?}" "$crashes" "$seconds"
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    cp "$work/crashes/$target-"* "$build/crashes/" 2>/dev/null || true
    tail -40 "$work/$target.log" >&2
  fi
done
exit "$failed"
