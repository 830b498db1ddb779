#!/usr/bin/env bash
# Sets up, builds the Release programs with Debian's hardening flags, and makes the Debian package
# build/package/rezoro_<version>_<architecture>.deb (install it with: sudo apt install ./build/package/rezoro_*.deb).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/setup.sh"
bash "$root/scripts/configure.sh" "$root/build"
cmake --build "$root/build" -j "$(nproc)"
(cd "$root/build" && cpack)
ls "$root"/build/package/rezoro_*.deb
