#!/usr/bin/env bash
# The shipped nginx configuration (deploy/nginx) in front of two corvane-host
# processes and an echoing application: who reaches the application, the
# session shared by the hosts, and no request lost while a host dies or both
# reload. Every wait polls an observable condition, a bounded number of times.
source "$(dirname "$0")/support/common.bash"
source "$(dirname "$0")/support/nginx.bash"

SITE_EXTENSION=json make_site ES256
sed -i 's/^\[server:main\]$/corvane.access_log = json\n[server:main]/' "$WORK/app.ini"
add_odd_user

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
start_application
start_nginx

check_front_door "$NGINX_URL"
alice="$("$JWT" mint --key "$WORK/k1.json" --sub sso-a --email alice@example.org)"
bob="$("$JWT" mint --key "$WORK/k1.json" --sub sso-b --email bob@example.org)"
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
