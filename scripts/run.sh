#!/usr/bin/env bash
# The main job: installs what is missing, builds, runs the tests, talks to
# the built native-messaging host the way a browser does and prints the
# conversation, then runs whole enrollments through the host against a
# throw-away test CA (scripts/enroll.py; temporary stores, the user's own
# stores are not touched).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TESSERA_ONLY=linux bash scripts/test.sh

host=build/linux/host/tessera-host
export LC_ALL=C

# One frame: the length in four bytes, least significant first, then the text.
frame() {
  local text=$1 n=${#1}
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))"
  printf "\\x$(printf %02x $((n >> 16 & 255)))\\x$(printf %02x $((n >> 24 & 255)))"
  printf '%s' "$text"
}

requests=(
  '{"function":"checkHost","params":[]}'
  '{"function":"VELA_GetVersion","params":[],"randomId":"run-1"}'
  '{"function":"VELA_SetCSPInfo","params":[2048,"Microsoft Enhanced Cryptographic Provider v1.0"],"randomId":"run-2"}'
  '{"function":"VELA_SetKeyAlgorithm","params":["RSA"],"randomId":"run-3"}'
  '{"function":"VELA_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"],"randomId":"run-4"}'
  '{"function":"GetLastErrorDesc","params":[],"randomId":"run-5"}'
  '{"function":"VELA_SetKeyAlgorithm","params":["DSA"],"randomId":"run-6"}'
  '{"function":"GetLastErrorDesc","params":[],"randomId":"run-7"}'
  '{"function":"VELA_GetContainer","params":[]}'
  '{"function":"VELA_NoSuchOperation","params":[],"randomId":"run-8"}'
)

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
for r in "${requests[@]}"; do frame "$r"; done | "$host" >"$out" || status=$?

echo
echo "==> tessera-host conversation (${#requests[@]} framed requests on standard input)"
size=$(stat -c %s "$out")
offset=0 i=0
while [ "$offset" -lt "$size" ]; do
  n=$(od -An -tu1 -j "$offset" -N 4 "$out" | awk '{print $1 + $2 * 256 + $3 * 65536 + $4 * 16777216}')
  body=$(tail -c +$((offset + 5)) "$out" | head -c "$n")
  printf '  -> %s\n  <- [%d bytes] %s\n' "${requests[$i]}" "$n" "$body"
  offset=$((offset + 4 + n)) i=$((i + 1))
done
echo "==> host exit code: $status; responses: $i of ${#requests[@]}"
[ "$status" -eq 0 ] && [ "$i" -eq "${#requests[@]}" ]

echo
echo "==> enrollments through tessera-host"
python3 scripts/enroll.py --host "$host"
