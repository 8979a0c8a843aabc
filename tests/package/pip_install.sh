#!/usr/bin/env bash
# Installs the Python package with pip, without a package index, into a fresh virtual environment
# that sees Debian's packages, then imports it from there and makes a memory.
# Arguments: the source tree, a work folder (its build is reused by later runs), the version.
set -euo pipefail
source=$1 work=$2 version=$3
unset PYTHONPATH
mkdir -p "$work"
rm -rf "$work/venv"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# The user's pip configuration (find-links, an index) plays no part.
PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1 VIZMORO_PIP_BUILD_DIR="$work/build" \
  "$work/venv/bin/python" -m pip install -q --no-index --no-build-isolation --no-cache-dir "$source"
# From the work folder, so that the source tree's python/ cannot be what is imported.
cd "$work"
"$work/venv/bin/python" - "$work/venv" "$version" <<'PY'
import os, sys

import vizmoro

venv, version = sys.argv[1:]
installed = os.path.realpath(vizmoro.__file__)
assert installed.startswith(os.path.realpath(venv) + os.sep), installed
assert vizmoro.__version__ == version, vizmoro.__version__
memory = vizmoro.Memory()
memory.create(100, 100, 3)
assert memory.node_count == 1
print("pip installed vizmoro", version, "in", venv)
PY
