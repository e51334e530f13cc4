#!/usr/bin/env bash
# Runs the browser tests:
#   run.sh unit            node's test runner over unit/*.test.mjs
#   run.sh e2e [ARGS...]   the end-to-end run in headless Chromium (e2e.mjs)
#   run.sh firefox-lint    Firefox's checks of the extension (web-ext lint)
#   run.sh firefox-e2e [ARGS...]  the end-to-end run in headless Firefox (firefox-e2e.mjs)
# Exits 77, which CTest reports as skipped, when what a test needs is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=${1:?unit or e2e}
shift

if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: node is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "SKIPPED: node $(node --version) is too old; the browser tests need Node.js 18 or later"
  exit 77
fi

case "$mode" in
  unit)
    exec node --test "$here"/unit/*.test.mjs
    ;;
  firefox-lint)
    if [ ! -x "$here/node_modules/.bin/web-ext" ] && command -v npm >/dev/null 2>&1; then
      (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
    fi
    exec node "$here/firefox-lint.mjs"
    ;;
  firefox-e2e)
    firefox=${FIREFOX:-/usr/bin/firefox-esr}
    if [ ! -x "$firefox" ]; then
      echo "SKIPPED: $firefox is not installed (Debian package firefox-esr)"
      exit 77
    fi
    if [ ! -f "$here/node_modules/puppeteer-core/package.json" ]; then
      if ! command -v npm >/dev/null 2>&1; then
        echo "SKIPPED: npm is not installed, so puppeteer-core cannot be installed"
        exit 77
      fi
      (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
    fi
    exec node "$here/firefox-e2e.mjs" "$@"
    ;;
  e2e)
    chromium=${CHROMIUM:-/usr/bin/chromium}
    if [ ! -x "$chromium" ]; then
      echo "SKIPPED: $chromium is not installed (Debian package chromium)"
      exit 77
    fi
    if [ ! -f "$here/node_modules/playwright-core/package.json" ]; then
      if ! command -v npm >/dev/null 2>&1; then
        echo "SKIPPED: npm is not installed, so playwright-core cannot be installed"
        exit 77
      fi
      (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
    fi
    exec node "$here/e2e.mjs" "$@"
    ;;
  *)
    echo "run.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
