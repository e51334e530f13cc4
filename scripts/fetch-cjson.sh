#!/usr/bin/env bash
# Fetches cJSON's sources (Debian's source package, with Debian's patches
# applied) for builds that have no binary cJSON package, i.e. the Windows
# cross build. The sources land in DEST (default build/cache/cjson); a
# complete earlier fetch is reused, so the script only needs the network once.
#   scripts/fetch-cjson.sh [DEST]
# Uses a private apt state directory and a one-line deb-src list for the
# mirror and suite of the machine's own Debian sources; the machine's apt
# configuration is left untouched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:-$root/build/cache/cjson}
if [ -f "$dest/cJSON.c" ] && [ -f "$dest/cJSON.h" ]; then
  exit 0
fi

# Mirror and suite: the first deb822 stanza, else the first one-line entry.
uri="" suite=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  suite=$(awk '/^Suites:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
  read -r uri suite < <(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i !~ /^\[/) {print $i, $(i+1); exit}}' \
    /etc/apt/sources.list) || true
fi
[ -n "$uri" ] || uri=http://deb.debian.org/debian
[ -n "$suite" ] || suite=bookworm

command -v dpkg-source >/dev/null 2>&1 || {
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tessera-cjson.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/src"
# Security updates of the source package come from the security suite.
{
  echo "deb-src $uri $suite main"
  case "$uri" in
    */debian) echo "deb-src ${uri%/debian}/debian-security $suite-security main" ;;
  esac
} >"$work/sources.list"
apt_opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root -qq)
apt-get "${apt_opts[@]}" update >"$work/update.log" 2>&1 || { cat "$work/update.log" >&2; exit 1; }
(cd "$work/src" && apt-get "${apt_opts[@]}" source cjson) >"$work/source.log" 2>&1 \
  || { cat "$work/source.log" >&2; exit 1; }
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n 1)
[ -n "$tree" ] && [ -f "$tree/cJSON.c" ] || { echo "fetch-cjson: no cJSON sources in the package" >&2; exit 1; }
mkdir -p "$(dirname "$dest")"
rm -rf "$dest.tmp"
mkdir -p "$dest.tmp"
cp "$tree/cJSON.c" "$tree/cJSON.h" "$dest.tmp/"
[ -f "$tree/LICENSE" ] && cp "$tree/LICENSE" "$dest.tmp/"
dsc=$(find "$work/src" -maxdepth 1 -name 'cjson_*.dsc' | head -n 1)
basename "${dsc:-$tree}" .dsc >"$dest.tmp/VERSION"
rm -rf "$dest"
mv "$dest.tmp" "$dest"
