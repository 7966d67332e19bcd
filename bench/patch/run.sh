#!/usr/bin/env bash
# Patch benchmark: a realistic game folder (the eleven packed folders), a patch that replaces
# about 5 % of its files spread over every pack, adds a file to each and deletes one from each
# (the minimap's part inside the map archive), applied by a full offline run of nimbrel-cli;
# then the "sync" pass over loose copies of 5 % of the files. Both are set against the time
# cp (and a flush) takes to copy the packs the run touches: what rewriting them would cost at
# the least. Prints, does not judge.
#
# usage: bench/patch/run.sh [TOTAL_MB] [FILES]     (defaults 300 and 3000; e.g. 40 400 to try)
# env:   BUILD_DIR (default <repo>/build-bench-patch), WORK (default a fresh folder in /tmp),
#        ROUNDS (default 3; the best round counts), KEEP=1 keeps WORK afterwards.
set -euo pipefail

TOTAL_MB=${1:-300}
FILES=${2:-3000}
ROUNDS=${ROUNDS:-3}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build-bench-patch}
WORK=${WORK:-$(mktemp -d /tmp/nimbrel-patchbench.XXXXXX)}
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
for tool in zip python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install zip python3 time)" >&2; exit 1; }
done

cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_GUI=OFF -DNIMBREL_ALLOW_UNSIGNED_PATCHES=ON \
  -DNIMBREL_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 nimbrel-cli qpak >/dev/null
CLI=$BUILD_DIR/tools/nimbrel-cli/nimbrel-cli
QPAK=$BUILD_DIR/tools/qpak/qpak
FOLDERS=(actor monster map resource sfx skill item etc interface wear minimap)
folder_of() { [[ $1 == minimap ]] && echo "map/minimap" || echo "$1"; }

GAME=$WORK/game/
SERVER=$WORK/server
# The patcher's single-instance lock and download cache stay inside WORK.
export XDG_RUNTIME_DIR=$WORK XDG_CACHE_HOME=$WORK/cache
unset NIMBREL_PATCH_URL

echo "game:  $(python3 "$REPO/bench/patch/make_game.py" "$GAME" "$SERVER" "$TOTAL_MB" "$FILES" 5)"
for key in "${FOLDERS[@]}"; do
  dir=$GAME$(folder_of "$key")
  "$QPAK" build "$dir/" >/dev/null
  find "$dir" -maxdepth 1 -type f ! -name "$key.QPAK" ! -name item.edp ! -name usercontroll.edt -delete
