# Shared by the end-to-end scripts: a temporary site (keys, users, auth
# settings, ini) and a host started on an ephemeral loopback port.
set -euo pipefail

: "${CORVANE_BUILD_DIR:?set CORVANE_BUILD_DIR to the build folder}"
JWT="$CORVANE_BUILD_DIR/corvane-jwt"
HOST="$CORVANE_BUILD_DIR/corvane-host"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-e2e-XXXXXX")"
HOST_PID=""
SILENT_PID=""
EXTRA_PIDS=()  # more processes a script started: stopped with SIGTERM at the end
PASSED=0
FAILED=0

cleanup() {
  if [ -n "$HOST_PID" ] && kill -0 "$HOST_PID" 2>/dev/null; then
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  if [ -n "$SILENT_PID" ]; then kill "$SILENT_PID" 2>/dev/null || true; fi
  local pid
  for pid in "${EXTRA_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${EXTRA_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
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

# make_site [ALG]: one provider "local" reading $WORK/jwks.json, users alice
# and bob, the ini file $WORK/app.ini; the only site builder of the scripts
# (tests/apps/site_fixture.hpp is the one of the C++ tests). Optional:
#   SITE_KEYS (1): keys k1..kN in the set, private keys in $WORK/kI.json
#   SITE_USERS (0): users user-0..user-(N-1) besides, email userI@example.org
#   SITE_THREADS (4), SITE_LOG_LEVEL (info), SITE_EXTENSION (html)
make_site() {
  local i
  for i in $(seq 1 "${SITE_KEYS:-1}"); do
    "$JWT" keygen --alg "${1:-ES256}" --kid "k$i" --jwks "$WORK/jwks.json" --key "$WORK/k$i.json" >/dev/null
  done
  /usr/bin/python3 - "$WORK/users.json" "${SITE_USERS:-0}" <<'PY'
import json, sys
users = {"alice": {"email": "alice@example.org"}, "bob": {"email": "bob@example.org"}}
users.update({f"user-{i}": {"email": f"user{i}@example.org", "name": f"User {i}"} for i in range(int(sys.argv[2]))})
json.dump(users, open(sys.argv[1], "w"))
PY
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
corvane.default_extension = ${SITE_EXTENSION:-html}
corvane.session_secret = e2e-secret-0123456789abcdef
corvane.log_level = ${SITE_LOG_LEVEL:-info}
[server:main]
host = 127.0.0.1
port = 0
threads = ${SITE_THREADS:-4}
INI
}

# start_host: sets HOST_PID and BASE (http://127.0.0.1:PORT) once listening.
start_host() {
  # A previous host's "listening on" line must not be read before the new
  # host's redirection empties the file.
  rm -f "$WORK/host.out" "$WORK/host.err"
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

# stop_host: SIGTERM, then SIGKILL after 5 s; clears HOST_PID.
stop_host() {
  [ -n "$HOST_PID" ] || return 0
  kill -TERM "$HOST_PID" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$HOST_PID" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$HOST_PID" 2>/dev/null || true
  wait "$HOST_PID" 2>/dev/null || true
  HOST_PID=""
}

# status URL [curl options...]: the HTTP status code alone.
status() {
  local url="$1"
  shift
  curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@" "$url"
}

# eventual_status TRIES EXPECTED URL [curl options...]: the status of URL,
# asked every 0.1 s until it is EXPECTED or TRIES asks are spent (a change
# the host takes up in its own time, such as a reload).
eventual_status() {
  local tries="$1" expected="$2" code=""
  shift 2
  for _ in $(seq 1 "$tries"); do
    code="$(status "$@")"
    [ "$code" = "$expected" ] && break
    sleep 0.1
  done
  echo "$code"
}

# start_silent_server: sets SILENT_PORT to a loopback port whose connections
# are completed by the kernel and never answered (a hung server).
start_silent_server() {
  /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(64)
print(s.getsockname()[1], flush=True)
time.sleep(600)
' >"$WORK/silent.port" &
  SILENT_PID=$!
  for _ in $(seq 1 50); do [ -s "$WORK/silent.port" ] && break; sleep 0.1; done
  SILENT_PORT="$(cat "$WORK/silent.port")"
}
