#!/bin/sh
# Runs the README's new user's path from its mkdir on, in a scratch folder whose build/ is this
# build: every command of it must succeed, and it must leave the files it says it leaves.
# usage: new_user_path.sh README BUILD_DIR
set -eu
readme=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ln -s "$build" "$scratch/build"
# The fenced block after the marker, from its mkdir to its end.
awk '/<!-- new user.s path -->/ { found = 1; next }
     found && /^```sh/ { inside = 1; next }
     inside && /^```/ { exit }
     inside && /^mkdir/ { started = 1 }
     inside && started { print }' "$readme" >"$scratch/path.sh"
grep -q vizmoro-cli "$scratch/path.sh" || { echo "no new user's path in $readme" >&2; exit 1; }
cd "$scratch"
sh -eu path.sh >out.txt 2>err.txt || { cat out.txt err.txt >&2; exit 1; }
for file in mine/box.png mine/results.txt mine/annotated.mp4; do
  [ -s "$file" ] || { echo "$file is missing" >&2; exit 1; }
done
grep -q '^all ' out.txt || { cat out.txt >&2; exit 1; }
