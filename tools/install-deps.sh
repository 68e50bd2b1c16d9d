#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build the programs (with GCC and with clang)
# and run their tests.
# Idempotent: packages already present are left alone, and apt is not touched at all when
# nothing is missing.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
{ have_cmd wine && [ -x /usr/lib/wine/wine64 ]; } || need+=(wine64 wine)
have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd python3 || need+=(python3)
have_cmd node || need+=(nodejs)
have_cmd clang || need+=(clang)
have_cmd ld.lld || need+=(lld)
# A real sound server for the tests against Wine's own audio engine, a player and a tone maker.
have_cmd pulseaudio || need+=(pulseaudio)
{ have_cmd pactl && have_cmd paplay; } || need+=(pulseaudio-utils)
have_cmd sox || need+=(sox)
# A real browser for the tests of the package's renderer side: Chromium without a display.
have_cmd chromium-headless-shell || need+=(chromium-headless-shell)
# Debian's Node.js comes without npm, which installs the Node package tests' tools and packs it.
have_cmd npm || need+=(npm)

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing ${need[*]}; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

# TypeScript, pinned by the lock file, for the check of the Node package's declarations: again
# only when the lock file has changed since the last install.
node_tests="$(dirname "$0")/../tests/node"
installed="$node_tests/node_modules/.package-lock.json"
if [ ! -f "$installed" ] || [ "$node_tests/package-lock.json" -nt "$installed" ]; then
  (cd "$node_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
