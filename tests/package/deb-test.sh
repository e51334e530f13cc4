#!/usr/bin/env bash
# Builds the Debian package and uses it as a machine's administrator would:
# apt-get install, a conversation with the installed host through the path
# its manifest names, an enrollment through it for a temporary user, then
# remove and purge, after which nothing the package wrote may be left. A set-up
# that cannot write the machine stores must fail the installation.
#   deb-test.sh BUILD VERSION
set -uo pipefail
build=$1
version=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(id -u)" -ne 0 ]; then echo "SKIPPED: installs into this machine, needs root"; exit 77; fi
for tool in apt-get dpkg-deb dpkg-shlibdeps python3; do
  command -v $tool >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
export DEBIAN_FRONTEND=noninteractive
# A previous run that stopped half-way.
if dpkg -s tessera >/dev/null 2>&1; then apt-get purge -y tessera >/dev/null 2>&1 || dpkg --purge --force-all tessera; fi
if [ -e /var/lib/tessera ]; then
  echo "SKIPPED: /var/lib/tessera exists and belongs to no package; not touching it"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  if eval "$2"; then echo "ok - $1"; else echo "not ok - $1"; failures=$((failures + 1)); fi
}

host=/usr/lib/tessera/tessera-host
manifests=(/etc/opt/chrome/native-messaging-hosts/com.tessera.host.json
           /etc/chromium/native-messaging-hosts/com.tessera.host.json
           /etc/opt/edge/native-messaging-hosts/com.tessera.host.json
           /usr/lib/mozilla/native-messaging-hosts/com.tessera.host.json)
p11kit=/usr/share/p11-kit/modules/tessera.module
written=(/usr/lib/tessera /usr/share/tessera /usr/share/doc/tessera /usr/bin/tessera-certutil
         /var/lib/tessera /usr/lib/pkcs11/libtessera-pkcs11.so "$p11kit" "${manifests[@]}")
# Directories the package may create; those absent now must be absent after the purge.
dirs=(/etc/opt /etc/opt/chrome /etc/opt/chrome/native-messaging-hosts /etc/chromium
      /etc/chromium/native-messaging-hosts /etc/opt/edge /etc/opt/edge/native-messaging-hosts
      /usr/lib/mozilla /usr/lib/mozilla/native-messaging-hosts)
absent=()
for d in "${dirs[@]}"; do [ -e "$d" ] || absent+=("$d"); done

package=$(bash "$repo/packaging/deb/build-deb.sh" "$build" "$work/packages" "$version" | tail -1)
check "the package is built" '[ -f "$package" ]'
[ -f "$package" ] || exit 1
if command -v lintian >/dev/null; then
  check "lintian finds no errors" 'lintian --fail-on error "$package" >"$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt"; false; }'
fi

# Set-up that cannot write the machine stores: the installation fails and says why.
TESSERA_MACHINE_STORE_READONLY=1 dpkg -i "$package" >"$work/readonly.txt" 2>&1
rc=$?
check "a failed set-up fails the installation" '[ $rc -ne 0 ] && grep -q "did not install the bank.s CA chains" "$work/readonly.txt"'
dpkg --purge tessera >/dev/null 2>&1

apt-get install -y "$package" >"$work/install.txt" 2>&1
rc=$?
check "apt-get install succeeds" '[ $rc -eq 0 ] || { cat "$work/install.txt"; false; }'
for m in "${manifests[@]}"; do
  check "$m names the installed host" \
    'python3 -c "import json,sys; sys.exit(json.load(open(sys.argv[1]))[\"path\"] != sys.argv[2])" "$m" "$host"'
done
if [ -f "$p11kit" ]; then
  module=$(sed -n 's/^module: *//p' "$p11kit")
  check "p11-kit's module file names the installed PKCS #11 module" '[ -f "$module" ]'
fi
path=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["path"])' "${manifests[1]}")
answer=$(python3 - "$path" <<'PY'
import json, struct, subprocess, sys
body = json.dumps({"function": "VELA_GetVersion", "params": [], "randomId": "deb"}).encode()
out = subprocess.run([sys.argv[1]], input=struct.pack("<I", len(body)) + body, capture_output=True).stdout
(n,) = struct.unpack("<I", out[:4])
print(json.loads(out[4:4 + n])["result"])
PY
)
check "the installed host answers VELA_GetVersion with $version" '[ "$answer" = "$version" ]'
user_store=$work/home/.local/share/tessera
mkdir -p "$user_store"
HOME=$work/home python3 "$repo/scripts/enroll.py" --host "$path" --store "$user_store" >"$work/enroll.txt" 2>&1
rc=$?
check "an enrollment through the installed host succeeds" '[ $rc -eq 0 ] || { tail -20 "$work/enroll.txt"; false; }'

apt-get remove -y tessera >/dev/null 2>&1
for m in "${manifests[@]}"; do check "remove takes $m away" '[ ! -e "$m" ] && [ ! -L "$m" ]'; done
check "remove keeps the machine stores" '[ -f /var/lib/tessera/machine.db ]'
apt-get purge -y tessera >"$work/purge.txt" 2>&1
check "purge says what it leaves" 'grep -q "left in place" "$work/purge.txt"'
for p in "${written[@]}"; do check "nothing left at $p" '[ ! -e "$p" ] && [ ! -L "$p" ]'; done
for d in "${absent[@]}"; do check "directory $d is gone again" '[ ! -e "$d" ]'; done
check "the user's own keys and certificates stay" '[ -s "$user_store/tessera.db" ]'

echo "$failures failure(s)"
[ $failures -eq 0 ]
