#!/usr/bin/env bash
# Verify benchmark: the patch benchmark's game (the eleven packed folders, see bench/patch),
# published whole with `nimbrel-publish base` and served on 127.0.0.1, checked with
# `nimbrel-cli verify` (manifest fetched, every pack read once and its entries inflated and
# hashed, loose files hashed, on several threads) against `sha256sum` of the same files as
# they lie on the disk. Both run warm (the files in the page cache); the best round counts.
# Prints, does not judge.
#
# usage: bench/verify/run.sh [TOTAL_MB] [FILES]     (defaults 300 and 3000; e.g. 40 400 to try)
# env:   BUILD_DIR (default <repo>/build-bench-patch, shared with the patch benchmark; one that exists
#        keeps its configuration),
#        WORK (default a fresh folder in /tmp), ROUNDS (default 3), KEEP=1 keeps WORK afterwards.
set -euo pipefail

TOTAL_MB=${1:-300}
FILES=${2:-3000}
ROUNDS=${ROUNDS:-3}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build-bench-patch}
WORK=${WORK:-$(mktemp -d /tmp/nimbrel-verifybench.XXXXXX)}
SERVER_PID=
cleanup() {
  [[ -z $SERVER_PID ]] || kill "$SERVER_PID" 2>/dev/null || true
  [[ ${KEEP:-0} == 1 ]] || rm -rf "$WORK"
}
trap cleanup EXIT
for tool in python3 sha256sum; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

# A build folder that exists keeps its own configuration.
[[ -f $BUILD_DIR/CMakeCache.txt ]] || cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNIMBREL_BUILD_GUI=OFF -DNIMBREL_ALLOW_UNSIGNED_PATCHES=ON -DNIMBREL_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 nimbrel-cli qpak nimbrel-publish >/dev/null
CLI=$BUILD_DIR/tools/nimbrel-cli/nimbrel-cli
QPAK=$BUILD_DIR/tools/qpak/qpak
PUBLISH=$BUILD_DIR/tools/nimbrel-publish/nimbrel-publish
FOLDERS=(actor monster map resource sfx skill item etc interface wear minimap)
folder_of() { [[ $1 == minimap ]] && echo "map/minimap" || echo "$1"; }

GAME=$WORK/game/
SERVER=$WORK/server
export XDG_RUNTIME_DIR=$WORK XDG_CACHE_HOME=$WORK/cache
unset NIMBREL_PATCH_URL NIMBREL_PATCH_PUBLIC_KEY

echo "game:  $(python3 "$REPO/bench/patch/make_game.py" "$GAME" "$WORK/unused" "$TOTAL_MB" "$FILES" 5)"
for key in "${FOLDERS[@]}"; do
  dir=$GAME$(folder_of "$key")
  "$QPAK" build "$dir/" >/dev/null
  find "$dir" -maxdepth 1 -type f ! -name "$key.QPAK" ! -name item.edp ! -name usercontroll.edt -delete
done
mkdir -p "$SERVER"
"$PUBLISH" base "$GAME" "$SERVER" --version 1 >/dev/null
"$CLI" --game-dir "$GAME" version --write 1 >/dev/null
echo "files: $(find "$GAME" -type f ! -name version.ini | wc -l) on the disk, $(du -sb "$GAME" | cut -f1) bytes"

# A local server on a free port; its first line names the port.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$SERVER" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
until grep -q "port" "$WORK/server.log" 2>/dev/null; do sleep 0.1; done
PORT=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$WORK/server.log" | head -n 1)
URL=http://127.0.0.1:$PORT/

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
min_of() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
# cpu_of LOG COMMAND...: runs the command with its output in LOG; its CPU seconds (user +
# system) into CPU. On a busy machine the wall time says little, the CPU time still compares.
cpu_of() {
  local log=$1; shift
  /usr/bin/time -f "%U %S" -o "$WORK/cpu.txt" "$@" >"$log" 2>&1 || { tail -n 20 "$log" >&2; exit 1; }
  CPU=$(tail -n 1 "$WORK/cpu.txt" | awk '{ printf "%.3f", $1 + $2 }')
}

mapfile -t ALL < <(find "$GAME" -type f ! -name version.ini | sort)
cat "${ALL[@]}" >/dev/null  # into the page cache for both
VERIFY_SECONDS= SHA_SECONDS=
for ((round = 0; round < ROUNDS; round++)); do
  t0=$(now); cpu_of "$WORK/verify.log" "$CLI" verify --game-dir "$GAME" --patch-url "$URL"; t1=$(now)
  best=$(min_of "$VERIFY_SECONDS" "$(elapsed "$t0" "$t1")")
  [[ $best == "$VERIFY_SECONDS" ]] || VERIFY_CPU=$CPU
  VERIFY_SECONDS=$best
  t0=$(now); cpu_of /dev/null sha256sum "${ALL[@]}"; t1=$(now)
  best=$(min_of "$SHA_SECONDS" "$(elapsed "$t0" "$t1")")
  [[ $best == "$SHA_SECONDS" ]] || SHA_CPU=$CPU
  SHA_SECONDS=$best
done

echo "$(tail -n 1 "$WORK/verify.log")"
printf '\n%-32s %9s %9s\n' "" seconds "cpu s"
printf '%-32s %9.3f %9.3f\n' "nimbrel-cli verify" "$VERIFY_SECONDS" "$VERIFY_CPU"
printf '%-32s %9.3f %9.3f\n' "sha256sum of the same files" "$SHA_SECONDS" "$SHA_CPU"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }
echo "ratio verify / sha256sum: $(ratio "$VERIFY_SECONDS" "$SHA_SECONDS") (cpu $(ratio "$VERIFY_CPU" "$SHA_CPU"))"
echo "best of $ROUNDS rounds; load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "target: verify <= 1.5x the sha256sum time"
