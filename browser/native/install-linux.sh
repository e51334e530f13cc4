#!/usr/bin/env bash
# Registers tessera-host as the native-messaging host "com.tessera.host" of
# Chrome, Chromium, Edge and Firefox on Linux.
#
#   install-linux.sh [--user | --system] [--host PATH] [--browsers LIST]
#                    [--profile-dir DIR] [--allowed-origins LIST] [--setup]
#                    [--uninstall] [--dry-run]
#
#   --user            manifests for the current user (the default)
#   --system          manifests for every user of the machine (as root), where
#                     the Debian package puts them; a host outside /usr and /opt
#                     (a build tree, perhaps in a home folder other users cannot
#                     enter) is first copied to /usr/local/lib/tessera/, the
#                     package's layout under /usr/local
#   --host PATH       the tessera-host program (default: build/linux/host/tessera-host,
#                     else the installed /usr/lib/tessera/tessera-host); the
#                     manifests carry its absolute path
#   --browsers LIST   comma-separated: chrome,chromium,edge,firefox (default: all)
#   --profile-dir DIR also (or, with --browsers none, only) a Chromium-family
#                     profile started with --user-data-dir=DIR
#   --allowed-origins LIST
#                     comma-separated page origins written as the extension's
#                     managed policy (replaces the built-in allowlist); --system
#                     writes the browsers' policy files, --user Firefox's
#                     per-user managed storage
#   --setup           run "tessera-host -i" (installs the CA chains) afterwards;
#                     the default with --system
#   --uninstall       remove what this script writes, and the folders it made
#                     when they are empty
#   --dry-run         print what would be written, write nothing
set -euo pipefail

HOST_NAME=com.tessera.host
EXTENSION_ID=bdbjfcmjppjjdididholhjcipmciockm
FIREFOX_ID=tessera@tessera.example
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

scope=user
host="$root/build/linux/host/tessera-host"
[ -x "$host" ] || [ ! -x /usr/lib/tessera/tessera-host ] || host=/usr/lib/tessera/tessera-host
system_host=/usr/local/lib/tessera/tessera-host
browsers=chrome,chromium,edge,firefox
profile_dir=""
origins=""
setup=""
uninstall=0
dry=0

die() { echo "install-linux.sh: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --user) scope=user ;;
    --system) scope=system ;;
    --host) host=${2:?}; shift ;;
    --browsers) browsers=${2?}; shift ;;
    --profile-dir) profile_dir=${2:?}; shift ;;
    --allowed-origins) origins=${2:?}; shift ;;
    --setup) setup=1 ;;
    --no-setup) setup=0 ;;
    --uninstall) uninstall=1 ;;
    --dry-run) dry=1 ;;
    -h|--help) sed -n '2,33p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1" ;;
  esac
  shift
done
[ -n "$setup" ] || { [ "$scope" = system ] && setup=1 || setup=0; }

if [ "$uninstall" -eq 0 ]; then
  [ -x "$host" ] || die "no executable tessera-host at $host (build it, or give --host)"
  host=$(realpath "$host")
fi

