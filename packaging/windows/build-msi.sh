#!/usr/bin/env bash
# Makes the Windows installer from a built (cross) tree: stages stripped
# copies of the binaries (their debug information stays in
# BUILD/packaging/debug) and the two manifests, signs the binaries when a
# code-signing certificate is given, runs wixl, and signs the installer.
#
#   build-msi.sh BUILD OUTPUT VERSION
#
# Environment: TESSERA_SIGN_CERT, TESSERA_SIGN_KEY (PEM files) sign with
# osslsigncode; TESSERA_CSP_DLL names a CSP library in BUILD to ship too.
set -euo pipefail
build=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
version=$3
here=$(cd "$(dirname "$0")" && pwd)
native=$here/../../browser/native
stage=$build/packaging/msi-root
debug=$build/packaging/debug
objcopy=${TESSERA_OBJCOPY:-x86_64-w64-mingw32-objcopy}

command -v wixl >/dev/null || { echo "build-msi.sh: wixl is missing (apt-get install wixl)" >&2; exit 1; }
rm -rf "$stage"
mkdir -p "$stage" "$debug"

sign() {
  [ -n "${TESSERA_SIGN_CERT:-}" ] || return 0
  osslsigncode sign -certs "$TESSERA_SIGN_CERT" -key "$TESSERA_SIGN_KEY" -h sha256 \
    -n "Tessera" -i "https://tessera.example/" -in "$1" -out "$1.signed" >/dev/null
  mv "$1.signed" "$1"
}

# The shipped copy is stripped; a debug link names the kept debug file.
ship() {
  local from=$1 name=$2
  "$objcopy" --only-keep-debug "$from" "$debug/$name.debug"
  "$objcopy" --strip-debug --strip-unneeded --add-gnu-debuglink="$debug/$name.debug" "$from" "$stage/$name"
  sign "$stage/$name"
}
ship "$build/host/tessera-host.exe" tessera-host.exe
ship "$build/plugin/tessera-plugin.dll" tessera-plugin.dll
defines=(-D "Version=$version")
if [ -n "${TESSERA_CSP_DLL:-}" ]; then
  ship "$build/$TESSERA_CSP_DLL" "$(basename "$TESSERA_CSP_DLL")"
  defines+=(-D "CspDll=$(basename "$TESSERA_CSP_DLL")")
fi

# Beside the program, the manifests name it by its file name.
for kind in chrome firefox; do
  sed 's|"@HOST_PATH@"|"tessera-host.exe"|' "$native/com.tessera.host.$kind.json.in" > "$stage/com.tessera.host.$kind.json"
done

package=$out/tessera-$version-x64.msi
(cd "$stage" && wixl -a x64 "${defines[@]}" -o "$package" "$here/tessera.wxs")
sign "$package"
echo "$package"
