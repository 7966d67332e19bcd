#!/usr/bin/env bash
# Repair and install benchmark: the bytes `nimbrel-cli repair` and `nimbrel-cli install` download,
# counted by a local patch server that answers byte ranges (bench/repair/serve.py), against what
# they must at least fetch.
#   repair:  one damaged 1 MB file inside a 50 MB archive (fifty 1 MB files that do not compress)
#            against that entry's compressed size plus 64 KiB;
#   install: the last build of a history whose 20 MB file changed in every one of VERSIONS
#            versions, against the last build zipped (Python's zipfile, deflate).
# Prints, does not judge.
#
# usage: bench/repair/run.sh [VERSIONS]     (default 6)
# env:   BUILD_DIR (default <repo>/build-bench-patch, shared with the patch benchmark; one that exists
#        keeps its configuration), WORK (default a fresh folder in /tmp), KEEP=1 keeps WORK afterwards.
set -euo pipefail

VERSIONS=${1:-6}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build-bench-patch}
WORK=${WORK:-$(mktemp -d /tmp/nimbrel-repairbench.XXXXXX)}
SERVER_PID=
cleanup() {
  [[ -z $SERVER_PID ]] || kill "$SERVER_PID" 2>/dev/null || true
  [[ ${KEEP:-0} == 1 ]] || rm -rf "$WORK"
}
trap cleanup EXIT

[[ -f $BUILD_DIR/CMakeCache.txt ]] || cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNIMBREL_BUILD_GUI=OFF -DNIMBREL_ALLOW_UNSIGNED_PATCHES=ON -DNIMBREL_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 nimbrel-cli nimbrel-publish >/dev/null
CLI=$BUILD_DIR/tools/nimbrel-cli/nimbrel-cli
PUBLISH=$BUILD_DIR/tools/nimbrel-publish/nimbrel-publish
export XDG_RUNTIME_DIR=$WORK XDG_CACHE_HOME=$WORK/cache
unset NIMBREL_PATCH_URL NIMBREL_PATCH_PUBLIC_KEY

# Random bytes do not compress: an entry's compressed size is about its size.
random_file() { head -c "$2" /dev/urandom >"$1"; }
serve() {
  : >"$WORK/requests.log"
  python3 -u "$REPO/bench/repair/serve.py" "$1" "$WORK/requests.log" >"$WORK/server.out" 2>&1 &
  SERVER_PID=$!
  until grep -q "port" "$WORK/server.out" 2>/dev/null; do sleep 0.1; done
  URL=http://127.0.0.1:$(awk '{print $2; exit}' "$WORK/server.out")/
}
stop_serving() { kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=; }
downloaded() { awk '{sum += $3} END {print sum + 0}' "$WORK/requests.log"; }
ratio() { python3 -c "print('%.3f' % ($1 / $2))"; }

# --- repair: one damaged 1 MB file inside a 50 MB archive
BUILD=$WORK/build/
mkdir -p "$BUILD/data"
for i in $(seq -w 1 50); do random_file "$BUILD/data/part$i.bin" 1048576; done
mkdir -p "$WORK/server1" "$WORK/server2"
"$PUBLISH" base "$BUILD" "$WORK/server1" --version 1 >/dev/null
cp -r "$BUILD" "$WORK/game1"
"$CLI" --game-dir "$WORK/game1" version --write 1 >/dev/null
printf 'X' | dd of="$WORK/game1/data/part25.bin" bs=1 seek=500000 conv=notrunc status=none
ENTRY=$(python3 -c "
import zipfile, sys
info = zipfile.ZipFile(sys.argv[1]).getinfo('part25.bin')
print(info.compress_size)" "$WORK/server1/data_1.zip")
serve "$WORK/server1"
: >"$WORK/requests.log"
"$CLI" repair --game-dir "$WORK/game1" --patch-url "$URL" >"$WORK/repair.out" 2>&1 || { cat "$WORK/repair.out"; exit 1; }
"$CLI" verify --game-dir "$WORK/game1" --patch-url "$URL" >/dev/null
REPAIR=$(downloaded)
ARCHIVE=$(grep '\.zip ' "$WORK/requests.log" | awk '{sum += $3} END {print sum + 0}')
stop_serving
TARGET=$((ENTRY + 65536))
echo "repair of one 1 MB file in a $(stat -c %s "$WORK/server1/data_1.zip")-byte archive:"
echo "  downloaded $REPAIR bytes ($ARCHIVE from the archive, the rest list and manifest)"
echo "  entry compressed $ENTRY + 64 KiB = $TARGET; ratio $(ratio "$REPAIR" "$TARGET") (archive bytes alone $(ratio "$ARCHIVE" "$TARGET"))"

# --- install: a 20 MB file changed in every version
for v in $(seq 1 "$VERSIONS"); do
  B=$WORK/v$v/
  mkdir -p "$B/data" "$B/item"
  random_file "$B/data/big.bin" 20971520
  for i in 1 2 3 4 5; do echo "readme $i" >"$B/data/note$i.txt"; random_file "$B/item/i$i.dat" 50000; done
  echo "version $v" >"$B/readme.txt"
  if [[ $v == 1 ]]; then
    "$PUBLISH" base "$B" "$WORK/server2" --version 1 >/dev/null
  else
    "$PUBLISH" make "$WORK/v$((v - 1))/" "$B" "$WORK/server2" --version "$v" >/dev/null
  fi
done
LAST=$WORK/v$VERSIONS/
ZIPPED=$(python3 -c "
import os, sys, zipfile, io
buf = io.BytesIO()
with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
    for root, _, files in os.walk(sys.argv[1]):
        for f in files:
            p = os.path.join(root, f)
            z.write(p, os.path.relpath(p, sys.argv[1]))
print(len(buf.getvalue()))" "$LAST")
serve "$WORK/server2"
"$CLI" install --game-dir "$WORK/game2" --patch-url "$URL" >"$WORK/install.out" 2>&1 || { cat "$WORK/install.out"; exit 1; }
"$CLI" verify --game-dir "$WORK/game2" --patch-url "$URL" >/dev/null
INSTALL=$(downloaded)
stop_serving
ALL=$(du -cb "$WORK"/server2/*.zip | tail -1 | cut -f1)
echo "install of version $VERSIONS (every version changed a 20 MB file; the server holds $ALL bytes of archives):"
echo "  downloaded $INSTALL bytes; the last build zipped $ZIPPED; ratio $(ratio "$INSTALL" "$ZIPPED")"
