#!/usr/bin/env bash
# Fetches one Debian source package (Debian's patches applied) into DEST, for
# the Windows cross build's dependencies that Debian ships only as Linux
# binaries. The unpacked tree lands in DEST itself; a complete earlier fetch
# (DEST/.fetched) is reused, so the network is needed only once per DEST.
#   scripts/fetch-debian-source.sh PACKAGE DEST
# Uses a private apt state directory and a deb-src list for the mirror and
# suite of the machine's own Debian sources; the machine's apt configuration is
# left untouched.
set -euo pipefail
pkg=${1:?package name}
dest=${2:?destination directory}
if [ -f "$dest/.fetched" ]; then
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

work=$(mktemp -d "${TMPDIR:-/tmp}/tessera-src-$pkg.XXXXXX")
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
# Newest version first; a mirror whose index names a version it does not
# (yet) carry falls back to the next one.
fetched=""
for version in $(apt-cache "${apt_opts[@]}" showsrc "$pkg" | awk '/^Version:/ {print $2}' | sort -rVu); do
  if (cd "$work/src" && apt-get "${apt_opts[@]}" source "$pkg=$version") >>"$work/source.log" 2>&1; then
    fetched=$version
    break
  fi
  rm -rf "${work:?}/src" && mkdir -p "$work/src"
done
[ -n "$fetched" ] || { cat "$work/source.log" >&2; exit 1; }
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n 1)
[ -n "$tree" ] || { echo "fetch-debian-source: no $pkg tree in the package" >&2; exit 1; }
dsc=$(find "$work/src" -maxdepth 1 -name "${pkg}_*.dsc" | head -n 1)
basename "${dsc:-$tree}" .dsc >"$tree/.fetched"
mkdir -p "$(dirname "$dest")"
rm -rf "$dest"
mv "$tree" "$dest"
