#!/usr/bin/env bash
# Download benchmark: the headless patcher and the engine's downloader against the curl command
# line, same files, same local servers, one run. Not a test: it prints the figures, the ratios
# and their targets side by side, it does not judge.
#
# usage: bench/download/run.sh [ROUNDS]      (default 3; the best round counts)
# env:   BUILD_DIR (default <repo>/build-bench-download), WORK (default a fresh folder under /tmp),
#        CMAKE_ARGS (extra configure options, e.g. -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
set -euo pipefail

ROUNDS=${1:-3}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build-bench-download}
WORK=${WORK:-$(mktemp -d /tmp/nimbrel-downloadbench.XXXXXX)}
trap 'rm -rf "$WORK"' EXIT

command -v curl >/dev/null || { echo "missing curl (apt-get install curl)" >&2; exit 1; }

# The server is the tests' own, so the tests must be configured.
cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_GUI=OFF -DNIMBREL_ALLOW_UNSIGNED_PATCHES=ON \
  -DNIMBREL_BUILD_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
ninja -C "$BUILD_DIR" -j2 download-bench nimbrel-cli >/dev/null
echo "curl: $(curl --version | head -1)"
"$BUILD_DIR/bench/download/download-bench" "$ROUNDS" "$WORK" "$BUILD_DIR/tools/nimbrel-cli/nimbrel-cli"
