#!/usr/bin/env bash
# Runs every suite against the GCC build and the clang build side by side: most suites wait for
# real time, not for the processor, so the two share the machine's cores well. Each build's
# CTest output is shown whole once both are done, and the run fails if either did.
set -uo pipefail
cd "$(dirname "$0")/.."
ctest --preset cross >build/cross/ctest.log 2>&1 &
gcc=$!
ctest --preset cross-clang >build/cross-clang/ctest.log 2>&1 &
clang=$!
wait "$gcc"
gcc_status=$?
wait "$clang"
clang_status=$?
cat build/cross/ctest.log build/cross-clang/ctest.log
[ "$gcc_status" -eq 0 ] && [ "$clang_status" -eq 0 ]
