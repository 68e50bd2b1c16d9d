#!/usr/bin/env bash
# package.sh <build-dir> <dist>: the release build's zip (through CPack) and its Node package
# tarball (npm pack) in <dist>, with SHA256SUMS of both beside them.
set -euo pipefail
build=$(realpath "$1")
mkdir -p "$2"
dist=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -C Release -B "$scratch" -D CPACK_DIST_DIRECTORY= >/dev/null)
zip=$(basename "$(ls "$scratch"/*.zip)")
cp "$scratch/$zip" "$dist/"
tarball=$(basename "$(bash "$(dirname "$0")/pack-node.sh" "$build" "$dist")")
(cd "$dist" && sha256sum "$zip" "$tarball" >SHA256SUMS)
echo "$dist/$zip"
echo "$dist/$tarball"
