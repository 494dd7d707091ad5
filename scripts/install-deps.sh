#!/usr/bin/env bash
# Installs the Debian packages korvel needs to build, test and run; does nothing
# when they are all present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev libglew-dev libgl-dev libjpeg-dev libboost-dev libglm-dev libfmt-dev
  libeigen3-dev libtiff-dev libpng-dev libopenexr-dev libraw-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth libgl1-mesa-dri libegl-dev libegl-mesa0 parallel dpkg-dev
  clang libclang-rt-14-dev libomp-dev
  hugin-tools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
