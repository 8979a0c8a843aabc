#!/usr/bin/env bash
# Installs what is needed, builds the program, makes the sample clip and runs Vizmoro on it
# with "/r". Everything the run leaves is in samples/: the clip and its ground truth, the
# annotated clip sample_out.avi and the memory am.dat, which the next run loads.
# Without a display the program runs headless.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target Vizmoro make_sample_clip

build/tools/make_sample_clip --output samples/sample.avi
cd samples
../build/app/Vizmoro sample.avi /r
echo "Annotated clip: samples/sample_out.avi; memory: samples/am.dat"
