#!/usr/bin/env bash
# The shipped Caddy configuration (deploy/caddy, forward_auth) in front of
# two corvane-host processes and an echoing application: who reaches the
# application and who never does, and the session shared by the hosts.
# Caddy runs as this script's own process: loopback ports, no admin
# endpoint, no certificates, its files under the temporary folder.
source "$(dirname "$0")/support/common.bash"
source "$(dirname "$0")/support/proxy.bash"
CADDY="${CADDY:-/usr/bin/caddy}"
CADDY_DEPLOY="${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}/deploy/caddy"
if [ ! -x "$CADDY" ]; then
  echo "caddy is not installed: run scripts/install-deps" >&2
  exit 1
fi

# start_caddy: Caddy on a free loopback port; another process may take the
# port between the choice and the bind, so a bind failure picks another one.
start_caddy() {
  local run="$WORK/caddy"
  mkdir -p "$run"
  for _ in 1 2 3 4 5; do
    CADDY_PORT="$(free_port)"
    : >"$run/stderr"
    # HOME and the XDG folders: where Caddy would keep its data and its
    # saved configuration.
    HOME="$run" XDG_CONFIG_HOME="$run/config" XDG_DATA_HOME="$run/data" CORVANE_RUN_DIR="$run" \
      CORVANE_LISTEN="127.0.0.1:$CADDY_PORT" CORVANE_AUTH_1="127.0.0.1:$HOST1_PORT" \
      CORVANE_AUTH_2="127.0.0.1:$HOST2_PORT" CORVANE_APP="127.0.0.1:$APP_PORT" \
      "$CADDY" run --adapter caddyfile --config "$CADDY_DEPLOY/Caddyfile" 2>>"$run/stderr" &
    CADDY_PID=$!
    EXTRA_PIDS+=("$CADDY_PID")
    if proxy_listens "$CADDY_PID" "http://127.0.0.1:$CADDY_PORT/health"; then
      CADDY_URL="http://127.0.0.1:$CADDY_PORT"
      return 0
    fi
    kill -TERM "$CADDY_PID" 2>/dev/null || true
    wait "$CADDY_PID" 2>/dev/null || true
    grep -q "address already in use" "$run/stderr" || break
  done
  echo "caddy did not start:" >&2
  cat "$run/stderr" >&2
  exit 1
}

SITE_EXTENSION=json make_site ES256
add_odd_user
start_nth_host 1 0
start_nth_host 2 0
start_application
start_caddy

check_front_door "$CADDY_URL"
finish
