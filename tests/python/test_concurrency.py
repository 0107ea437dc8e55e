"""The demo application under waitress with 8 threads: mixed requests from
several client threads, every answer and every access-log line checked; and
where the policy lets other Python threads run."""
import collections
import functools
import gc
import http.client
import itertools
import json
import logging
import operator
import re
import sys
import threading
import types

import pyramid_app
import pytest
import waitress.server

from conftest import LOGGER, b64url, hs256_bearer, provider

CLIENTS = 4
PER_CLIENT = 500


def test_mixed_requests_under_waitress(site):
    access = []
    handler = logging.Handler()
    handler.emit = lambda record: access.append(record.getMessage())  # list.append is atomic
    access_logger = logging.getLogger("corvane.demo.access")
    access_logger.addHandler(handler)
    access_logger.setLevel(logging.INFO)
    logging.getLogger("corvane.auth.jwt").setLevel(logging.WARNING)

    server = waitress.server.create_server(pyramid_app.main(**site.settings()), host="127.0.0.1", port=0,
                                           threads=8)
    serving = threading.Thread(target=server.run)
    serving.start()
    kinds = {
        # kind: (path, headers, status, user, sso id in the access log)
        "alice": ("/whoami.json?idp_id=idp", {"Authorization": site.token()}, 200, "alice", "alice-sso"),
        "bob": ("/whoami.json", {"Authorization": site.token("bob@example.org", "Bob"),
                                 "X-Identity-Provider-Id": "idp"}, 200, "bob", "bob"),
        "forged": ("/whoami.json?idp_id=idp", {"Authorization": site.token(key=site.other_key)}, 401, None, "-"),
        "html": ("/resources/r1.html?idp_id=idp", {"Authorization": site.token()}, 200, "alice", "alice-sso"),
    }
    names = sorted(kinds)
    failures = []
    expected = {}

    def client(number):
        connection = http.client.HTTPConnection("127.0.0.1", server.effective_port, timeout=60)
        for i in range(PER_CLIENT):
            kind = names[(i + number) % len(names)]
            path, headers, status, user, sso = kinds[kind]
            tag = f"{number}-{i}"
            expected[tag] = sso
            connection.request("GET", path + ("&" if "?" in path else "?") + "n=" + tag, headers=headers)
            response = connection.getresponse()
            body = response.read().decode()
            if response.status != status or (user and f"{user}" not in body):
                failures.append((kind, response.status, body[:200]))
        connection.close()

    try:
        clients = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join()
    finally:
        server.close()
        serving.join(timeout=30)
        access_logger.removeHandler(handler)
    assert failures == []
    logged = {}
    for line in access:
        match = re.search(r"[?&]n=([0-9-]+) \d+ sso_user_id=(\S+)$", line)
        assert match, line
        logged[match.group(1)] = match.group(2)
    assert logged == expected


# (case, HMAC key set, token cache entries, whether other threads run while one verifies)
GIL_CASES = [
    ("ES256, each call verifies", False, "0", True),
    ("ES256, the token remembered", False, "4096", False),
    ("HS256, each call verifies", True, "0", False),
]


@pytest.mark.parametrize("case, hmac_keys, cache_entries, released", GIL_CASES, ids=[c[0] for c in GIL_CASES])
def test_the_gil_is_released_only_around_a_public_key_check(site, monkeypatch, case, hmac_keys, cache_entries,
                                                             released):
    """A watching thread runs while another is between two host calls of a
    request (the provider id's look-up before verification, the log
    context's after it) only if the policy releases the GIL there. Every
    host call of the request is a function written in C, and so is the loop
    of requests: no Python code runs in that thread, so the interpreter can
    switch threads only where the policy releases the GIL. Once the watcher
    has waited its switch interval for the GIL, the next release hands it
    over (the releasing thread waits until it is taken); a request path that
    never releases it keeps the watcher out until the loop ends."""
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy
    import corvane.logging_conf
    import corvane.utils

    settings = {"jwt_cvn.token_cache_entries": cache_entries}
    header = site.token()
    if hmac_keys:
        secret = b"a GIL test secret of 32 bytes or more"
        jwks = site.write("gil-oct-jwks.json", {"keys": [{"kty": "oct", "kid": "k1", "k": b64url(secret)}]})
        site.write("auth-gil-oct.json", {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
            "idp": provider(jwks)}}}})
        settings["corvane.auth_settings"] = site.path("auth-gil-oct.json")
        header = hs256_bearer(secret, json.dumps({"alg": "HS256", "kid": "k1"}),
                              json.dumps({"sub": "a", "email": "alice@example.org"}))
    policy = JWTAuthenticationPolicy(site.settings(**settings))

    class Request:
        pass

    request = Request()
    assert policy.authenticated_userid(request_with(request, header, "idp")) == "alice"  # remembered, if kept

    calls = 200000  # the most the loop makes; it stops early once the watcher has run inside a request
    before = itertools.repeat("idp", calls)  # taken by the provider id's look-up
    after = itertools.repeat({}, calls)  # taken by the log context's
    request.GET = types.SimpleNamespace(get=functools.partial(next, before))
    # Every other host call, written in C too.
    monkeypatch.setattr(corvane.logging_conf, "current_thread_log_context", functools.partial(next, after))
    monkeypatch.setattr(corvane.utils, "requested_data_format", {request: ["json"]}.get)
    monkeypatch.setattr(corvane.utils, "load_sso_user_to_session", {}.get)
    monkeypatch.setattr(logging.getLogger(LOGGER), "isEnabledFor", {}.get, raising=False)
    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)

    inside = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            if operator.length_hint(before) < operator.length_hint(after):
                inside.append(True)
                collections.deque(before, maxlen=0)  # the next request names no provider: the loop ends
                return

    watcher = threading.Thread(target=watch)
    gc.disable()  # a collection could run a finalizer's Python code in the loop
    try:
        watcher.start()
        # A loop written in C: stops at the first request that authenticates no one.
        if released:
            collections.deque(iter(functools.partial(policy._userid_of, request), None), maxlen=0)
        else:
            collections.deque(map(policy._userid_of, itertools.repeat(request, 2000)), maxlen=0)
    finally:
        done.set()
        watcher.join()
        sys.setswitchinterval(previous_interval)
        gc.enable()
    assert bool(inside) == released, case
    reached_the_log_context = calls - operator.length_hint(after)
    assert reached_the_log_context == 2000 or (released and reached_the_log_context >= 1)


def request_with(request, header, idp_id):
    request.headers = {"Authorization": header}
    request.GET = {"idp_id": idp_id}
    request.session = {}
    request.path_info = "/x.json"
    return request
