#!/usr/bin/env bash
# corvane-host as a process: SIGHUP reloads under load, a failed reload,
# periodic reloads, the access log on stdout, graceful stop, exit codes.
# Sessions and bad input are covered in-process by tests/apps/host_server_test.cpp.
source "$(dirname "$0")/support/common.bash"

# terminate_host PROMPT_CHECK EXIT_CHECK: SIGTERM; the host must be gone
# within 10 s and exit 0.
terminate_host() {
  kill -TERM "$HOST_PID"
  for _ in $(seq 1 100); do kill -0 "$HOST_PID" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$HOST_PID" 2>/dev/null; then not_ok "$1"; fi
  set +e
  wait "$HOST_PID"; code=$?
  set -e
  HOST_PID=""
  check "$2" 0 "$code"
}
make_site ES256
start_host

token="$("$JWT" mint --key "$WORK/k1.json" --sub sso-a --email alice@example.org)"
check "a token is accepted" 200 "$(status "$BASE/whoami.json?idp_id=local" -H "Authorization: $token")"

# Reload: a second key joins the set while requests keep coming.
"$JWT" keygen --alg PS256 --kid k2 --jwks "$WORK/jwks.json" --key "$WORK/k2.json" >/dev/null
new_token="$("$JWT" mint --key "$WORK/k2.json" --email bob@example.org)"
check "the new key is unknown before the reload" 401 "$(status "$BASE/whoami.json?idp_id=local" -H "Authorization: $new_token")"
(
  failures=0
  for _ in $(seq 1 150); do
    [ "$(status "$BASE/whoami.json?idp_id=local" -H "Authorization: $token")" = 200 ] || failures=$((failures + 1))
  done
  echo "$failures" >"$WORK/failures"
) &
loop=$!
for _ in 1 2 3; do
  sleep 0.2
  kill -HUP "$HOST_PID"
done
wait "$loop"
check "no request failed during the reloads" 0 "$(cat "$WORK/failures")"
check "the new key works after SIGHUP" 200 "$(eventual_status 50 200 "$BASE/whoami.json?idp_id=local" -H "Authorization: $new_token")"

# A broken rebuild keeps the running policy.
cp "$WORK/auth.json" "$WORK/auth.good"
echo '{' >"$WORK/auth.json"
kill -HUP "$HOST_PID"
for _ in $(seq 1 50); do grep -q 'reload failed' "$WORK/host.err" && break; sleep 0.1; done
contains "a failed reload is logged" "reload failed" "$(cat "$WORK/host.err")"
check "the old policy still serves" 200 "$(status "$BASE/whoami.json?idp_id=local" -H "Authorization: $new_token")"

contains "the access log names the sso user" "GET /whoami.json 200" "$(cat "$WORK/host.out")"
contains "the access log carries sso_user_id" "sso_user_id=sso-a" "$(cat "$WORK/host.out")"

# SIGTERM while a reload waits on a provider that never answers: the host
# stops at once instead of after the fetch's time-out.
cp "$WORK/auth.good" "$WORK/auth.json"
set +e
err="$(timeout 10 "$HOST" --ini "$WORK/app.ini" --port "${BASE##*:}" 2>&1 >/dev/null)"; code=$?
set -e
check "a second host on a port in use exits 2" 2 "$code"
contains "and names the port" ":${BASE##*:}: Address already in use" "$err"

start_silent_server
sed -i "s|\"local\": {|\"slow\": {\"enabled\": true, \"idp_name\": \"Slow\", \"claim_attribute\": \"email\", \"user_config_attribute\": \"email\", \"well_known_configuration\": \"http://127.0.0.1:$SILENT_PORT/.well-known/openid-configuration\"}, \"local\": {|" "$WORK/auth.json"
sed -i 's/^\[app:main\]$/[app:main]\njwt_cvn.http_timeout = 60/' "$WORK/app.ini"
kill -HUP "$HOST_PID"
for _ in $(seq 1 50); do grep -q 'reloading the configuration' "$WORK/host.err" && break; sleep 0.1; done
terminate_host "SIGTERM during a slow reload stops the host within 10 s" "SIGTERM stops the host with exit 0"
contains "the reload was still running" "the reload was abandoned" "$(cat "$WORK/host.err")"

# corvane.reload_interval: a key added to the set is taken up without
# SIGHUP, and SIGTERM does not wait out the interval.
cp "$WORK/auth.good" "$WORK/auth.json"
sed -i 's/^jwt_cvn.http_timeout.*/corvane.reload_interval = 1/' "$WORK/app.ini"
start_host
"$JWT" keygen --alg ES256 --kid k3 --jwks "$WORK/jwks.json" --key "$WORK/k3.json" >/dev/null
k3_token="$("$JWT" mint --key "$WORK/k3.json" --email alice@example.org)"
check "the interval's rebuild takes up the new key" 200 \
  "$(eventual_status 300 200 "$BASE/whoami.json?idp_id=local" -H "Authorization: $k3_token")"
terminate_host "SIGTERM stops a host waiting for its next reload within 10 s" "and it exits 0"
sed -i 's/^corvane.session_secret.*//; s/^jwt_cvn.http_timeout.*//' "$WORK/app.ini"
set +e
err="$("$HOST" --ini "$WORK/app.ini" --port 0 2>&1 >/dev/null)"; code=$?
set -e
check "a missing session secret exits 2" 2 "$code"
contains "and names the key" "corvane.session_secret" "$err"
"$HOST" --help >/dev/null && ok "corvane-host --help" || not_ok "corvane-host --help"
finish
