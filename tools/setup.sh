#!/usr/bin/env bash
# Installs everything the build, the tests and the program need, from Debian's archive.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
packages=(cmake g++ make pkg-config libopencv-dev libgtest-dev googletest libbenchmark-dev
          clang libclang-rt-14-dev xvfb xauth libx11-dev
          python3-dev python3-pybind11 pybind11-dev python3-numpy python3-opencv python3-pytest
          python3-distributed python3-matplotlib python3-venv python3-setuptools python3-wheel
          libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
