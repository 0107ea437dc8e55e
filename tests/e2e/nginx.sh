#!/usr/bin/env bash
# The shipped nginx configuration (deploy/nginx) in front of two corvane-host
# processes and an echoing application: who reaches the application, the
# session shared by the hosts, and no request lost while a host dies or both
# reload. Every wait polls an observable condition, a bounded number of times.
source "$(dirname "$0")/support/common.bash"
NGINX="${NGINX:-/usr/sbin/nginx}"
DEPLOY="$CORVANE_SOURCE_DIR/deploy/nginx"
if [ ! -x "$NGINX" ]; then
  echo "nginx is not installed: run scripts/install-deps" >&2
  exit 1
fi

SITE_EXTENSION=json make_site ES256
sed -i 's/^\[server:main\]$/corvane.access_log = json\n[server:main]/' "$WORK/app.ini"

# start_nth_host N PORT: host process N on PORT (0: a free one); sets HOSTN_PID and HOSTN_PORT.
start_nth_host() {
  local n="$1" port="$2" pid address
  "$HOST" --ini "$WORK/app.ini" --port "$port" >"$WORK/host$n.out" 2>"$WORK/host$n.err" &
  pid=$!
  EXTRA_PIDS+=("$pid")
  for _ in $(seq 1 100); do
    address="$(sed -n 's/^listening on http:\/\/127.0.0.1://p' "$WORK/host$n.out" | head -1)"
    [ -n "$address" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$address" ]; then
    echo "host $n did not start:" >&2
    cat "$WORK/host$n.err" >&2
    exit 1
  fi
  printf -v "HOST${n}_PID" '%s' "$pid"
  printf -v "HOST${n}_PORT" '%s' "$address"
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_nginx: nginx on a free loopback port, in the foreground of its own
# folder; another process may take the port between the choice and the
# bind, so a bind failure picks another one.
start_nginx() {
  local run="$WORK/nginx" user="" code
  mkdir -p "$run"
  # As root nginx would hand its workers to an unprivileged user who cannot
  # enter the private temporary folder.
  [ "$(id -u)" -eq 0 ] && user="user root;"
  for _ in 1 2 3 4 5; do
    NGINX_PORT="$(free_port)"
    sed -e "s|@RUN_DIR@|$run|g" -e "s|@LISTEN@|127.0.0.1:$NGINX_PORT|" -e "s|@AUTH_1@|127.0.0.1:$HOST1_PORT|" \
      -e "s|@AUTH_2@|127.0.0.1:$HOST2_PORT|" -e "s|@APP@|127.0.0.1:$APP_PORT|" -e "s|@USER@|$user|" \
      "$DEPLOY/nginx.conf.template" >"$run/nginx.conf"
    : >"$run/error.log"
    "$NGINX" -p "$run" -c "$run/nginx.conf" -e "$run/error.log" -g 'daemon off;' 2>>"$run/stderr" &
    NGINX_PID=$!
    for _ in $(seq 1 100); do
      code="$(status "http://127.0.0.1:$NGINX_PORT/")"
      [ "$code" != 000 ] && break
      kill -0 "$NGINX_PID" 2>/dev/null || break
      sleep 0.05
    done
    if [ "$code" != 000 ]; then
      EXTRA_PIDS+=("$NGINX_PID")
      NGINX_URL="http://127.0.0.1:$NGINX_PORT"
      return 0
    fi
    kill -TERM "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    grep -q "Address already in use" "$run/error.log" "$run/stderr" || break
  done
  echo "nginx did not start:" >&2
  cat "$run/stderr" "$run/error.log" >&2
  exit 1
}

# metric PORT LINE-START: the value of one series of a host's /metrics.
metric() {
  curl -s --max-time 5 "http://127.0.0.1:$1/metrics" | awk -v series="$2" '$1 == series { print $2 }'
}

# wait_for NAME COMMAND...: polls COMMAND up to 10 s.
wait_for() {
  local name="$1"
  shift
  for _ in $(seq 1 200); do
    "$@" && return 0
    sleep 0.05
  done
  not_ok "$name (not within 10 s)"
  return 1
}

# load_start URL TOKEN: requests through nginx until $WORK/stop exists; each
# status on a line of $WORK/load.
load_start() {
  rm -f "$WORK/stop"
  : >"$WORK/load"
  (
    while [ ! -e "$WORK/stop" ]; do
      status "$1" -H "Authorization: $2" >>"$WORK/load"
      echo >>"$WORK/load"
    done
  ) &
  LOAD_PID=$!
}
load_count() { wc -l <"$WORK/load"; }
load_at_least() { [ "$(load_count)" -ge "$1" ]; }
# load_stop: ends the loop; prints how many requests did not get 200.
load_stop() {
  touch "$WORK/stop"
  wait "$LOAD_PID"
  grep -cv '^200$' "$WORK/load" || true
}

start_nth_host 1 0
start_nth_host 2 0
/usr/bin/python3 "$DEPLOY/echo_backend.py" >"$WORK/app.port" &
EXTRA_PIDS+=("$!")
wait_for "the application starts" test -s "$WORK/app.port"
APP_PORT="$(cat "$WORK/app.port")"
start_nginx

alice="$("$JWT" mint --key "$WORK/k1.json" --sub sso-a --email alice@example.org)"
bob="$("$JWT" mint --key "$WORK/k1.json" --sub sso-b --email bob@example.org)"
field() { /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin).get(sys.argv[1]))' "$1"; }

# A token reaches the application as its user; what the client claims in the
# identity headers is replaced.
body="$(curl -s --max-time 5 -D "$WORK/headers" "$NGINX_URL/app/data.json?idp_id=local" -H "Authorization: $alice" \
  -H "X-Auth-User: bob" -H "X-Auth-Principals: group:admins")"
check "a token reaches the application as its user" alice "$(field user <<<"$body")"
check "with its sso user" sso-a "$(field sso_user <<<"$body")"
check "and its principals" "system.Everyone, system.Authenticated, alice, group:corvane_users" \
  "$(field principals <<<"$body")"
check "a JSON request logs nobody in" 0 "$(grep -ci '^set-cookie' "$WORK/headers" || true)"
body="$(curl -s --max-time 5 "$NGINX_URL/app/data" -H "Authorization: $bob" -H "X-Identity-Provider-Id: local")"
check "the provider named by header" bob "$(field user <<<"$body")"

# Refused requests never reach the application.
stranger="$("$JWT" keygen --alg ES256 --kid k1 --jwks "$WORK/other.json" --key "$WORK/other-key.json" >/dev/null &&
  "$JWT" mint --key "$WORK/other-key.json" --email alice@example.org)"
