#!/usr/bin/env bash
# Headless Chromium against corvane-host: login by bearer header, then by
# the session cookie; a fresh browser gets the 401 page. Debian packages
# only (chromium, chromium-driver, python3-selenium): no registry is asked.
source "$(dirname "$0")/support/common.bash"
CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
CHROMEDRIVER="${CHROMEDRIVER:-/usr/bin/chromedriver}"
for need in "$CHROMIUM" "$CHROMEDRIVER"; do
  [ -x "$need" ] || { echo "$need is not installed (scripts/install-deps installs chromium and chromium-driver)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import selenium' 2>/dev/null ||
  { echo "python3-selenium is not installed (scripts/install-deps installs it)" >&2; exit 1; }

browser_dir="${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}/tests/browser"
make_site ES256
start_host
token="$("$JWT" mint --key "$WORK/k1.json" --sub sso-browser --email alice@example.org)"
mkdir -p "$WORK/tmp"
TMPDIR="$WORK/tmp" CORVANE_BASE="$BASE" CORVANE_TOKEN="$token" CHROMIUM="$CHROMIUM" CHROMEDRIVER="$CHROMEDRIVER" \
  timeout 180 /usr/bin/python3 "$browser_dir/session.py"
