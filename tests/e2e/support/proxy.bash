# Shared by the scripts that put a proxy in front of corvane-host processes
# (tests/e2e/nginx.sh, tests/e2e/caddy.sh, scripts/bench-scale): the hosts,
# the echoing application, and the checks every deployment must pass.
# Sourced after common.bash.

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

# proxy_listens PID URL: polls URL (up to 20 s) until the proxy answers it
# with any status; fails when process PID ends first (a bind failure, say)
# or never answers. The caller stops the process then.
proxy_listens() {
  local pid="$1" url="$2"
  for _ in $(seq 1 400); do
    # 000 (and curl failing) until the proxy listens.
    [ "$(status "$url" || true)" != 000 ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# start_nth_host N PORT: host process N on PORT (0: a free one); sets HOSTN_PID and HOSTN_PORT.
start_nth_host() {
  local n="$1" port="$2" pid address
  # The file appears once the background process opened it; a previous
  # host's must not be read meanwhile.
  rm -f "$WORK/host$n.out" "$WORK/host$n.err"
  "$HOST" --ini "$WORK/app.ini" --port "$port" >"$WORK/host$n.out" 2>"$WORK/host$n.err" &
  pid=$!
  EXTRA_PIDS+=("$pid")
  for _ in $(seq 1 100); do
    address="$(sed -n 's/^listening on http:\/\/127.0.0.1://p' "$WORK/host$n.out" 2>/dev/null | head -1 || true)"
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

# metric PORT SERIES: the value of one series (name and labels) of a host's /metrics.
metric() {
  curl -s --max-time 5 "http://127.0.0.1:$1/metrics" | awk -v series="$2" '$1 == series { print $2 }'
}

# add_odd_user: a user id an application could misread (a comma, a quote, a
# non-ASCII letter), doe@example.org, in the site's users.
add_odd_user() {
  /usr/bin/python3 - "$WORK/users.json" <<'PY'
import json, sys
users = json.load(open(sys.argv[1]))
users['doe, "j\u00f6"'] = {"email": "doe@example.org"}
json.dump(users, open(sys.argv[1], "w"))
PY
}

# start_application: the echoing application on a free loopback port; sets APP_PORT.
start_application() {
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/echo_backend.py" >"$WORK/app.port" &
  EXTRA_PIDS+=("$!")
  wait_for "the application starts" test -s "$WORK/app.port"
  APP_PORT="$(cat "$WORK/app.port")"
}

# field NAME: one member of the application's JSON answer on stdin (a list as JSON).
field() {
  /usr/bin/python3 -c 'import json, sys; v = json.load(sys.stdin).get(sys.argv[1]); print(v if not isinstance(v, list) else json.dumps(v, ensure_ascii=False))' "$1"
}

# check_front_door URL: what any proxy in front of hosts 1 and 2 (a site
# from make_site with add_odd_user, key k1, provider "local") must do for the
# application at URL/app/: who reaches it, and who never does.
check_front_door() {
  local url="$1" body code alice bob doe stranger nosub cookie users
  alice="$("$JWT" mint --key "$WORK/k1.json" --sub sso-a --email alice@example.org)"
  bob="$("$JWT" mint --key "$WORK/k1.json" --sub sso-b --email bob@example.org)"

  # A token reaches the application as its user; what the client claims in
  # the identity headers is replaced.
  body="$(curl -s --max-time 5 -D "$WORK/headers" "$url/app/data.json?idp_id=local" -H "Authorization: $alice" \
    -H "X-Auth-User: bob" -H "X-Auth-Principals: group:admins")"
  check "a token reaches the application as its user" alice "$(field user <<<"$body")"
  check "with its sso user" sso-a "$(field sso_user <<<"$body")"
  check "and its principals" '["system.Everyone", "system.Authenticated", "alice", "group:corvane_users"]' \
    "$(field principals <<<"$body")"
  check "a JSON request logs nobody in" 0 "$(grep -ci '^set-cookie' "$WORK/headers" || true)"
  # A user without an sso id: the client's own X-Auth-Sso-User must not pass either.
  nosub="$("$JWT" mint --key "$WORK/k1.json" --email bob@example.org)"
  body="$(curl -s --max-time 5 "$url/app/data.json?idp_id=local" -H "Authorization: $nosub" \
    -H "X-Auth-Sso-User: sso-a")"
  check "a user without an sso id arrives" bob "$(field user <<<"$body")"
  check "without the sso id the client sent" None "$(field sso_user <<<"$body")"
  doe="$("$JWT" mint --key "$WORK/k1.json" --sub sso-d --email doe@example.org)"
  body="$(curl -s --max-time 5 "$url/app/data.json?idp_id=local" -H "Authorization: $doe")"
  check "a user id with a comma, a quote and a non-ASCII letter arrives as it is" 'doe, "jö"' "$(field user <<<"$body")"
  check "and as one principal" '["system.Everyone", "system.Authenticated", "doe, \"jö\"", "group:corvane_users"]' \
    "$(field principals <<<"$body")"
  body="$(curl -s --max-time 5 "$url/app/data" -H "Authorization: $bob" -H "X-Identity-Provider-Id: local")"
  check "the provider named by header" bob "$(field user <<<"$body")"

  # Refused requests never reach the application.
  stranger="$("$JWT" keygen --alg ES256 --kid k1 --jwks "$WORK/other.json" --key "$WORK/other-key.json" >/dev/null &&
    "$JWT" mint --key "$WORK/other-key.json" --email alice@example.org)"
  while IFS='|' read -r name target authorization extra; do
    code="$(curl -s -o "$WORK/refused" -D "$WORK/headers" -w '%{http_code}' --max-time 5 "$url$target" \
      ${authorization:+-H "Authorization: $authorization"} ${extra:+-H "$extra"})"
    check "$name: 401" 401 "$code"
    # Field names in any case: Caddy writes Www-Authenticate.
    contains "$name: WWW-Authenticate from the host" "www-authenticate: bearer" "$(tr "[:upper:]" "[:lower:]" <"$WORK/headers")"
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
  # (the proxy takes them in turn), and each counts a session hit.
  curl -s -o /dev/null --max-time 5 -D "$WORK/headers" "$url/app/page.html?idp_id=local" -H "Authorization: $alice"
  cookie="$(sed -n 's/^[Ss]et-[Cc]ookie: \(corvane_session=[^;]*\).*/\1/p' "$WORK/headers" | tr -d '\r')"
  contains "an HTML request gets the session cookie" "corvane_session=" "$cookie"
  users=""
  for _ in 1 2 3 4; do
    users+="$(curl -s --max-time 5 "$url/app/page.html" -H "Cookie: $cookie" | field user) "
  done
  check "the cookie alone authenticates, four times" "alice alice alice alice " "$users"
  check "host 1 accepted the session" 1 "$([ "$(metric "$HOST1_PORT" corvane_session_hits_total)" -ge 1 ] && echo 1)"
  check "host 2 accepted the session" 1 "$([ "$(metric "$HOST2_PORT" corvane_session_hits_total)" -ge 1 ] && echo 1)"
}
