#!/usr/bin/python3
"""Times two Python JWT libraries on the tokens and key sets that policy_bench
verified (policy_bench --export DIR writes one ALG.json per algorithm):
jwcrypto's JWT(jwt=token, key=keyset), which picks the key by kid and checks
exp and nbf, and PyJWT's decode(token, key, algorithms=[alg], audience=...,
issuer=...), with the key picked by the header's kid from a dict made once.

    /usr/bin/python3 bench/peers.py DIR [--out FILE] [--max-seconds S]

CPU time of the thread per call, in batches until the coefficient of
variation of the last 7 batches is under 3 % or the time is up. Figures
only: nothing is asserted.
"""
import argparse
import json
import os
import statistics
import sys
import time

WINDOW = 7


def measure(call, max_seconds, batch_seconds=0.01, cv_target=0.03):
    call()
    n, took = 1, 0.0
    while took < batch_seconds / 4:
        start = time.thread_time()
        for _ in range(n):
            call()
        took = time.thread_time() - start
        if took < batch_seconds / 4:
            n *= 2
    batch = max(1, int(n * batch_seconds / max(took, 1e-9)))
    times, started = [], time.monotonic()
    while True:
        start = time.thread_time()
        for _ in range(batch):
            call()
        times.append((time.thread_time() - start) / batch * 1e9)
        if len(times) < WINDOW:
            continue
        last = times[-WINDOW:]
        cv = statistics.stdev(last) / statistics.mean(last)
        if cv < cv_target or time.monotonic() - started > max_seconds:
            return {"median": statistics.median(last), "cv": cv, "n": WINDOW, "cv_reached": cv < cv_target,
                    "repetitions": len(times)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--out")
    parser.add_argument("--max-seconds", type=float, default=float(os.environ.get("BENCH_MAX_SECONDS", 15)))
    args = parser.parse_args()

    import jwt as pyjwt
    from jwcrypto import jwk
    from jwcrypto import jwt as jwcrypto_jwt

    result = {"python": sys.version.split()[0], "pyjwt": pyjwt.__version__, "algorithms": {}}
    for alg in ("RS256", "PS256", "ES256", "EdDSA", "HS256"):
        path = os.path.join(args.folder, f"{alg}.json")
        if not os.path.exists(path):
            continue
        with open(path) as f:
            site = json.load(f)
        token = site["token"]
        keyset = jwk.JWKSet.from_json(json.dumps(site["jwks"]))
        keys = {k["kid"]: pyjwt.PyJWK(k, algorithm=alg).key for k in site["jwks"]["keys"]}
        audience, issuer = site["audience"], site["issuer"]

        def with_jwcrypto():
            return jwcrypto_jwt.JWT(jwt=token, key=keyset)

        def with_pyjwt():
            key = keys[pyjwt.get_unverified_header(token)["kid"]]
            return pyjwt.decode(token, key, algorithms=[alg], audience=audience, issuer=issuer)

        figures = {}
        for name, call in (("jwcrypto", with_jwcrypto), ("pyjwt", with_pyjwt)):
            print(f"peers: {name} {alg}", file=sys.stderr)
            try:
                call()
                figures[name] = measure(call, args.max_seconds)
            except Exception as error:  # a library that refuses the token is reported, not fatal
                figures[name] = {"error": f"{type(error).__name__}: {error}"}
        result["algorithms"][alg] = figures

    text = json.dumps(result, indent=1)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    else:
        print(text)


if __name__ == "__main__":
    main()
