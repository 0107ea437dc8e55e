#!/usr/bin/env bash
# Headless Chromium against corvane-host: login by bearer header, then by
# the session cookie; a fresh context gets the 401 page.
source "$(dirname "$0")/support/common.bash"
CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
if [ ! -x "$CHROMIUM" ]; then
  echo "SKIP: $CHROMIUM is not installed (apt-get install chromium); the browser test did not run"
  exit 0
fi
command -v node >/dev/null || { echo "node is not installed (apt-get install nodejs npm)" >&2; exit 1; }

browser_dir="${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}/tests/browser"
if [ ! -d "$browser_dir/node_modules/playwright-core" ]; then
  (cd "$browser_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi

make_site ES256
start_host
token="$("$JWT" mint --key "$WORK/k1.json" --sub sso-browser --email alice@example.org)"
# Playwright makes a fresh profile folder per launch under TMPDIR: ours, removed on exit.
mkdir -p "$WORK/tmp"
TMPDIR="$WORK/tmp" CORVANE_BASE="$BASE" CORVANE_TOKEN="$token" CHROMIUM="$CHROMIUM" \
  timeout 180 node "$browser_dir/session.mjs"
