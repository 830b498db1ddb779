#!/usr/bin/env bash
# Sets up and builds both programs, then runs the cut-out service on a built-in example photo
# (OpenCV's sample "messi5.jpg", unpacked by setup) and prints its response and the mask's path;
# then records 3 seconds of a screen region with its sound (on a private Xvfb and PulseAudio when
# there is no display) and prints the recorder's result.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/setup.sh"
bash "$root/scripts/configure.sh" "$root/build"
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

# ---- rezoro-capture: 3 seconds of a screen region with its sound ----
# Without a display, a private Xvfb and a private PulseAudio (null sink) are started for it, with an
# animated window and a tone to record. Everything started here is stopped by PID on exit.
pids=()
# Stopped in the reverse order of their start, each waited for: the players end before the sound
# server they play into (which would cut them off with complaints).
cleanup() {
  local index
  for ((index = ${#pids[@]} - 1; index >= 0; index--)); do
    kill "${pids[index]}" 2>/dev/null || true
    wait "${pids[index]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  display_file="$work/xvfb.display"
  Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp -noreset >"$display_file" 2>"$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  [ -s "$display_file" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
  export DISPLAY=":$(head -n1 "$display_file")"

  pulse="$work/pulse"
  mkdir -p "$pulse/runtime" && chmod 700 "$pulse/runtime"
  cat >"$pulse/pa.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$pulse/pulse.sock
load-module module-null-sink sink_name=demo rate=48000 channels=2
set-default-sink demo
PA
  HOME="$pulse" XDG_RUNTIME_DIR="$pulse/runtime" XDG_CONFIG_HOME="$pulse/config" DISPLAY= \
    pulseaudio -n -F "$pulse/pa.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    >"$pulse/pulse.log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER="unix:$pulse/pulse.sock"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl info >/dev/null 2>&1 || { echo "pulseaudio did not start"; cat "$pulse/pulse.log"; exit 1; }
fi

audio=false
if pactl info >/dev/null 2>&1; then
  audio=true
  sox -q -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 10 sine 880 vol 0.4
  # A player asking for low latency, as desktop players mostly do. A fresh null sink still renders
  # its first block of up to 2 s before it follows that; the recording starts after it.
  paplay --latency-msec=20 "$work/tone.wav" &
  pids+=($!)
fi
"$bin/animated_window" 100 100 640 360 12 &
pids+=($!)
sleep 2.2

# The application that asks to be left out: here a stand-in that neither plays nor shows anything
# (this script would take its own children, the tone and the window, out of the recording).
sleep 60 &
caller=$!
pids+=($caller)
movie="$work/screen.mp4"
printf '{"kind":"video","destination":"%s","capture_audio":%s,"duration_seconds":3,"exclude_pid":%d,"rect":[100,100,640,360]}' \
  "$movie" "$audio" "$caller" >"$work/recording.json"
echo
echo "== rezoro-capture --record  (3 s of $DISPLAY at 100,100 640x360, system audio: $audio)"
# The recorder stops early when its input ends, so it reads from a pipe held open meanwhile.
exec 8< <(sleep 30)
pids+=($!)
status=0
"$bin/rezoro-capture" --record "$work/recording.json" <&8 || status=$?
exec 8<&-
echo "exit status: $status"
[ -f "$movie" ] && echo "movie: $movie" && ffprobe -v error -show_entries stream=codec_name,width,height,duration \
  -of compact "$movie" 2>/dev/null || true
