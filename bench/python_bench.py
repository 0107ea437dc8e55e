"""Calls per second of authenticated_userid from Python, in one run:

- beside a baseline written in Python on jwcrypto (the token verified by
  jwt.JWT(jwt=..., key=...) plus a walk over the users comparing
  strip().lower() forms), with the token cache off (each call verifies), and
  the same token repeated with the cache on (its target: at most 3 µs a call);
- from 1, 2 and 4 threads, the cache off and on (targets: never below one
  thread; a public key algorithm with the cache off at least 1.8 times one
  thread with two), beside two controls that show what the interpreter itself
  reaches on this machine: Python code alone, which holds the GIL, and a
  hashlib call as long as an RS256 check, which releases it;
- beside the same call in C++ on the same site, through the C++ reference
  request (cpp_call_bench, built with -DCORVANE_BUILD_BENCH=ON), as CPU time
  per call (target: Python at most 1 µs more), with the crossings between C++
  and Python one call makes; both sides on the same core.

Each figure is the median of rounds taken in turn (1, 2, 4 threads; Python,
C++), so that a slow spell of a shared machine falls on all of them alike.

    /usr/bin/python3 bench/python_bench.py BUILD_DIR [--seconds S]

Figures only: nothing is asserted, and a missed target fails nothing.
"""
import argparse
import base64
import functools
import hashlib
import json
import logging
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ALGORITHMS = ("RS256", "PS256", "ES256", "ES384", "ES512", "EdDSA", "HS256")
ROUNDS = 5
# Their signature checks are long enough to run without the GIL.
PUBLIC_KEY = {"RS256", "PS256", "ES256", "ES384", "ES512", "EdDSA"}


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
    ini_path = os.path.join(folder, f"site-{alg}-{users}.ini")
    with open(ini_path, "w") as file:
        file.write(f"[app:main]\ncorvane.auth_settings = {auth_path}\ncorvane.users = {users_path}\n")
    return {"corvane.auth_settings": auth_path, "corvane.users": users_path}, token, jwks, people, ini_path


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


def rates_by_threads(call, seconds):
    """Calls per second of `call` from 1, 2 and 4 threads: the median of
    ROUNDS rounds, each taking the three in turn."""
    rounds = {1: [], 2: [], 4: []}
    for _ in range(ROUNDS):
        for threads in rounds:
            rounds[threads].append(rate(call, seconds / ROUNDS, threads))
    return [statistics.median(rounds[threads]) for threads in (1, 2, 4)]


def controls():
    """(name, call) of the controls: Python code alone, holding the GIL, and
    a hashlib call of about an RS256 check's length, releasing it."""
    counts = {"a": 1}
    data = b"x" * 36_000

    def python_alone():
        for _ in range(8):
            counts.get("a")

    return [("ctl:py", python_alone), ("ctl:sha", lambda: hashlib.sha256(data).digest())]


def crossings(policy, request):
    """The crossings from C++ into Python of one call: the Python functions
    C++ calls (seen by a profiler as calls whose caller is the frame that
    called into C++), and the attribute reads C++ makes on the request, its
    mappings and the companion modules (counted by reading hooks that look at
    who reads). Counted apart, so that neither hook is seen by the other."""
    import corvane.logging_conf
    import corvane.utils

    entry = type(policy).authenticated_userid.__code__  # the method that calls into C++
    calls = 0

    def profile(frame, event, _arg):
        nonlocal calls
        if event == "call" and frame.f_back is not None and frame.f_back.f_code is entry:
            calls += 1

    sys.setprofile(profile)
    try:
        policy.authenticated_userid(request)
    finally:
        sys.setprofile(None)
    reads = 0

    def counting(base):
        def __getattribute__(self, name):
            nonlocal reads
            if sys._getframe(1).f_code is entry:
                reads += 1
            return base.__getattribute__(self, name)
        return type("Counting" + base.__name__, (base,), {"__getattribute__": __getattribute__})

    counted = counting(type(request))(request.headers, request.GET)
    counted.headers, counted.GET = counting(dict)(request.headers), counting(dict)(request.GET)
    modules = [corvane.utils, corvane.logging_conf]
    kinds = [type(module) for module in modules]
    try:
        for module in modules:
            module.__class__ = counting(type(module))
        policy.authenticated_userid(counted)
    finally:
        for module, kind in zip(modules, kinds):
            module.__class__ = kind
    return calls, reads


def cpu_micros(call, seconds):
    """CPU time of the calling thread per call of `call`, in µs, over about
    `seconds` of wall time: other programs on a busy machine do not inflate
    it as they do wall time."""
    n = 0
    stop = time.perf_counter() + seconds
    started = time.thread_time()
    while time.perf_counter() < stop:
        for _ in range(50):
            call()
        n += 50
    return (time.thread_time() - started) * 1e6 / n


def cpp_micros(program, ini_path, header, seconds):
    """CPU time per call of the same call in C++, in µs, or None without the program."""
    if not os.path.exists(program):
        return None
    done = subprocess.run([program, "--ini", ini_path, "--authorization", header, "--seconds", str(seconds)],
                          check=True, capture_output=True, text=True)
    return json.loads(done.stdout)["cpu_micros_per_call"]


