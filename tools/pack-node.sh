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
# The sources the manifest's "files" lists, with the manifest and the README.
mapfile -t sources < <(node -e 'for (const f of require(process.argv[1]).files) if (!f.startsWith("bin/")) console.log(f)' \
  "$root"/node/package.json)
for file in package.json README.md "${sources[@]}"; do cp "$root/node/$file" "$stage"/; done
# The project's licence, and after it the notices of what the programs are linked with: npm
# ships a package's LICENSE whatever its "files" list.
{ cat "$root"/LICENSE; echo; cat "$root"/THIRD_PARTY_NOTICES.txt; } >"$stage"/LICENSE
mkdir "$stage"/bin
cp "$build"/lumbrook/lumbrook.exe "$build"/tessvane/tessvane.exe "$stage"/bin/
name=$(cd "$stage" && npm pack --silent --pack-destination "$destination")
echo "$destination/$name"
