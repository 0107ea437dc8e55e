# Shared by the end-to-end scripts: a temporary site (keys, users, auth
# settings, ini) and a host started on an ephemeral loopback port.
set -euo pipefail

: "${CORVANE_BUILD_DIR:?set CORVANE_BUILD_DIR to the build folder}"
JWT="$CORVANE_BUILD_DIR/corvane-jwt"
HOST="$CORVANE_BUILD_DIR/corvane-host"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-e2e-XXXXXX")"
HOST_PID=""
PASSED=0
FAILED=0

cleanup() {
  if [ -n "$HOST_PID" ] && kill -0 "$HOST_PID" 2>/dev/null; then
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

ok() { PASSED=$((PASSED + 1)); echo "ok - $1"; }
not_ok() { FAILED=$((FAILED + 1)); echo "not ok - $1" >&2; }
# check NAME EXPECTED ACTUAL
check() { if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1: expected [$2], got [$3]"; fi; }
# contains NAME NEEDLE HAYSTACK
contains() { case "$3" in *"$2"*) ok "$1" ;; *) not_ok "$1: [$2] not in [${3:0:400}]" ;; esac; }
finish() {
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
}

# make_site: one provider "local" reading $WORK/jwks.json, users alice and bob.
make_site() {
  "$JWT" keygen --alg "${1:-ES256}" --kid k1 --jwks "$WORK/jwks.json" --key "$WORK/k1.json" >/dev/null
  cat >"$WORK/users.json" <<JSON
{"alice": {"email": "alice@example.org"}, "bob": {"email": "bob@example.org"}}
JSON
  cat >"$WORK/auth.json" <<JSON
{"authentication_policies": {"jwt": {"enabled": true, "identity_providers": {
  "local": {"enabled": true, "idp_name": "Local", "claim_attribute": "email", "user_config_attribute": "email",
            "jwks_uri": "$WORK/jwks.json", "authorization_endpoint": "https://idp.example/a",
            "token_endpoint": "https://idp.example/t"}}}}}
JSON
  cat >"$WORK/app.ini" <<INI
[app:main]
corvane.auth_settings = %(here)s/auth.json
corvane.users = %(here)s/users.json
corvane.default_extension = html
corvane.session_secret = e2e-secret-0123456789abcdef
corvane.log_level = info
[server:main]
host = 127.0.0.1
port = 0
threads = 4
INI
}

# start_host: sets HOST_PID and BASE (http://127.0.0.1:PORT) once listening.
start_host() {
  "$HOST" --ini "$WORK/app.ini" --port 0 >"$WORK/host.out" 2>"$WORK/host.err" &
  HOST_PID=$!
  for _ in $(seq 1 100); do
    if grep -q '^listening on ' "$WORK/host.out" 2>/dev/null; then
      BASE="$(sed -n 's/^listening on //p' "$WORK/host.out" | head -1)"
      return 0
    fi
    kill -0 "$HOST_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "the host did not start:" >&2
  cat "$WORK/host.err" >&2
  return 1
}

# status URL [curl options...]: the HTTP status code alone.
status() {
  local url="$1"
  shift
  curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@" "$url"
}