# A machine-wide registration must name a program every user can run.
copy_host=0
if [ "$scope" = system ] && [ "$uninstall" -eq 0 ]; then
  case "$host" in
    /usr/*|/opt/*) ;;
    *) copy_host=1 ;;
  esac
fi

# The directories each browser reads manifests from.
manifest_dirs() {
  local b=$1
  if [ "$scope" = system ]; then
    case "$b" in
      chrome) echo /etc/opt/chrome/native-messaging-hosts ;;
      chromium) echo /etc/chromium/native-messaging-hosts ;;
      edge) echo /etc/opt/edge/native-messaging-hosts ;;
      firefox) echo /usr/lib/mozilla/native-messaging-hosts
               [ -d /usr/lib64 ] && echo /usr/lib64/mozilla/native-messaging-hosts ;;
    esac
  else
    local config=${XDG_CONFIG_HOME:-$HOME/.config}
    case "$b" in
      chrome) echo "$config/google-chrome/NativeMessagingHosts" ;;
      chromium) echo "$config/chromium/NativeMessagingHosts" ;;
      edge) echo "$config/microsoft-edge/NativeMessagingHosts" ;;
      firefox) echo "$HOME/.mozilla/native-messaging-hosts" ;;
    esac
  fi
}

json_string() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  printf '"%s"' "$s"
}

json_list() {
  local IFS=, first=1 item
  printf '['
  for item in $1; do
    [ -n "$item" ] || continue
    [ $first -eq 1 ] || printf ', '
    json_string "$item"
    first=0
  done
  printf ']'
}

write_file() {
  local path=$1 content=$2
  if [ "$dry" -eq 1 ]; then
    printf '== %s\n%s\n' "$path" "$content"
    return
  fi
  mkdir -p "$(dirname "$path")"
  printf '%s\n' "$content" > "$path.tmp"
  chmod 644 "$path.tmp"
  mv "$path.tmp" "$path"
  echo "wrote $path"
}

# Folders this script never removes, even when empty.
keep_dir() {
  case "$1" in
    /|/etc|/usr|/usr/lib|/usr/lib64|/usr/local|/usr/local/lib|"$HOME"|"${XDG_CONFIG_HOME:-$HOME/.config}"|"$profile_dir") return 0 ;;
  esac
  return 1
}

remove_file() {
  if [ "$dry" -eq 1 ]; then echo "would remove $1"; return; fi
  if [ -e "$1" ]; then rm -f "$1"; echo "removed $1"; fi
  # Then the folders the file was in, while they are empty.
  local d
  d=$(dirname "$1")
  while [ -d "$d" ] && ! keep_dir "$d" && rmdir "$d" 2>/dev/null; do d=$(dirname "$d"); done
}

manifest_for() {
  local kind=$1 path_json
  path_json=$(json_string "$host")
  # The templates hold "@HOST_PATH@" including its quotes' place.
  sed "s|\"@HOST_PATH@\"|$(printf '%s' "$path_json" | sed 's/[|&\\]/\\&/g')|" "$here/$HOST_NAME.$kind.json.in"
}

install_manifest() {
  local dir=$1 kind=$2
  if [ "$uninstall" -eq 1 ]; then
    remove_file "$dir/$HOST_NAME.json"
  else
    write_file "$dir/$HOST_NAME.json" "$(manifest_for "$kind")"
  fi
}

if [ "$copy_host" -eq 1 ]; then
  if [ "$dry" -eq 1 ]; then
    echo "would copy $host to $system_host"
  else
    install -D -m 755 "$host" "$system_host"
    echo "copied $host to $system_host"
  fi
  host=$system_host
fi
if [ "$uninstall" -eq 1 ] && [ "$scope" = system ]; then
  remove_file "$system_host"
fi

IFS=, read -r -a browser_list <<< "$browsers"
for b in "${browser_list[@]}"; do
  case "$b" in
    chrome|chromium|edge) kind=chrome ;;
    firefox) kind=firefox ;;
    none|"") continue ;;
    *) die "unknown browser: $b" ;;
  esac
  while read -r dir; do
    [ -n "$dir" ] && install_manifest "$dir" "$kind"
  done < <(manifest_dirs "$b")
done
[ -z "$profile_dir" ] || install_manifest "$profile_dir/NativeMessagingHosts" chrome

# The managed allowlist.
if [ -n "$origins" ] || [ "$uninstall" -eq 1 ]; then
  list=$(json_list "$origins")
  chrome_policy="{\"3rdparty\": {\"extensions\": {\"$EXTENSION_ID\": {\"allowedOrigins\": $list}}}}"
  firefox_storage="{\"name\": \"$FIREFOX_ID\", \"description\": \"Tessera allowlist\", \"type\": \"storage\", \"data\": {\"allowedOrigins\": $list}}"
  targets=()
  if [ "$scope" = system ]; then
    for b in "${browser_list[@]}"; do
      case "$b" in
        chrome) targets+=("/etc/opt/chrome/policies/managed/tessera.json:chrome") ;;
        chromium) targets+=("/etc/chromium/policies/managed/tessera.json:chrome") ;;
        edge) targets+=("/etc/opt/edge/policies/managed/tessera.json:chrome") ;;
        firefox) targets+=("/usr/lib/mozilla/managed-storage/$FIREFOX_ID.json:firefox") ;;
      esac
    done
  else
    for b in "${browser_list[@]}"; do
      [ "$b" = firefox ] && targets+=("$HOME/.mozilla/managed-storage/$FIREFOX_ID.json:firefox")
    done
    if [ -n "$origins" ] && [ "$uninstall" -eq 0 ]; then
      echo "note: Chrome, Chromium and Edge take policies only machine-wide (--system)" >&2
    fi
  fi
  for t in "${targets[@]}"; do
    file=${t%:*}
    if [ "$uninstall" -eq 1 ]; then remove_file "$file"
    elif [ "${t##*:}" = chrome ]; then write_file "$file" "$chrome_policy"
    else write_file "$file" "$firefox_storage"
    fi
  done
fi

if [ "$uninstall" -eq 0 ] && [ "$setup" -eq 1 ]; then
  if [ "$dry" -eq 1 ]; then
    echo "would run: $host -i"
  else
    echo "running: $host -i"
    "$host" -i
  fi
fi
