#!/usr/bin/env bash
# Builds the Windows installer and runs it under Wine in a fresh prefix, as an
# administrator would: msiexec /i (the package itself in a folder with a
# Chinese name), the files, the browsers' keys and the Add/Remove Programs
# entry checked, a conversation with the installed host through the manifest
# the Chromium key names, msiexec /x, and nothing of it left. A second round
# installs into a Chinese-named folder.
#   msi-test.sh BUILD VERSION
set -uo pipefail
build=$1
version=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
wine=${TESSERA_WINE:-/usr/lib/wine/wine64}
[ -x "$wine" ] || { echo "SKIPPED: Wine is not installed"; exit 77; }
command -v wixl >/dev/null || { echo "SKIPPED: wixl is not installed"; exit 77; }
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
failures=0
check() {
  if eval "$2"; then echo "ok - $1"; else echo "not ok - $1"; failures=$((failures + 1)); fi
}

# A throw-away code-signing certificate, as a build is given one.
if command -v osslsigncode >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tessera test code signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$work/sign.key" -out "$work/sign.crt" >/dev/null 2>&1
  export TESSERA_SIGN_CERT=$work/sign.crt TESSERA_SIGN_KEY=$work/sign.key
fi
# With the Tessera providers' DLL in the build, the installer carries and
# registers it.
csp=""
if [ -f "$build/csp/tessera-csp.dll" ]; then
  export TESSERA_CSP_DLL=csp/tessera-csp.dll
  csp="tessera-csp.dll "
fi
mkdir -p "$work/张三"
package=$(bash "$repo/packaging/windows/build-msi.sh" "$build" "$work/张三" "$version" | tail -1)
check "the installer is built" '[ -f "$package" ]'
[ -f "$package" ] || exit 1
if [ -n "${TESSERA_SIGN_CERT:-}" ]; then
  for f in "$package" "$build/packaging/msi-root/tessera-host.exe" "$build/packaging/msi-root/tessera-plugin.dll"; do
    check "$(basename "$f") is signed (osslsigncode verify)" \
      'osslsigncode verify -CAfile "$TESSERA_SIGN_CERT" -in "$f" >"$work/verify.txt" 2>&1 || { tail -5 "$work/verify.txt"; false; }'
  done
fi
check "the shipped host is stripped" '[ "$(stat -c %s "$build/packaging/msi-root/tessera-host.exe")" -lt "$(($(stat -c %s "$build/host/tessera-host.exe") / 4))" ]'

# One wine server for the whole run, its services up before the installer
# starts, as on a running Windows.
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >/dev/null 2>&1
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
unixpath() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# A string value of a key ("@" the default), read from "reg export", which
# writes UTF-16 (the output of "reg query" is in the console's code page).
value() {
  rm -f "$work/key.reg"
  "$wine" reg export "$1" "$(winpath "$work")\\key.reg" /y >/dev/null 2>&1 || return 0
  python3 - "$work/key.reg" "${2:-@}" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read().decode("utf-16")
name = "@" if sys.argv[2] == "@" else '"%s"' % sys.argv[2]
m = re.search(r"^\[[^\n]*\]\r?\n((?:[^\[\n][^\n]*\n)*)", text, re.M)
for line in (m.group(1) if m else "").splitlines():
    if line.startswith(name + "="):
        print(line[len(name) + 2:-1].replace("\\\\", "\\"))
PY
}
providers='HKLM\Software\Microsoft\Cryptography\Defaults\Provider'
key_exists() { "$wine" reg query "$1" >/dev/null 2>&1; }

NM='NativeMessagingHosts\com.tessera.host'
keys=("HKLM\\Software\\Google\\Chrome\\$NM" "HKLM\\Software\\Chromium\\$NM" "HKLM\\Software\\Microsoft\\Edge\\$NM"
      "HKLM\\Software\\Mozilla\\$NM" 'HKLM\Software\MozillaPlugins\@tessera.example/Tessera' 'HKLM\Software\Tessera')

