#!/usr/bin/env bash
# Runs every suite against the GCC build, and the programs' suites against the clang build.
# First the real-engine suite and the loaded-machine stream suite, one build after the other
# with nothing beside them: a sound server and Wine's engine starved of the processor lose
# samples, and the loaded suite's busy loops would hold up whatever ran beside them. Then the
# rest of both builds side by side: most suites wait for real time, not for the processor, so
# the two share the machine's cores well. Each CTest output is shown whole once all are done,
# and the run fails if any did.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
# The Node package's suites judge its JavaScript, with lumbrook only as their feed: they run
# against the GCC build, which is the one dist/ ships, and not a second time.
package_suites='node_package|node_types|browser_track'
# Wine's own engine is the platform's, not the compiler's: its suite runs against the GCC build.
ctest --preset cross -j 1 -R '^(real_engine|stream_load)$' >build/cross/ctest-real-engine.log 2>&1 || status=1
ctest --preset cross-clang -j 1 -R '^stream_load$' >build/cross-clang/ctest-real-engine.log 2>&1 || status=1
ctest --preset cross -E '^(real_engine|stream_load)$' >build/cross/ctest.log 2>&1 &
gcc=$!
ctest --preset cross-clang -E "^(real_engine|stream_load|$package_suites)\$" >build/cross-clang/ctest.log 2>&1 &
clang=$!
wait "$gcc" || status=1
wait "$clang" || status=1
cat build/cross/ctest-real-engine.log build/cross-clang/ctest-real-engine.log \
  build/cross/ctest.log build/cross-clang/ctest.log
exit "$status"
