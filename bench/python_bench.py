"""Calls per second of authenticated_userid from Python, beside a baseline
written in Python on jwcrypto (the token verified by jwt.JWT(jwt=..., key=...)
plus a walk over the users comparing strip().lower() forms), in one run: with
the token cache off (each call verifies), and the same token repeated with
the cache on (its target: at most 3 µs a call).

    /usr/bin/python3 bench/python_bench.py BUILD_DIR [--seconds S]

Figures only: nothing is asserted.
"""
import argparse
import base64
import json
import logging
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time


def build_site(tool, folder, alg, users):
    jwks, key = os.path.join(folder, f"{alg}-jwks.json"), os.path.join(folder, f"{alg}-key.json")
    if not os.path.exists(key):
        subprocess.run([tool, "keygen", "--alg", alg, "--kid", alg, "--jwks", jwks, "--key", key], check=True,
                       capture_output=True)
    people = {f"user{i}": {"email": f"User{i}@Example.org"} for i in range(users)}
    last = f"user{users - 1}@example.org"  # every walk visits all users anyway
    token = subprocess.run([tool, "mint", "--key", key, "--email", last, "--sub", "s"], check=True,
                           capture_output=True, text=True).stdout.strip()
    users_path = os.path.join(folder, f"users-{users}.json")
    with open(users_path, "w") as file:
        json.dump(people, file)
    auth_path = os.path.join(folder, f"auth-{alg}.json")
    with open(auth_path, "w") as file:
        json.dump({"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {"idp": {
            "enabled": True, "idp_name": "Bench", "claim_attribute": "email", "user_config_attribute": "email",
            "jwks_uri": jwks, "authorization_endpoint": "a", "token_endpoint": "t"}}}}}, file)
    return {"corvane.auth_settings": auth_path, "corvane.users": users_path}, token, jwks, people


class Request:
    def __init__(self, headers, params):
        self.headers, self.GET, self.session, self.path_info = headers, params, {}, "/x.json"


def rate(call, seconds, threads=1):
    """Calls per second of `call` over `seconds`, from `threads` threads."""
    counts = [0] * threads
    stop = time.perf_counter() + seconds

    def loop(slot):
        n = 0
        while time.perf_counter() < stop:
            for _ in range(50):
                call()
            n += 50
        counts[slot] = n

    started = time.perf_counter()
    workers = [threading.Thread(target=loop, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - started)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy
    from jwcrypto import jwk, jwt

    logging.getLogger("corvane.auth.jwt").setLevel(logging.WARNING)
    tool = os.path.join(args.build, "corvane-jwt")
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}; Python {platform.python_version()}")
    print(f"{'alg':6} {'users':>6} {'policy/s':>10} {'jwcrypto/s':>11} {'ratio':>6} {'2 threads/s':>12} {'2T/1T':>6}"
          f" {'cached/s':>10} {'µs/call':>8} {'≤ 3 µs':>7}")
    with tempfile.TemporaryDirectory() as folder:
        for alg in ("RS256", "ES256", "HS256"):
            for users in (10, 1000):
                settings, header, jwks_path, people = build_site(tool, folder, alg, users)
                policy = JWTAuthenticationPolicy(dict(settings, **{"jwt_cvn.token_cache_entries": "0"}))
                cached = JWTAuthenticationPolicy(settings)
                request = Request({"Authorization": header}, {"idp_id": "idp"})
                assert policy.authenticated_userid(request) == f"user{users - 1}"
                assert cached.authenticated_userid(request) == f"user{users - 1}"

                with open(jwks_path) as file:
                    keyset = jwk.JWKSet.from_json(file.read())
                compact = base64.b64decode(header[len("Bearer "):]).decode()
                records = [(uid, type("User", (), record)) for uid, record in people.items()]

                def baseline():
                    token = jwt.JWT(jwt=compact, key=keyset)
                    wanted = json.loads(token.token.payload)["email"].strip().lower()
                    matched = [uid for uid, record in records if record.email.strip().lower() == wanted]
                    assert len(matched) == 1

                one = rate(lambda: policy.authenticated_userid(request), args.seconds)
                base = rate(baseline, args.seconds)
                two = rate(lambda: policy.authenticated_userid(request), args.seconds, threads=2)
                hits = rate(lambda: cached.authenticated_userid(request), args.seconds)
                micros = 1e6 / hits
                print(f"{alg:6} {users:>6} {one:>10.0f} {base:>11.0f} {one / base:>6.1f} {two:>12.0f} {two / one:>6.2f}"
                      f" {hits:>10.0f} {micros:>8.2f} {'met' if micros <= 3 else 'missed':>7}")


if __name__ == "__main__":
    main()
