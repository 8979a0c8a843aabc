#!/usr/bin/env bash
# Installs the project into a temporary prefix, static and shared, and builds and runs a project
# of its own against each, one that also reads a video: through find_package(vizmoro) and through
# pkg-config. Runs the installed programs and imports the installed Python module from each, with
# no library path set. Expects the plain build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)

check() {  # prefix, label
  local prefix=$1 label=$2
  local libdir
  libdir=$(dirname "$(find "$prefix" -name vizmoro.pc | head -n 1)")/..
  cmake -S tests/package -B "$work/$label-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/$label-cmake" -j"$jobs" >/dev/null
  LD_LIBRARY_PATH="$libdir" "$work/$label-cmake/consumer" "$work/$label-cmake.avi"
  # shellcheck disable=SC2046
  g++ -std=c++17 tests/package/consumer.cpp -o "$work/$label-pkgconfig" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vizmoro) \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --libs opencv4)
  LD_LIBRARY_PATH="$libdir" "$work/$label-pkgconfig" "$work/$label-pkgconfig.avi"
  echo "$label: find_package and pkg-config consumers ran"
  # The programs find their engine on their own, and say the package's version.
  local version
  version=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion vizmoro)
  test "$("$prefix/bin/vizmoro-cli" --version)" = "vizmoro-cli $version"
  test -x "$prefix/bin/Vizmoro" && "$prefix/bin/Vizmoro" "/?" >/dev/null
  PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c \
    "import vizmoro; m = vizmoro.Memory(); m.create(100, 100, 3); assert m.node_count == 1"
  echo "$label: the installed programs run and the installed module imports"
}

cmake --install build --prefix "$work/static" >/dev/null
check "$work/static" static

cmake -S . -B build-shared -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DVIZMORO_TESTS=OFF \
  -DVIZMORO_PYTHON=ON >/dev/null
cmake --build build-shared -j"$jobs" --target vizmoro Vizmoro vizmoro-cli _vizmoro >/dev/null
cmake --install build-shared --prefix "$work/shared" >/dev/null
find "$work/shared" -name 'libvizmoro.so*' | grep -q . || { echo "no shared library"; exit 1; }
check "$work/shared" shared