while IFS='|' read -r name target authorization extra; do
  code="$(curl -s -o "$WORK/refused" -D "$WORK/headers" -w '%{http_code}' --max-time 5 "$NGINX_URL$target" \
    ${authorization:+-H "Authorization: $authorization"} ${extra:+-H "$extra"})"
  check "$name: 401" 401 "$code"
  contains "$name: WWW-Authenticate from the host" "WWW-Authenticate: Bearer" "$(cat "$WORK/headers")"
  check "$name: not at the application" 0 "$(grep -c '"user"' "$WORK/refused" || true)"
done <<EOF_CASES
no token|/app/data.json?idp_id=local||
no token, a forged user|/app/data.json?idp_id=local||X-Auth-User: alice
a token of another key|/app/data.json?idp_id=local|$stranger|
not a bearer value|/app/data.json?idp_id=local|Basic YWxpY2U6eA==|
no provider named|/app/data.json|$alice|
an unknown provider|/app/data.json?idp_id=nobody|$alice|
a malformed original target|/app/data.json?idp_id=%zz|$alice|
EOF_CASES

# An HTML request logs in; the cookie alone then works on both processes
# (nginx takes them in turn), and each counts a session hit.
curl -s -o /dev/null --max-time 5 -D "$WORK/headers" "$NGINX_URL/app/page.html?idp_id=local" -H "Authorization: $alice"
cookie="$(sed -n 's/^[Ss]et-[Cc]ookie: \(corvane_session=[^;]*\).*/\1/p' "$WORK/headers" | tr -d '\r')"
contains "an HTML request gets the session cookie" "corvane_session=" "$cookie"
users=""
for _ in 1 2 3 4; do
  users+="$(curl -s --max-time 5 "$NGINX_URL/app/page.html" -H "Cookie: $cookie" | field user) "
done
check "the cookie alone authenticates, four times" "alice alice alice alice " "$users"
check "host 1 accepted the session" 1 "$([ "$(metric "$HOST1_PORT" corvane_session_hits_total)" -ge 1 ] && echo 1)"
check "host 2 accepted the session" 1 "$([ "$(metric "$HOST2_PORT" corvane_session_hits_total)" -ge 1 ] && echo 1)"
check "the access log is JSON lines" ok "$(grep '"path":"/auth"' "$WORK/host1.out" | head -1 |
  /usr/bin/python3 -c 'import json, sys; line = json.loads(sys.stdin.read()); print("ok" if line["status"] in (200, 401) else line)')"

# A rolling SIGHUP with a new key in the set costs no request.
"$JWT" keygen --alg ES256 --kid k2 --jwks "$WORK/jwks.json" --key "$WORK/k2.json" >/dev/null
carol="$("$JWT" mint --key "$WORK/k2.json" --sub sso-b2 --email bob@example.org)"
load_start "$NGINX_URL/app/data.json?idp_id=local" "$alice"
wait_for "load runs" load_at_least 20
reloaded() { [ "$(metric "$1" 'corvane_reloads_total{result="success"}')" = 1 ]; }
kill -HUP "$HOST1_PID"
wait_for "host 1 reloads" reloaded "$HOST1_PORT"
mark=$(($(load_count) + 20))
wait_for "load runs on" load_at_least "$mark"
kill -HUP "$HOST2_PID"
wait_for "host 2 reloads" reloaded "$HOST2_PORT"
mark=$(($(load_count) + 20))
wait_for "load runs on" load_at_least "$mark"
check "no request failed during the rolling reload" 0 "$(load_stop)"
check "the new key is served by both processes" "200 200 200 200 " \
  "$(for _ in 1 2 3 4; do printf '%s ' "$(status "$NGINX_URL/app/data.json?idp_id=local" -H "Authorization: $carol")"; done)"

# One process killed mid-run costs no request: nginx retries the other.
load_start "$NGINX_URL/app/data.json?idp_id=local" "$alice"
wait_for "load runs" load_at_least 20
kill -KILL "$HOST2_PID"
wait "$HOST2_PID" 2>/dev/null || true
mark=$(($(load_count) + 40))
wait_for "load runs on" load_at_least "$mark"
check "no request failed after a host died" 0 "$(load_stop)"
contains "nginx met the dead process and went on" "upstream: \"http://127.0.0.1:$HOST2_PORT/auth\"" \
  "$(cat "$WORK/nginx/error.log")"
check "the survivor answered" 200 "$(status "$NGINX_URL/app/data.json?idp_id=local" -H "Authorization: $bob")"
finish
