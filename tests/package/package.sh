#!/usr/bin/env bash
# The Debian packages of `make package`, used as a user would, without
# installing them: lintian (no errors; its warnings are printed), the
# packages unpacked into a temporary root, a small CMake project built with
# find_package(CorvaneAuthJwt) against that root and run on the demo
# configuration, the unpacked Python package imported by /usr/bin/python3 to
# authenticate one request, the unpacked `corvane-jwt check` on the demo
# configuration, and `systemd-analyze verify` of the unit.
#
# With dpkg as well (install, use, purge) only on a disposable machine: as
# root inside a container (systemd-detect-virt --container, /.dockerenv or
# /run/.containerenv), where none of the three packages, the user corvane
# and /etc/corvane exist yet; CORVANE_PACKAGE_DPKG=0 turns that off,
# CORVANE_PACKAGE_DPKG=1 asks for it elsewhere (still as root only). The
# purge, the user's removal and a check that nothing is left follow in
# every case.
#
#   tests/package/package.sh BUILD_DIR     (make test-package)
set -euo pipefail
root_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: package.sh BUILD_DIR}" && pwd)"
here="$root_dir/tests/package"
started=$SECONDS

fail() { echo "package test: FAILED: $*" >&2; exit 1; }
step() { echo "package test: $* ($(( SECONDS - started )) s)"; }

missing=()
for tool in dpkg-deb lintian systemd-analyze cmake /usr/bin/python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "package test: SKIPPED: ${missing[*]} not installed (scripts/install-deps package installs them)" >&2
  exit 77
fi

