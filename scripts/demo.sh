#!/usr/bin/env bash
# Sets up and builds both programs, then runs the cut-out service on a built-in example photo
# (OpenCV's sample "messi5.jpg", unpacked by setup) and prints its response and the mask's path.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" >/dev/null

bin="$root/build/bin"
work=$(mktemp -d /tmp/rezoro-demo.XXXXXX)
photo="$root/.deps/opencv-doc/messi5.jpg"

echo "== rezoro-cutout --probe"
"$bin/rezoro-cutout" --probe || true

echo "== rezoro-cutout --serve $work  (one job: $photo)"
printf '{"kind":"native_cutout","path":"%s","destination":"%s"}' "$photo" "$work/messi5-mask.png" \
  >"$work/request-1.json"
echo "request-1.json" | "$bin/rezoro-cutout" --serve "$work"
echo "response-1.json:"
cat "$work/response-1.json"
echo
echo "mask: $work/messi5-mask.png"
