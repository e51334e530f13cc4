#!/usr/bin/env bash
# Fetches cJSON's sources (Debian's source package, with Debian's patches
# applied) for builds that have no binary cJSON package, i.e. the Windows
# cross build. cJSON.c, cJSON.h, the licence and the package's version land in
# DEST (default build/cache/cjson); a complete earlier fetch is reused, so the
# script only needs the network once.
#   scripts/fetch-cjson.sh [DEST]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:-$root/build/cache/cjson}
if [ -f "$dest/cJSON.c" ] && [ -f "$dest/cJSON.h" ]; then
  exit 0
fi
mkdir -p "$(dirname "$dest")"
tree="$dest.source"
bash "$root/scripts/fetch-debian-source.sh" cjson "$tree"
[ -f "$tree/cJSON.c" ] || { echo "fetch-cjson: no cJSON sources in the package" >&2; exit 1; }
rm -rf "$dest.tmp"
mkdir -p "$dest.tmp"
cp "$tree/cJSON.c" "$tree/cJSON.h" "$dest.tmp/"
[ -f "$tree/LICENSE" ] && cp "$tree/LICENSE" "$dest.tmp/"
cp "$tree/.fetched" "$dest.tmp/VERSION"
rm -rf "$dest" "$tree"
mv "$dest.tmp" "$dest"
