#!/usr/bin/env bash
# pack-node.sh <build-dir> <destination>: the Node package (node/) with the built programs in its
# bin/, packed by npm into <destination>/lumbrook-tessvane-<version>.tgz; prints the tarball's
# path.
set -euo pipefail
build=$(realpath "$1")
destination=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$root"/node/package.json "$root"/node/index.js "$root"/node/index.d.ts "$root"/node/send-frames.js \
  "$root"/node/renderer.mjs "$root"/node/renderer-worker.js "$root"/node/renderer.d.ts \
  "$root"/node/README.md "$stage"/
mkdir "$stage"/bin
cp "$build"/lumbrook/lumbrook.exe "$build"/tessvane/tessvane.exe "$stage"/bin/
# npm pack checks the package's os and cpu only when installing, not when packing.
name=$(cd "$stage" && npm pack --silent --pack-destination "$destination")
echo "$destination/$name"
