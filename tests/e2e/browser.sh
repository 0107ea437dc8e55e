#!/usr/bin/env bash
# Headless Chromium against corvane-host: login by bearer header, then by
# the session cookie; the browser sign-in through the demo identity provider
# (corvane-jwt idp), sign-out; a fresh browser gets the 401 page. Debian
# packages only (chromium, chromium-driver, python3-selenium): no registry
# is asked.
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

# The demo identity provider first (the host reads its discovery document at
# start-up); a registered loopback address takes any port, so the host's
# ephemeral one is accepted.
"$JWT" keygen --alg ES256 --kid idp-1 --jwks "$WORK/idp-jwks.json" --key "$WORK/idp-key.json" >/dev/null
"$JWT" idp --key "$WORK/idp-key.json" --users "$WORK/users.json" --client-id browser-test \
  --redirect-uri http://127.0.0.1/callback/demo --port 0 >"$WORK/idp.out" 2>"$WORK/idp.err" &
IDP_PID=$!
trap 'kill "$IDP_PID" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 1 100); do grep -q '^listening on ' "$WORK/idp.out" && break; sleep 0.1; done
IDP="$(sed -n 's/^listening on //p' "$WORK/idp.out" | head -1)"
[ -n "$IDP" ] || { echo "the demo identity provider did not start:" >&2; cat "$WORK/idp.err" >&2; exit 1; }

# sign_in_provider REDIRECT_URI: the provider "demo" with sign-in settings.
sign_in_provider() {
  /usr/bin/python3 - "$WORK/auth.json" "$IDP" "$1" <<'PY'
import json, sys
path, idp, redirect = sys.argv[1:]
settings = json.load(open(path))
settings["authentication_policies"]["jwt"]["identity_providers"]["demo"] = {
    "enabled": True, "idp_name": "Demo IdP", "claim_attribute": "email", "user_config_attribute": "email",
    "well_known_configuration": idp + "/.well-known/openid-configuration",
    "client_id": "browser-test", "redirect_uri": redirect, "scopes": ["email"]}
json.dump(settings, open(path, "w"))
PY
}
# The host's own address is known once it listens: set, then reloaded.
sign_in_provider http://127.0.0.1:1/callback/demo
start_host
sign_in_provider "$BASE/callback/demo"
kill -HUP "$HOST_PID"
for _ in $(seq 1 100); do grep -q 'reloaded the configuration' "$WORK/host.err" && break; sleep 0.1; done

token="$("$JWT" mint --key "$WORK/k1.json" --sub sso-browser --email alice@example.org)"
mkdir -p "$WORK/tmp"
TMPDIR="$WORK/tmp" CORVANE_BASE="$BASE" CORVANE_TOKEN="$token" CORVANE_IDP_NAME="Demo IdP" \
  CHROMIUM="$CHROMIUM" CHROMEDRIVER="$CHROMEDRIVER" timeout 180 /usr/bin/python3 "$browser_dir/session.py"