done
for key in "$SERVER"/stage/*; do
  (cd "$key" && zip -q -X -r "$SERVER/$(basename "$key")_1.zip" .)
done
rm -rf "$SERVER/stage"
"$CLI" --game-dir "$GAME" version --write 0 >/dev/null
mkdir -p "$GAME/update"
cp "$SERVER"/* "$GAME/update/"
PACKS=()
for key in "${FOLDERS[@]}"; do PACKS+=("$GAME$(folder_of "$key")/$key.QPAK"); done
PACK_BYTES=$(stat -c %s "${PACKS[@]}" | awk '{s+=$1} END {print s}')
echo "packs: ${#PACKS[@]}, $(awk -v b="$PACK_BYTES" 'BEGIN { printf "%.1f MB", b / 1e6 }'); patch: $(du -sb "$SERVER" | cut -f1) bytes"
sync

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# cpu_of LOG COMMAND...: runs the command with its output in LOG; CPU seconds (user + system)
# into CPU. On a busy machine the wall time says little, the CPU time still compares.
cpu_of() {
  local log=$1; shift
  /usr/bin/time -f "%U %S" -o "$WORK/cpu.txt" "$@" >"$log" 2>&1 || true
  CPU=$(tail -n 1 "$WORK/cpu.txt" | awk '{ printf "%.3f", $1 + $2 }')
}

min_of() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# Each round patches a fresh copy of the same unpatched game; the best round counts, for the
# patcher and for cp alike, as the download benchmark does.
cp -a "$GAME" "$WORK/unpatched"
PATCH_SECONDS= CP_SECONDS= CP_SYNC_SECONDS=
for ((round = 0; round < ROUNDS; round++)); do
  rm -rf "$GAME" && cp -a "$WORK/unpatched" "$GAME" && sync
  t0=$(now)
  cpu_of "$WORK/patch.log" "$CLI" --game-dir "$GAME" DontConnect
  t1=$(now)
  RESULT=$(tail -n 1 "$WORK/patch.log")
  [[ $RESULT == "result 1 stage 5" ]] || { echo "patch run failed: $RESULT" >&2; tail -n 20 "$WORK/patch.log" >&2; exit 1; }
  best=$(min_of "$PATCH_SECONDS" "$(elapsed "$t0" "$t1")")
  [[ $best == "$PATCH_SECONDS" ]] || PATCH_CPU=$CPU
  PATCH_SECONDS=$best
  for pack in "${PACKS[@]}"; do "$QPAK" verify "$pack" >/dev/null; done

  # cp of every pack the run touched (all eleven), as plain copies and flushed like the patcher's.
  rm -rf "$WORK/copy"; mkdir -p "$WORK/copy"
  t0=$(now); cpu_of /dev/null cp "${PACKS[@]}" "$WORK/copy/"; t1=$(now)
  best=$(min_of "$CP_SECONDS" "$(elapsed "$t0" "$t1")")
  [[ $best == "$CP_SECONDS" ]] || CP_CPU=$CPU
  CP_SECONDS=$best
  rm -rf "$WORK/copy"; mkdir -p "$WORK/copy"; sync
  t0=$(now); cp "${PACKS[@]}" "$WORK/copy/"; sync "$WORK"/copy/*; t1=$(now)
  CP_SYNC_SECONDS=$(min_of "$CP_SYNC_SECONDS" "$(elapsed "$t0" "$t1")")
done
rm -rf "$WORK/unpatched" "$WORK/copy"

# Sync pass: loose copies of 5 % of the packed files put back next to their packs.
LOOSE=0
for key in "${FOLDERS[@]}"; do
  dir=$GAME$(folder_of "$key")
  mapfile -t names < <("$QPAK" list "$dir/$key.QPAK" | awk 'NR > 2 {print $5}' | grep -v -e '^item\.edp$' -e '^usercontroll\.edt$' | awk 'NR % 20 == 1')
  (( ${#names[@]} )) && "$QPAK" extract "$dir/$key.QPAK" "$dir/" "${names[@]}" >/dev/null
  LOOSE=$((LOOSE + ${#names[@]}))
done
sync
t0=$(now)
cpu_of "$WORK/sync.log" "$CLI" --game-dir "$GAME" DontConnect sync
t1=$(now)
SYNC_SECONDS=$(elapsed "$t0" "$t1")
SYNC_CPU=$CPU
for pack in "${PACKS[@]}"; do "$QPAK" verify "$pack" >/dev/null; done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", (b > 0 ? a / b : 0) }'; }
printf '\n%-44s %9s %12s %14s %9s\n' "" seconds "vs cp" "vs cp+flush" "cpu s"
printf '%-44s %9.3f %12s %14s %9.3f\n' "offline patch run (nimbrel-cli DontConnect)" "$PATCH_SECONDS" \
  "$(ratio "$PATCH_SECONDS" "$CP_SECONDS")" "$(ratio "$PATCH_SECONDS" "$CP_SYNC_SECONDS")" "$PATCH_CPU"
printf '%-44s %9.3f %12s %14s %9.3f\n' "sync pass ($LOOSE loose files)" "$SYNC_SECONDS" \
  "$(ratio "$SYNC_SECONDS" "$CP_SECONDS")" "$(ratio "$SYNC_SECONDS" "$CP_SYNC_SECONDS")" "$SYNC_CPU"
printf '%-44s %9.3f %12s %14s %9.3f\n' "cp of the touched packs" "$CP_SECONDS" "" "" "$CP_CPU"
printf '%-44s %9.3f\n' "cp of the touched packs, then flushed" "$CP_SYNC_SECONDS"
echo "best of $ROUNDS rounds; load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "target: patch run <= 0.5x the cp + flush time (packs are updated in place)"