def cache_off_and_on(tool, folder):
    """For every algorithm, a site of 10 users and a policy over it with the
    token cache off, then on: (alg, cache, policy, request, header, ini path)."""
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy  # importable once main() set the path
    for alg in ALGORITHMS:
        settings, header, _, _, ini_path = build_site(tool, folder, alg, 10)
        request = Request({"Authorization": header}, {"idp_id": "idp"})
        for cache in ("off", "on"):
            extra = {"jwt_cvn.token_cache_entries": "0"} if cache == "off" else {}
            policy = JWTAuthenticationPolicy(dict(settings, **extra))
            assert policy.authenticated_userid(request) == "user9"
            yield alg, cache, policy, request, header, ini_path


def verdict(met):
    return "met" if met else "MISSED"


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
    peer = os.path.join(args.build, "cpp_call_bench")
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}; Python {platform.python_version()}")
    with tempfile.TemporaryDirectory() as folder:
        print("\nThe policy against a Python baseline (one thread)")
        print(f"{'alg':6} {'users':>6} {'policy/s':>10} {'jwcrypto/s':>11} {'ratio':>6}"
              f" {'cached/s':>10} {'µs/call':>8} {'≤ 3 µs':>7}")
        for alg in ALGORITHMS:
            for users in (10, 1000):
                settings, header, jwks_path, people, _ = build_site(tool, folder, alg, users)
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
                hits = rate(lambda: cached.authenticated_userid(request), args.seconds)
                micros = 1e6 / hits
                print(f"{alg:6} {users:>6} {one:>10.0f} {base:>11.0f} {one / base:>6.1f}"
                      f" {hits:>10.0f} {micros:>8.2f} {verdict(micros <= 3):>7}")

        print("\nThreads (10 users): calls per second from 1, 2 and 4 Python threads")
        print(f"{'alg':6} {'cache':>5} {'1 thread/s':>11} {'2 threads/s':>12} {'4 threads/s':>12} {'2T/1T':>6}"
              f" {'4T/1T':>6} {'target':>14} {'verdict':>8}")
        for alg, cache, policy, request, _, _ in cache_off_and_on(tool, folder):
            rates = rates_by_threads(lambda: policy.authenticated_userid(request), args.seconds)
            two, four = rates[1] / rates[0], rates[2] / rates[0]
            least = 1.8 if cache == "off" and alg in PUBLIC_KEY else 1.0
            target = f"2T ≥ {least}×, 4T ≥ 1×"
            met = two >= least and four >= 1.0
            print(f"{alg:6} {cache:>5} {rates[0]:>11.0f} {rates[1]:>12.0f} {rates[2]:>12.0f} {two:>6.2f}"
                  f" {four:>6.2f} {target:>14} {verdict(met):>8}")
        for name, call in controls():
            rates = rates_by_threads(call, args.seconds)
            print(f"{name:7} {'-':>4} {rates[0]:>11.0f} {rates[1]:>12.0f} {rates[2]:>12.0f} {rates[1] / rates[0]:>6.2f}"
                  f" {rates[2] / rates[0]:>6.2f} {'-':>14} {'control':>8}")

        print("\nPython against C++ on the same site (10 users, a JSON request, the C++ users store, one thread;"
              " CPU time per call)")
        if not os.path.exists(peer):
            print(f"  (no {peer}: configure the build with -DCORVANE_BUILD_BENCH=ON)")
        print(f"{'alg':6} {'cache':>5} {'Python µs':>10} {'C++ µs':>8} {'Python - C++':>13} {'≤ 1 µs':>7}"
              f" {'calls':>6} {'reads':>6}")
        # One core for both sides (the C++ program inherits it): a thread moved
        # between cores starts cold, which costs more than the crossings do.
        affinity = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {max(affinity)})
        for alg, cache, policy, request, header, ini_path in cache_off_and_on(tool, folder):
            calls, reads = crossings(policy, request)
            peer_ini = ini_path
            if cache == "off":
                peer_ini = ini_path.replace(".ini", "-uncached.ini")
                with open(ini_path) as source, open(peer_ini, "w") as target:
                    target.write(source.read() + "jwt_cvn.token_cache_entries = 0\n")
            pythons, cpps = [], []
            for _ in range(ROUNDS):
                # The bound method called from C (no frame of the bench's own), as
                # the C++ side calls the policy directly.
                pythons.append(cpu_micros(functools.partial(policy.authenticated_userid, request),
                                          args.seconds / ROUNDS))
                cpps.append(cpp_micros(peer, peer_ini, header, args.seconds / ROUNDS))
            python = statistics.median(pythons)
            cpp = None if None in cpps else statistics.median(cpps)
            if cpp is None:
                print(f"{alg:6} {cache:>5} {python:>10.2f} {'-':>8} {'-':>13} {'-':>7} {calls:>6} {reads:>6}")
                continue
            print(f"{alg:6} {cache:>5} {python:>10.2f} {cpp:>8.2f} {python - cpp:>13.2f}"
                  f" {verdict(python - cpp <= 1.0):>7} {calls:>6} {reads:>6}")
        os.sched_setaffinity(0, affinity)
        print("\ncalls: Python functions C++ calls in one call of authenticated_userid; reads: attributes C++ reads"
              " on Python objects; add 1 for the call into C++ itself")


if __name__ == "__main__":
    main()
