# Shared by the scripts that run nginx in front of corvane-host processes
# (tests/e2e/nginx.sh, scripts/bench-scale); sourced after common.bash.
source "$(dirname "${BASH_SOURCE[0]}")/proxy.bash"
NGINX="${NGINX:-/usr/sbin/nginx}"
NGINX_DEPLOY="${CORVANE_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)}/deploy/nginx"
if [ ! -x "$NGINX" ]; then
  echo "nginx is not installed: run scripts/install-deps" >&2
  exit 1
fi

# start_nginx: nginx on a free loopback port, in the foreground of its own
# folder; another process may take the port between the choice and the
# bind, so a bind failure picks another one.
start_nginx() {
  local run="$WORK/nginx" user=""
  mkdir -p "$run"
  # As root nginx would hand its workers to an unprivileged user who cannot
  # enter the private temporary folder.
  [ "$(id -u)" -eq 0 ] && user="user root;"
  for _ in 1 2 3 4 5; do
    NGINX_PORT="$(free_port)"
    sed -e "s|@RUN_DIR@|$run|g" -e "s|@LISTEN@|127.0.0.1:$NGINX_PORT|" -e "s|@AUTH_1@|127.0.0.1:$HOST1_PORT|" \
      -e "s|@AUTH_2@|127.0.0.1:$HOST2_PORT|" -e "s|@APP@|127.0.0.1:$APP_PORT|" -e "s|@USER@|$user|" \
      "$NGINX_DEPLOY/nginx.conf.template" | sed '$d' >"$run/nginx.conf"
    # The http block's closing brace was left out for NGINX_EXTRA (more server blocks).
    printf '%s\n}\n' "${NGINX_EXTRA:-}" >>"$run/nginx.conf"
    : >"$run/error.log"
    "$NGINX" -p "$run" -c "$run/nginx.conf" -e "$run/error.log" -g 'daemon off;' 2>>"$run/stderr" &
    NGINX_PID=$!
    EXTRA_PIDS+=("$NGINX_PID")
    if proxy_listens "$NGINX_PID" "http://127.0.0.1:$NGINX_PORT/"; then
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