packages=(libcorvane-auth-jwt-dev python3-corvane-auth-jwt corvane-tools)
debs=()
for name in "${packages[@]}"; do
  found=("$build"/packages/"${name}"_*.deb)
  [ -f "${found[0]}" ] && [ ${#found[@]} -eq 1 ] || fail "expected one ${name}_*.deb in $build/packages (make package)"
  debs+=("${found[0]}")
done

work="$(mktemp -d)"
idp_pid=
dpkg_done=0
cleanup() {
  [ -n "$idp_pid" ] && kill "$idp_pid" 2>/dev/null || true
  [ "$dpkg_done" -eq 1 ] && undo_dpkg
  rm -rf "$work"
}
trap cleanup EXIT

step "lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt" >&2; fail "lintian reports errors"; }
sed 's/^/  /' "$work/lintian.txt"

step "the packages' contents"
root="$work/root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)"
for file in usr/bin/corvane-jwt usr/bin/corvane-host usr/share/man/man1/corvane-host.1.gz \
            lib/systemd/system/corvane-host.service etc/corvane/corvane.ini etc/corvane/auth.json \
            usr/include/corvane/auth/jwt/jwt.hpp usr/lib/$multiarch/libcorvane_auth_jwt.a \
            usr/lib/$multiarch/cmake/CorvaneAuthJwt/CorvaneAuthJwtConfigVersion.cmake \
            usr/lib/python3/dist-packages/corvane/auth/jwt/jwt.py; do
  [ -e "$root/$file" ] || fail "/$file is in no package"
done
conffiles="$(dpkg-deb -I "${debs[2]}" conffiles)"
for file in /etc/corvane/corvane.ini /etc/corvane/auth.json /etc/corvane/users.json; do
  grep -qx "$file" <<<"$conffiles" || fail "$file is not a configuration file of corvane-tools"
done
grep -q "dpkg-statoverride --update --add root corvane 0640 /etc/corvane/corvane.ini" \
  <(dpkg-deb -I "${debs[2]}" postinst) || fail "corvane.ini (the session secret) would stay readable by all"
# The signer is for tools and tests: no library of the CMake package links it.
grep INTERFACE_LINK_LIBRARIES "$root/usr/lib/$multiarch/cmake/CorvaneAuthJwt/CorvaneAuthJwtTargets.cmake" |
  grep -q 'corvane::jose_sign' && fail "a library of the CMake package links corvane::jose_sign"

step "the demo configuration, with keys from the unpacked corvane-jwt"
jwt="$root/usr/bin/corvane-jwt"
site="$work/site"
mkdir -p "$site"
cp -r "$root_dir/demo" "$site/demo"
rm -rf "$site/demo/keys"
mkdir -p "$site/demo/keys"
"$jwt" keygen --alg ES256 --kid demo-1 --jwks "$site/demo/keys/jwks.json" --key "$site/demo/keys/demo-key.json" >/dev/null
"$jwt" keygen --alg ES256 --kid demo-idp-1 --jwks "$site/demo/keys/idp-jwks.json" --key "$site/demo/keys/idp-key.json" >/dev/null
"$jwt" idp --key "$site/demo/keys/idp-key.json" --users "$site/demo/users.json" --client-id corvane-demo \
  --redirect-uri http://127.0.0.1:8080/callback/demo-idp --port 0 >"$work/idp.out" &
idp_pid=$!
for _ in $(seq 1 100); do
  grep -q '^listening on ' "$work/idp.out" && break
  kill -0 "$idp_pid" 2>/dev/null || fail "the unpacked demo identity provider did not start"
  sleep 0.1
done
issuer="$(sed -n 's/^listening on \([^ ]*\).*/\1/p' "$work/idp.out")"
[ -n "$issuer" ] || fail "the demo identity provider printed no address"
sed -i "s|http://127.0.0.1:8081|${issuer%/}|" "$site/demo/auth.json"

step "corvane-jwt check on the demo configuration"
(cd "$site" && "$jwt" check --ini demo/demo.ini) >"$work/check.txt" 2>&1 ||
  { cat "$work/check.txt" >&2; fail "corvane-jwt check"; }

step "find_package(CorvaneAuthJwt) against the unpacked root"
cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "configure"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log" >&2; fail "build"; }
states="$(cd "$site" && "$work/consumer/consumer" demo/demo.ini)"
expected=$'demo-idp ready\ndemo-local ready\ndemo-discovery ready\ndemo-off disabled'
[ "$states" = "$expected" ] || fail "the consumer's providers: $states"
# The version file: a later minor version is not this one.
cmake -S "$here/consumer" -B "$work/consumer-next" -G Ninja -DWANT=0.2 -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/consumer-next.log" 2>&1 && fail "find_package(CorvaneAuthJwt 0.2) accepted version 0.1"
grep -q "CorvaneAuthJwtConfig.cmake, version: 0.1.0" "$work/consumer-next.log" ||
  { cat "$work/consumer-next.log" >&2; fail "find_package named no version"; }

step "the unpacked Python package authenticates a request"
token="$("$jwt" mint --key "$site/demo/keys/demo-key.json" --sub alice-sso --email alice@example.org)"
(cd "$site" && env -u PYTHONPATH PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 - "$token" \
    "$root/usr/lib/python3/dist-packages" <<'PY'
import sys
from pyramid import testing
import corvane.auth.jwt.jwt as jwt
assert jwt.__file__.startswith(sys.argv[2]), jwt.__file__
policy = jwt.JWTAuthenticationPolicy({"corvane.auth_settings": "demo/auth.json", "corvane.users": "demo/users.json"})
found = policy.authenticate(testing.DummyRequest(headers={"Authorization": sys.argv[1]}, params={"idp_id": "demo-local"}))
assert (found.user_id, found.sso_user_id, found.outcome) == ("alice", "alice-sso", "authenticated"), found
PY
) || fail "the Python package"

step "systemd-analyze verify"
unit_dir="$work/unit"
mkdir -p "$unit_dir"
# The unit as installed, its programs taken from the unpacked root.
sed "s|/usr/bin/|$root/usr/bin/|g" "$root/lib/systemd/system/corvane-host.service" >"$unit_dir/corvane-host.service"
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$unit_dir/corvane-host.service" >"$work/verify.txt" 2>&1 ||
  { cat "$work/verify.txt" >&2; fail "systemd-analyze verify"; }
grep -v -e '^$' -e 'Failed to .*cgroup' -e 'Cannot add dependency job' "$work/verify.txt" | grep -i corvane-host &&
  fail "systemd-analyze verify warns about the unit"

# --- dpkg, on a disposable machine only -------------------------------
disposable() {
  [ "$(id -u)" -eq 0 ] || return 1
  case "${CORVANE_PACKAGE_DPKG:-}" in 0) return 1 ;; 1) ;; *)
    systemd-detect-virt --container >/dev/null 2>&1 || [ -e /.dockerenv ] || [ -e /run/.containerenv ] || return 1 ;;
  esac
  for name in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed\|config-files' && return 1
  done
  ! getent passwd corvane >/dev/null && ! getent group corvane >/dev/null && [ ! -e /etc/corvane ]
}
undo_dpkg() {
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  getent passwd corvane >/dev/null && userdel corvane 2>/dev/null || true
  getent group corvane >/dev/null && groupdel corvane 2>/dev/null || true
  rm -rf /etc/corvane
  dpkg_done=0
}
if disposable; then
  step "dpkg -i, use, dpkg --purge (root in a container)"
  dpkg_done=1
  dpkg -i "${debs[@]}" >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg -i"; }
  [ "$(stat -c '%U:%G %a' /etc/corvane/corvane.ini)" = "root:corvane 640" ] || fail "/etc/corvane/corvane.ini's owner"
  (cd "$site" && /usr/bin/corvane-jwt check --ini demo/demo.ini >/dev/null) || fail "the installed corvane-jwt"
  /usr/bin/corvane-jwt check --ini /etc/corvane/corvane.ini >/dev/null 2>&1 || true  # the example: disabled provider
  env -u PYTHONPATH /usr/bin/python3 -c 'import corvane.auth.jwt.jwt as j; assert j.__file__.startswith("/usr/lib/python3/dist-packages/")' ||
    fail "the installed Python package"
  undo_dpkg
  for name in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed\|config-files' && fail "$name is still there"
  done
  [ ! -e /etc/corvane ] && ! getent passwd corvane >/dev/null && ! dpkg-statoverride --list /etc/corvane/corvane.ini \
    >/dev/null || fail "the purge left something behind"
else
  step "dpkg -i not tried: not root in a container, or the packages, the user corvane or /etc/corvane exist"
fi

step "passed"