# One round: install into $1 (a Windows folder, or empty for the default).
round() {
  local dir=$1 label=$2 args=() folder manifest path answer arp rc
  [ -z "$dir" ] || args=("INSTALLDIR=$dir")
  "$wine" msiexec /i "$(winpath "$package")" /qn /l*v "$(winpath "$work")\\install.log" "${args[@]}" >/dev/null 2>&1
  rc=$?
  check "$label: msiexec /i succeeds" '[ $rc -eq 0 ]'
  folder=$(unixpath "${dir:-C:\\Program Files\\Tessera}")
  check "$label: the host, the plug-in and the manifests are installed" \
    '[ "$(cd "$folder" 2>/dev/null && ls | tr "\n" " ")" = "com.tessera.host.chrome.json com.tessera.host.firefox.json npTessera.dll ${csp}tessera-host.exe " ]'
  for k in "${keys[@]:0:4}"; do
    check "$label: $k names an installed manifest" '[ -f "$(unixpath "$(value "$k")")" ]'
  done
  check "$label: the plug-in is registered for NPAPI browsers" \
    '[ "$(value "${keys[4]}" Path)" = "$(winpath "$folder/npTessera.dll")" ]'
  if [ -n "$csp" ]; then
    for name in "Tessera RSA Software CSP" "Tessera SM2 Software CSP"; do
      check "$label: $name is registered with the installed DLL" \
        '[ "$(value "$providers\\$name" "Image Path")" = "$(winpath "$folder/tessera-csp.dll")" ]'
    done
  fi
  arp=$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
  check "$label: Add/Remove Programs names Tessera $version" \
    'grep -qE "DisplayName +REG_SZ +Tessera$" <<<"$arp" && grep -qE "DisplayVersion +REG_SZ +$version$" <<<"$arp" && grep -qE "Publisher +REG_SZ +Tessera$" <<<"$arp"'
  # The set-up ran as the installation's last step, and succeeded. (What it
  # installs is not checked here: under Wine a "tessera-host.exe -i" started
  # by the installer service sometimes installs nothing although the same
  # command run directly in the same prefix works; the installation
  # sequence itself is tested by the set-up tests.)
  check "$label: the set-up ran and succeeded" \
    'tr -d "\0" < "$work/install.log" | grep -aq "Action ended .*: RunSetup. Return value 1"'
  manifest=$(unixpath "$(value "${keys[1]}")")
  path=$(python3 -c 'import json,os,sys; m=sys.argv[1]; print(os.path.join(os.path.dirname(m), json.loads(open(m,"rb").read().decode("utf-8"))["path"]))' "$manifest")
  answer=$(python3 - "$wine" "$(winpath "$path")" <<'PY'
import json, struct, subprocess, sys
body = json.dumps({"function": "VELA_GetVersion", "params": [], "randomId": "msi"}).encode()
out = subprocess.run(sys.argv[1:], input=struct.pack("<I", len(body)) + body, capture_output=True, timeout=120).stdout
(n,) = struct.unpack("<I", out[:4])
print(json.loads(out[4:4 + n])["result"])
PY
)
  check "$label: the host the manifest names answers VELA_GetVersion with $version" '[ "$answer" = "$version" ]'

  "$wine" msiexec /x "$(winpath "$package")" /qn >/dev/null 2>&1
  rc=$?
  check "$label: msiexec /x succeeds" '[ $rc -eq 0 ]'
  check "$label: no folder left" '[ ! -e "$folder" ]'
  for k in "${keys[@]}"; do check "$label: $k is gone" '! key_exists "$k"'; done
  if [ -n "$csp" ]; then
    for name in "Tessera RSA Software CSP" "Tessera SM2 Software CSP"; do
      check "$label: $name is unregistered" '! key_exists "$providers\\$name"'
    done
  fi
  check "$label: Add/Remove Programs entry is gone" \
    '! "$wine" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s 2>/dev/null | grep -q "DisplayName *REG_SZ *Tessera"'
}

round "" "Program Files"
round 'C:\张三\Tessera' "Chinese folder"

echo "$failures failure(s)"
[ $failures -eq 0 ]
