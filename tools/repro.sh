#!/usr/bin/env bash
# repro.sh [preset]: builds the two programs from two copies of this tree at different paths
# with the preset (cross by default) and checks that the copies' programs and this tree's own
# build (build/<preset>) are byte for byte the same.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-cross}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

copy_tree() { # the files git knows of, and the new ones it does not ignore, as they are now
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$1")
}

status=0
for program in lumbrook tessvane; do
  [ -f "$root/build/$preset/$program/$program.exe" ] || { echo "repro: build first" >&2; exit 2; }
done
for copy in one/tree another/deeper/copy; do
  copy_tree "$work/$copy"
  (cd "$work/$copy" && cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null &&
    cmake --build --preset "$preset" --target lumbrook tessvane >/dev/null)
done
for program in lumbrook tessvane; do
  sums=$(for tree in "$root" "$work/one/tree" "$work/another/deeper/copy"; do
    sha256sum < "$tree/build/$preset/$program/$program.exe" | cut -d' ' -f1
  done | sort -u)
  if [ "$(echo "$sums" | wc -l)" -eq 1 ]; then
    echo "repro: $program.exe identical in three builds: sha256 $sums"
  else
    echo "repro: $program.exe differs between builds:" $sums >&2
    status=1
  fi
done
exit $status
