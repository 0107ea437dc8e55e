#!/usr/bin/env bash
# The shipped nginx configuration (deploy/nginx) in front of two corvane-host
# processes and an echoing application: who reaches the application, the
# session shared by the hosts, and no request lost while a host dies or both
# reload. Every wait polls an observable condition, a bounded number of times.
source "$(dirname "$0")/support/common.bash"
source "$(dirname "$0")/support/nginx.bash"

SITE_EXTENSION=json make_site ES256
sed -i 's/^\[server:main\]$/corvane.access_log = json\n[server:main]/' "$WORK/app.ini"
# A user id an application could misread: a comma, a quote, a non-ASCII letter.
/usr/bin/python3 - "$WORK/users.json" <<'PY'
import json, sys
users = json.load(open(sys.argv[1]))
users['doe, "j\u00f6"'] = {"email": "doe@example.org"}
json.dump(users, open(sys.argv[1], "w"))
PY

# wait_for NAME COMMAND...: polls COMMAND up to 60 s: a bound for a broken
# run, never reached by a working one however busy the machine.
wait_for() {
  local name="$1"
  shift
  for _ in $(seq 1 1200); do
    "$@" && return 0
    sleep 0.05
  done
  not_ok "$name (not within 60 s)"
  return 1
}

# load_start URL TOKEN: requests through nginx until $WORK/stop exists; each
# status on a line of $WORK/load.
load_start() {
  rm -f "$WORK/stop"
  : >"$WORK/load"
  (
    while [ ! -e "$WORK/stop" ]; do
      status "$1" -H "Authorization: $2" >>"$WORK/load" || true  # 000 when the connection failed
      echo >>"$WORK/load"
    done
  ) &
  LOAD_PID=$!
  EXTRA_PIDS+=("$LOAD_PID")  # a failed wait must not leave the loop running
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
/usr/bin/python3 "$NGINX_DEPLOY/echo_backend.py" >"$WORK/app.port" &
EXTRA_PIDS+=("$!")
wait_for "the application starts" test -s "$WORK/app.port"
APP_PORT="$(cat "$WORK/app.port")"
start_nginx

alice="$("$JWT" mint --key "$WORK/k1.json" --sub sso-a --email alice@example.org)"
bob="$("$JWT" mint --key "$WORK/k1.json" --sub sso-b --email bob@example.org)"
field() {
  /usr/bin/python3 -c 'import json, sys; v = json.load(sys.stdin).get(sys.argv[1]); print(v if not isinstance(v, list) else json.dumps(v, ensure_ascii=False))' "$1"
}

# A token reaches the application as its user; what the client claims in the
# identity headers is replaced.
body="$(curl -s --max-time 5 -D "$WORK/headers" "$NGINX_URL/app/data.json?idp_id=local" -H "Authorization: $alice" \
  -H "X-Auth-User: bob" -H "X-Auth-Principals: group:admins")"
check "a token reaches the application as its user" alice "$(field user <<<"$body")"
check "with its sso user" sso-a "$(field sso_user <<<"$body")"
check "and its principals" '["system.Everyone", "system.Authenticated", "alice", "group:corvane_users"]' \
  "$(field principals <<<"$body")"
check "a JSON request logs nobody in" 0 "$(grep -ci '^set-cookie' "$WORK/headers" || true)"
doe="$("$JWT" mint --key "$WORK/k1.json" --sub sso-d --email doe@example.org)"
body="$(curl -s --max-time 5 "$NGINX_URL/app/data.json?idp_id=local" -H "Authorization: $doe")"
check "a user id with a comma, a quote and a non-ASCII letter arrives as it is" 'doe, "jö"' "$(field user <<<"$body")"
check "and as one principal" '["system.Everyone", "system.Authenticated", "doe, \"jö\"", "group:corvane_users"]' \
  "$(field principals <<<"$body")"
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
