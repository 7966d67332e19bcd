#!/usr/bin/env bash
# Pack benchmark: qpak against Info-ZIP zip/unzip, single-thread zlib and cp on one
# deterministic corpus, figures side by side. Not a test: it prints, it does not judge.
#
# usage: bench/pack/run.sh [TOTAL_MB]        (default 200; e.g. 50 for a quick run)
# env:   BUILD_DIR (default <repo>/build-bench), WORK (default a fresh folder under /tmp),
#        KEEP=1 keeps WORK afterwards.
set -euo pipefail

TOTAL_MB=${1:-200}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build-bench}
WORK=${WORK:-$(mktemp -d /tmp/nimbrel-packbench.XXXXXX)}
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

for tool in zip unzip /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install zip unzip time)" >&2; exit 1; }
done

cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_GUI=OFF -DNIMBREL_ALLOW_UNSIGNED_PATCHES=ON \
  -DNIMBREL_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 qpak pack-bench-corpus pack-bench-zlib >/dev/null
QPAK=$BUILD_DIR/tools/qpak/qpak
CORPUS=$BUILD_DIR/bench/pack/pack-bench-corpus
ZLIB=$BUILD_DIR/bench/pack/pack-bench-zlib

DATA=$WORK/data
mkdir -p "$DATA" "$WORK/zip" "$WORK/staging"
echo "corpus: $("$CORPUS" "$DATA" "$TOTAL_MB") in $DATA"
BYTES=$(find "$DATA" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
PW=$("$QPAK" password)
sync

# measure NAME COMMAND...: elapsed seconds, CPU seconds (user + system) and peak memory (KiB)
# into SECONDS_<NAME>, CPU_<NAME>, PEAK_<NAME>. CPU time tells the work apart from the wait
# when the machine is shared.
measure() {
  local name=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >/dev/null
  read -r secs user sys peak <"$WORK/time.txt"
  printf -v "SECONDS_$name" '%s' "$secs"
  printf -v "CPU_$name" '%s' "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
  printf -v "PEAK_$name" '%s' "$peak"
}
mbps() { awk -v b="$BYTES" -v s="$1" 'BEGIN { printf "%.1f", (s > 0 ? b / 1e6 / s : 0) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f%%", 100 * a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
times() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else printf "n/a" }'; }

PACK=$DATA/data.QPAK
measure build "$QPAK" build "$DATA"
PACK_BYTES=$(stat -c %s "$PACK")
measure zip bash -c 'cd "$1" && zip -q -r -8 -P "$2" "$3" . -x data.QPAK data.RPAK' _ "$DATA" "$PW" "$WORK/zip/data.zip"
ZIP_BYTES=$(stat -c %s "$WORK/zip/data.zip")
measure zlib bash -c '"$1" "$2" >"$3"' _ "$ZLIB" "$DATA" "$WORK/zlib.txt"
read -r _ ZLIB_IN ZLIB_OUT <"$WORK/zlib.txt"
"$QPAK" verify "$PACK" >/dev/null

# 1 % of the entries, staged as the patcher stages them.
mapfile -t ALL < <(cd "$DATA" && ls | grep -v -e '\.QPAK$' -e '\.RPAK$')
STAGED=()
for ((i = 0; i < ${#ALL[@]}; i += 100)); do STAGED+=("${ALL[i]}"); cp "$DATA/${ALL[i]}" "$WORK/staging/"; done
sync
# The copy is short and the most easily disturbed by other work: the fastest of three counts.
fastest() {
  local name=$1 best="" bestcpu=""; shift
  for _ in 1 2 3; do
    measure "$name" "$@"
    rm -f "$WORK/copy.QPAK"
    local s="SECONDS_$name" c="CPU_$name"
    if [[ -z $best ]] || awk -v a="${!s}" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=${!s}; bestcpu=${!c}; fi
  done
  printf -v "SECONDS_$name" '%s' "$best"
  printf -v "CPU_$name" '%s' "$bestcpu"
}
fastest cp cp "$PACK" "$WORK/copy.QPAK"
fastest cpsync bash -c 'cp "$1" "$2" && sync "$2"' _ "$PACK" "$WORK/copy.QPAK"
measure add "$QPAK" add "$DATA" "$WORK/staging" "${STAGED[@]}"
"$QPAK" verify "$PACK" >/dev/null

measure extract "$QPAK" extract "$PACK" "$WORK/out-qpak"
measure unzip unzip -q -P "$PW" "$WORK/zip/data.zip" -d "$WORK/out-unzip"
cmp <(cd "$WORK/out-qpak" && cat $(ls)) <(cd "$DATA" && cat $(ls | grep -v -e '\.QPAK$' -e '\.RPAK$')) \
  || echo "WARNING: extracted files differ from the corpus"

echo
echo "cores: $(nproc), load average $(cut -d' ' -f1-3 /proc/loadavg); corpus $(awk -v b="$BYTES" 'BEGIN { printf "%.1f MB", b / 1e6 }'), ${#ALL[@]} files"
row() {  # label seconds cpu mbps size peak
  printf '%-34s %8s %8s %8s %8s %9s\n' "$@"
}
row "" seconds "cpu s" "MB/s" size "peak MiB"
row "qpak build" "$SECONDS_build" "$CPU_build" "$(mbps "$SECONDS_build")" "$(ratio "$PACK_BYTES" "$BYTES")" "$(mib "$PEAK_build")"
row "zip -r -8 -P" "$SECONDS_zip" "$CPU_zip" "$(mbps "$SECONDS_zip")" "$(ratio "$ZIP_BYTES" "$BYTES")" "$(mib "$PEAK_zip")"
row "zlib raw deflate 8, one thread" "$SECONDS_zlib" "$CPU_zlib" "$(mbps "$SECONDS_zlib")" "$(ratio "$ZLIB_OUT" "$ZLIB_IN")" ""
row "qpak add (${#STAGED[@]} of ${#ALL[@]} entries)" "$SECONDS_add" "$CPU_add" "" "" "$(mib "$PEAK_add")"
row "cp of the pack" "$SECONDS_cp" "$CPU_cp" "" "" ""
row "cp + sync of the pack" "$SECONDS_cpsync" "$CPU_cpsync" "" "" ""
row "qpak extract" "$SECONDS_extract" "$CPU_extract" "$(mbps "$SECONDS_extract")" "" "$(mib "$PEAK_extract")"
row "unzip -P" "$SECONDS_unzip" "$CPU_unzip" "$(mbps "$SECONDS_unzip")" "" "$(mib "$PEAK_unzip")"
echo
echo "build:   zip / qpak = $(times "$SECONDS_zip" "$SECONDS_build")   (target >= 3.5x)"
echo "         zlib one thread / qpak = $(times "$SECONDS_zlib" "$SECONDS_build")"
echo "add:     qpak / cp = $(times "$SECONDS_add" "$SECONDS_cp"), qpak / (cp + sync) = $(times "$SECONDS_add" "$SECONDS_cpsync")   (target <= 0.3x of cp + sync: the update appends in place)"
echo "extract: unzip / qpak = $(times "$SECONDS_unzip" "$SECONDS_extract")   (target >= 2x)"
echo "peak:    $(mib "$(printf '%s\n' "$PEAK_build" "$PEAK_add" "$PEAK_extract" | sort -n | tail -1)") MiB for qpak   (target < 64 MiB)"
