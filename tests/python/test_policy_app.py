"""The policy in the demo Pyramid application, through WebTest."""
import base64
import io
import json
import logging
import os
import threading

import pytest
from pyramid import testing
from pyramid.authorization import Authenticated, Everyone

from conftest import LOGGER, b64url, hs256_bearer, provider
from corvane.auth.jwt.jwt import JWTAuthenticationPolicy

SKIPPED = "Skipped JWT authentication. The idp_id was not found in query string or header."


def after_base_init(monkeypatch, after):
    """Makes the host's base policy run `after(policy, settings)` once it has
    read its settings: a host whose base policy holds other values."""
    from corvane.auth.policies import BaseAuthenticationPolicy

    original = BaseAuthenticationPolicy.__init__

    def init(self, settings):
        original(self, settings)
        after(self, settings)

    monkeypatch.setattr(BaseAuthenticationPolicy, "__init__", init)


def test_success_and_every_refusal(app, site, records):
    valid = site.token()
    bad_padding = valid.rstrip("=") if valid.endswith("=") else valid[:-1]
    # (case, path, headers, user or None, expected records: level and text, or a text prefix ending in "...")
    cases = [
        ("success", "/whoami.json?idp_id=idp", {"Authorization": valid}, "alice", [
            ("DEBUG", 'JWT authentication - Identity Provider: "idp"'),
            ("DEBUG", "JWT authentication payload: {..."),
            ("DEBUG", "JWT authentication - user: alice"),
            ("DEBUG", 'Authenticated using JWT for Identity Provider "idp".')]),
        ("provider by header", "/whoami.json", {"Authorization": valid, "X-Identity-Provider-Id": "idp"}, "alice",
         [("DEBUG", "JWT authentication - Identity Provider: ..."), ("DEBUG", "..."), ("DEBUG", "..."),
          ("DEBUG", "...")]),
        ("no header", "/whoami.json?idp_id=idp", {}, None, []),
        ("bad padding", "/whoami.json?idp_id=idp", {"Authorization": bad_padding}, None,
         [("DEBUG", "...")]),
        ("not bearer", "/whoami.json?idp_id=idp", {"Authorization": "Basic " + valid[7:]}, None, []),
        ("no provider id", "/whoami.json", {"Authorization": valid}, None, [("DEBUG", SKIPPED)]),
        ("unknown provider", "/whoami.json?idp_id=IDP", {"Authorization": valid}, None, [
            ("DEBUG", 'JWT authentication - Identity Provider: "IDP"'),
            ("WARNING", 'Unknown Identity Provider "IDP".')]),
        ("disabled provider", "/whoami.json?idp_id=off", {"Authorization": valid}, None,
         [("DEBUG", "..."), ("WARNING", 'Unknown Identity Provider "off".')]),
        ("bad signature", "/whoami.json?idp_id=idp", {"Authorization": site.token(key=site.other_key)}, None,
         [("DEBUG", "..."), ("WARNING", "JWT authentication failed. ...")]),
        ("expired", "/whoami.json?idp_id=idp", {"Authorization": site.token(ttl=-3600)}, None,
         [("DEBUG", "..."), ("WARNING", "JWT authentication failed. ...")]),
        ("no user", "/whoami.json?idp_id=idp", {"Authorization": site.token(email="nobody@example.org")}, None, [
            ("DEBUG", "..."), ("DEBUG", "JWT authentication payload: ..."),
            ("WARNING", "JWT authentication failed. User not found for the token.")]),
        ("two users", "/whoami.json?idp_id=idp", {"Authorization": site.token(email="Twin@Example.org")}, None, [
            ("DEBUG", "..."), ("DEBUG", "..."),
            ("WARNING", "JWT authentication failed. More than one user found for the token.")]),
    ]
    for case, path, headers, user, expected in cases:
        records.clear()
        response = app.get(path, headers=headers, expect_errors=True)
        assert response.status_int == (200 if user else 401), case
        assert "Set-Cookie" not in response.headers, case  # a JSON request starts no session
        if user:
            assert response.json["user_id"] == user, case
            assert response.json["sso_user_id"] == "alice-sso", case
        else:
            assert response.headers["WWW-Authenticate"] == "Bearer", case
        got = records.pairs()
        assert [level for level, _ in got] == [level for level, _ in expected], (case, got)
        for (_, text), (_, wanted) in zip(got, expected):
            if wanted.endswith("..."):
                assert text.startswith(wanted[:-3]), (case, text)
            else:
                assert text == wanted, (case, text)


def test_level_changed_at_run_time_holds_and_builds_nothing(app, site, records):
    records.logger.setLevel("WARNING")
    app.get("/whoami.json?idp_id=idp", headers={"Authorization": site.token()})
    assert records.pairs() == []
    records.logger.setLevel("DEBUG")
    app.get("/whoami.json?idp_id=idp", headers={"Authorization": site.token()})
    assert len(records.pairs()) == 4


def test_records_stay_one_line_through_a_line_based_handler(site):
    """Request and token values that would forge a log line or drive a terminal
    reach Python's logging escaped, whatever handler writes them."""
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy

    secret = b"python log-injection secret of 32+ bytes"
    jwks = site.write("oct-jwks.json", {"keys": [{"kty": "oct", "kid": "k1", "k": b64url(secret)}]})
    site.write("auth-oct.json", {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
        "idp": provider(jwks)}}}})
    policy = JWTAuthenticationPolicy(site.settings(**{"corvane.auth_settings": site.path("auth-oct.json")}))
    alice = json.dumps({"sub": "a", "email": "alice@example.org"})
    forged = "x\n2099-01-01T00:00:00.000 corvane.host error FORGED"
    token = lambda header: hs256_bearer(secret, json.dumps(header), alice)
    good = token({"alg": "HS256", "kid": "k1"})
    # (case, query parameters, headers)
    cases = [
        ("provider id in the query", {"idp_id": forged}, {"Authorization": good}),
        ("provider id in the header", {}, {"Authorization": good, "X-Identity-Provider-Id": "\x1b[2J\x1b]0;owned\x07"}),
        ("kid", {"idp_id": "idp"}, {"Authorization": token({"alg": "HS256", "kid": "k9" + forged})}),
        ("kid with terminal controls", {"idp_id": "idp"}, {"Authorization": token({"alg": "HS256", "kid": "\x1b[2J"})}),
        ("alg", {"idp_id": "idp"}, {"Authorization": token({"alg": "HS256\r\nforged", "kid": "k1"})}),
        ("crit", {"idp_id": "idp"},
         {"Authorization": token({"alg": "HS256", "kid": "k1", "crit": ["x\n\u0085\u2028forged"]})}),
    ]
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s %(message)s"))
    logger = logging.getLogger(LOGGER)
    previous = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    try:
        for case, params, headers in cases:
            stream.seek(0)
            stream.truncate()
            request = testing.DummyRequest(headers=headers, params=params)
            assert policy.authenticated_userid(request) is None, case
            lines = stream.getvalue().splitlines()  # splits at \x85 and \u2028 too
            assert lines, case
            assert all(line.split(" ", 3)[2] == LOGGER for line in lines), (case, lines)
            assert not any(ch < " " or "\x7f" <= ch <= "\x9f" or ch in "\u2028\u2029"
                           for line in lines for ch in line), (case, lines)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous)


def test_log_context_is_per_thread(site):
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy
    from corvane.logging_conf import current_thread_log_context

    policy = JWTAuthenticationPolicy(site.settings())
    barrier = threading.Barrier(2)
    seen = {}

    def authenticate(email, sub):
        request = testing.DummyRequest(headers={"Authorization": site.token(email=email, sub=sub)},
                                       params={"idp_id": "idp"})
        barrier.wait()
        user = policy.authenticated_userid(request)
        barrier.wait()  # both have authenticated before either reads its context
        seen[user] = current_thread_log_context().get("sso_user_id")

    threads = [threading.Thread(target=authenticate, args=a) for a in
               [("alice@example.org", "A-sso"), ("bob@example.org", "B-sso")]]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == {"alice": "a-sso", "bob": "b-sso"}


def test_principals_and_acl_with_an_authentication_policy(site):
    import pyramid_app
    import webtest

    app = webtest.TestApp(pyramid_app.main(**site.settings(**{"corvane.security": "legacy"})))
    valid = {"Authorization": site.token()}
    assert app.get("/resources/report.json?idp_id=idp", headers=valid).json["resource"] == "report"
    app.get("/resources/report.json?idp_id=idp", status=401)

    policy = app.app.policy
    request = testing.DummyRequest(headers=valid, params={"idp_id": "idp"})
    assert policy.effective_principals(request) == [Everyone, Authenticated, "alice", "group:corvane_users"]
    assert policy.effective_principals(testing.DummyRequest()) == []
    assert (policy.unauthenticated_userid(request), policy.remember(request, "x", a=1), policy.forget(request)) == \
        (None, [], [])


def test_security_policy_reads_one_authentication_result(site):
    from corvane.auth.jwt.security import JWTSecurityPolicy

    policy = JWTAuthenticationPolicy(site.settings())
    request = lambda **headers: testing.DummyRequest(headers=headers, params={"idp_id": "idp"})
    found = policy.authenticate(request(Authorization=site.token()))
    principals = [Everyone, Authenticated, "alice", "group:corvane_users"]
    assert (found.user_id, found.principals, found.sso_user_id, found.idp_id, found.outcome) == \
        ("alice", principals, "alice-sso", "idp", "authenticated")
    refused = policy.authenticate(request(Authorization=site.token(key=site.other_key)))
    assert (refused.user_id, refused.principals, refused.outcome) == (None, [], "token_refused")

    security = JWTSecurityPolicy(policy)
    assert security.reloader is None  # no corvane.reload_interval, no thread
    assert security.identity(request(Authorization=site.token())) == {
        "userid": "alice", "principals": principals, "sso_user_id": "alice-sso", "authenticated_by": "jwt"}
    assert security.identity(request()) is None
    assert policy.principals_for("bob") == [Everyone, Authenticated, "bob", "group:corvane_users"]


def test_security_policy_reloads_every_interval_and_keeps_the_last_good(site, records):
    """corvane.reload_interval: the provider rotates its key set file, then the
    file is broken for a while, then good again."""
    import subprocess
    import time

    from conftest import TOOL
    from corvane.auth.jwt.security import JWTSecurityPolicy

    for value in ["-1", "soon", "1.5", 1.5, True, 7 * 24 * 3600 + 1]:
        with pytest.raises(ValueError, match="corvane.reload_interval must be a whole number of seconds"):
            JWTSecurityPolicy(JWTAuthenticationPolicy(site.settings(**{"corvane.reload_interval": value})))
    assert JWTSecurityPolicy(JWTAuthenticationPolicy(site.settings(**{"corvane.reload_interval": "0"}))).reloader is None

    next_key, next_jwks = site.path("reload-k2.json"), site.path("reload-k2-jwks.json")
    subprocess.run([TOOL, "keygen", "--alg", "ES256", "--kid", "k2", "--jwks", next_jwks, "--key", next_key],
                   check=True, capture_output=True)
    keys = {}
    for name, path in [("k1", site.jwks), ("k2", next_jwks)]:
        with open(path, encoding="utf-8") as file:
            keys[name] = json.load(file)["keys"][0]
    key_set = site.path("reload-jwks.json")

    def publish(document):
        site.write("reload-jwks.json.new", document)
        os.replace(key_set + ".new", key_set)  # whole, as a provider serves it

    publish({"keys": [keys["k1"]]})
    site.write("auth-reload.json", {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
        "idp": provider(key_set)}}}})
    settings = site.settings(**{"corvane.auth_settings": site.path("auth-reload.json"), "corvane.reload_interval": "1"})
    security = JWTSecurityPolicy(JWTAuthenticationPolicy(settings))
    old_token, new_token = site.token(), site.token(key=next_key)

    def user(token):
        identity = security.identity(testing.DummyRequest(headers={"Authorization": token}, params={"idp_id": "idp"}))
        return identity and identity["userid"]

    def eventually(ready):  # a guard far beyond the interval
        guard = time.monotonic() + 60
        while not ready():
            assert time.monotonic() < guard
            time.sleep(0.02)

    try:
        assert (user(old_token), user(new_token)) == ("alice", None)
        failures, requests, done = [], [0], threading.Event()

        def load():
            while not done.is_set():
                if user(old_token) != "alice":
                    failures.append(1)
                requests[0] += 1

        loading = threading.Thread(target=load)
        loading.start()
        try:
            # The old key stays in the set for the overlap.
            publish({"keys": [keys["k1"], keys["k2"]]})
            eventually(lambda: user(new_token) == "alice")
            assert security.reloader.failed == 0
            # A key set that cannot be loaded: the running policy stays.
            publish({"keys": "not a key set"})
            eventually(lambda: security.reloader.failed > 0)
            kept, failed = security.jwt_policy, security.reloader.failed  # every later rebuild reads the broken file
            eventually(lambda: security.reloader.failed > failed)
            assert security.jwt_policy is kept
            assert user(new_token) == "alice"
            eventually(lambda: requests[0] >= 50)
        finally:
            done.set()
            loading.join()
        assert failures == []
        warning = ('Identity provider "idp" fails in the rebuilt JWT policy, the running policy keeps serving it: '
                   f"The resource {key_set} does not contain a valid JWK Set.")
        assert ("WARNING", warning) in records.pairs()

        # Good again, the old key retired: the next interval applies it.
        succeeded = security.reloader.succeeded
        publish({"keys": [keys["k2"]]})
        eventually(lambda: user(old_token) is None)
        assert user(new_token) == "alice" and security.reloader.succeeded > succeeded
    finally:
        security.reloader.stop()
    assert not security.reloader._thread.is_alive()


def test_html_login_then_the_cookie_alone(app, site, records):
    first = app.get("/whoami.html", headers={"Authorization": site.token(), "X-Identity-Provider-Id": "idp"})
    assert "Signed in as alice" in first.text and "session=" in first.headers["Set-Cookie"]
    records.clear()
    later = app.get("/resources/report.json")  # the cookie jar of the app carries the session
    assert later.json == {"user_id": "alice", "authenticated_by": "session", "resource": "report"}
    assert records.pairs() == []  # no token was looked at
    app.reset()
    app.get("/resources/report.json", status=401)


def test_settings_written_back_in_place(site, monkeypatch):
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy

    site.write("discovery.json", {"jwks_uri": site.jwks, "authorization_endpoint": "https://idp/a",
                                  "token_endpoint": "https://idp/t"})
    site.write("partial.json", {"jwks_uri": site.jwks, "authorization_endpoint": "https://idp/a"})
    auth = {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
        "merged": {"enabled": 1, "idp_name": "M", "claim_attribute": "email", "user_config_attribute": "email",
                   "well_known_configuration": site.path("discovery.json"), "flag": True, "none": None, "n": 2.5},
        "partial": {"enabled": True, "idp_name": "P", "well_known_configuration": site.path("partial.json")},
        "fine": provider(site.jwks)}}}}
    site.write("auth-write-back.json", auth)
    before = {}

    def remember_objects(self, settings):
        providers = self.auth_settings["authentication_policies"]["jwt"]["identity_providers"]
        before.update(settings=self.auth_settings, **{name: providers[name] for name in providers or {}})

    after_base_init(monkeypatch, remember_objects)
    policy = JWTAuthenticationPolicy(site.settings(**{"corvane.auth_settings": site.path("auth-write-back.json")}))
    providers = policy.auth_settings["authentication_policies"]["jwt"]["identity_providers"]
    assert policy.auth_settings is before["settings"]
    assert all(providers[name] is before[name] for name in ("merged", "partial", "fine"))
    assert policy.jwt_settings is policy.auth_settings["authentication_policies"]["jwt"]
    assert list(policy.idps) == ["merged", "fine"]
    assert policy.idps["merged"].idp_config is providers["merged"]
    merged = providers["merged"]
    assert merged["token_endpoint"] == "https://idp/t" and merged["jwks_uri"] == site.jwks
    assert merged["enabled"] == 1 and type(merged["enabled"]) is int
    assert merged["flag"] is True and merged["none"] is None and merged["n"] == 2.5
    # The failed merge wrote the keys before the missing one, then was disabled.
    assert providers["partial"] == {"enabled": False, "idp_name": "P",
                                    "well_known_configuration": site.path("partial.json"),
                                    "jwks_uri": site.jwks, "authorization_endpoint": "https://idp/a"}

    site.write("auth-null.json", {"authentication_policies": {"jwt": {"enabled": "yes", "identity_providers": None}}})
    empty = JWTAuthenticationPolicy(site.settings(**{"corvane.auth_settings": site.path("auth-null.json")}))
    assert empty.jwt_settings["identity_providers"] == {} and empty.idps == {} and empty.jwt_enabled == "yes"


class Record:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def test_host_users_mapping_is_walked_live(site, monkeypatch):
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy

    users = {"carol": Record(email="carol@example.org")}
    after_base_init(monkeypatch, lambda policy, settings: setattr(policy, "users", users))
    policy = JWTAuthenticationPolicy(site.settings())
    request = lambda email: testing.DummyRequest(headers={"Authorization": site.token(email=email)},
                                                 params={"idp_id": "idp"})
    assert policy.authenticated_userid(request("carol@example.org")) == "carol"
    users["dave"] = Record(email=" DAVE@example.org")  # seen by the next request
    assert policy.authenticated_userid(request("dave@example.org")) == "dave"
    users["erin"] = Record(name="no email")
    with pytest.raises(AttributeError, match="email"):
        policy.authenticated_userid(request("dave@example.org"))
    users["erin"] = Record(email=5)
    with pytest.raises(AttributeError, match="strip"):
        policy.authenticated_userid(request("dave@example.org"))


def test_provider_records_from_python(site):
    from corvane.auth.jwt.jwt import IDPConfig, JWException, JWTAuthenticationPolicy

    assert IDPConfig.required_well_known_configuration_keys == ["jwks_uri", "authorization_endpoint",
                                                                "token_endpoint"]
    assert all(getattr(IDPConfig, name) is None for name in (
        "claim_attribute", "user_config_attribute", "offline_jwks_uri", "offline_raw_jwks", "offline_jwks",
        "offline_verification"))
    with open(site.jwks, encoding="utf-8") as file:
        raw_jwks = json.load(file)

    users = {"carol": Record(email="Carol@Example.org")}
    site.write("discovery-partial.json", {"jwks_uri": site.jwks, "authorization_endpoint": "https://idp/a",
                                          "token_endpoint": "https://idp/t"})
    config = {"enabled": True, "idp_name": "P", "claim_attribute": "email", "user_config_attribute": "email",
              "well_known_configuration": site.path("discovery-partial.json"), "other": [1]}
    record = IDPConfig(users, config, {})
    assert record.users is users and record.idp_config is config
    assert (record.claim_attribute, record.well_known_configuration_url, record.jwt_settings_http_timeout) == \
        ("email", site.path("discovery-partial.json"), 1)
    assert record.offline_verification is None and record.offline_jwks is None
    with pytest.raises(NotImplementedError):
        record.secure_load_claims("a.b.c")

    record.post_init()
    assert record.idp_config is config and config["token_endpoint"] == "https://idp/t"  # merged in place
    assert (record.offline_jwks_uri, record.offline_verification, record.offline_raw_jwks) == (site.jwks, True, raw_jwks)
    assert [(key.key_type, key.key_id) for key in record.offline_jwks] == [("EC", "k1")]
    assert record.err_msg_invalid == f"The resource {site.jwks} does not contain a valid JWK Set."
    assert record.get_idp_config(config) is config

    token = base64.b64decode(site.token(email="carol@example.org", sub=" Carol-SSO")[7:]).decode()
    claims = record.secure_load_claims(token)
    assert claims["email"] == "carol@example.org"
    assert (record.get_user_id_for_claims(claims), record.get_sso_user_id(claims)) == ("carol", "carol-sso")
    with pytest.raises(JWException):
        record.secure_load_claims(base64.b64decode(site.token(key=site.other_key)[7:]).decode())
    with pytest.raises(ValueError, match="User not found for the token."):
        record.get_user_id_for_claims({"email": "nobody@example.org"})

    assert len(IDPConfig.make_jwks(raw_jwks)) == 1 and len(IDPConfig.make_jwks({"keys": []})) == 0
    with pytest.raises(KeyError):
        IDPConfig.make_jwks({})

    missing = IDPConfig(users, provider(site.path("no-such-jwks.json")), {})
    with pytest.raises(ValueError, match="Data could not be retrieved from the resource"):
        missing.post_init()
    assert missing.err_msg_missing.startswith("Data could not be retrieved") and missing.offline_jwks is None

    # The policy's table holds such records, ready and read-only.
    policy = JWTAuthenticationPolicy(site.settings())
    ready = policy.idps["idp"]
    assert isinstance(ready, IDPConfig) and ready.offline_raw_jwks == raw_jwks and ready.offline_verification is True
    assert ready.idp_config is policy.jwt_settings["identity_providers"]["idp"] and ready.users is policy.users
    with pytest.raises(RuntimeError):
        ready.post_init()


def test_asint_receives_the_setting_as_the_host_holds_it(site, monkeypatch):
    import corvane.utils
    from corvane.auth.jwt.jwt import IDPConfig, JWTAuthenticationPolicy

    seen = []
    monkeypatch.setattr(corvane.utils, "asint", lambda value, default, key: seen.append((value, default, key)) or 3)
    for value in [None, 2.0, "5", 7]:
        seen.clear()
        policy = JWTAuthenticationPolicy(site.settings(**{"jwt_cvn.http_timeout": value}))
        timeouts = [entry for entry in seen if entry[2] == "jwt_cvn.http_timeout"]  # the cache's settings too
        assert timeouts == [(value, 1, "jwt_cvn.http_timeout")] and type(timeouts[0][0]) is type(value), value
        assert policy.idps["idp"].jwt_settings_http_timeout == 3
        seen.clear()
        IDPConfig({}, provider(site.jwks), {"jwt_cvn.http_timeout": value})
        assert seen == [(value, 1, "jwt_cvn.http_timeout")] and type(seen[0][0]) is type(value), value
    seen.clear()
    IDPConfig({}, provider(site.jwks), {})
    assert seen == [(1, 1, "jwt_cvn.http_timeout")]


@pytest.mark.parametrize("path, formats", [
    ("/whoami.json", ["json"]), ("/x.tar.gz", ["gz"]), ("/x.", [""]), ("/a.b/c", ["dflt"]), ("/c", ["dflt"]),
    ("", ["dflt"]), ("name.html", ["html"]),
])
def test_requested_data_format_reads_the_last_segment(path, formats):
    from corvane.utils import requested_data_format

    assert requested_data_format(testing.DummyRequest(path=path), "dflt") == formats


def test_default_extension_is_read_per_request(site):
    policy = JWTAuthenticationPolicy(site.settings())

    def logs_in_for_html():
        request = testing.DummyRequest(path="/whoami", headers={"Authorization": site.token()}, params={"idp_id": "idp"})
        assert policy.authenticated_userid(request) == "alice"
        return hasattr(request, "cvn_cookie_updated")

    for extension, html in [("json", False), ("html", True), ("json", False)]:
        policy.cvn_settings["default_extension"] = extension
        assert logs_in_for_html() is html, extension


def test_construction_lets_other_threads_run_while_it_fetches(site):
    """A provider served by this very process: its answers need the GIL."""
    import http.server

    with open(site.jwks, "rb") as file:
        jwks = file.read()

    class Provider(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            base = f"http://127.0.0.1:{self.server.server_port}"
            body = jwks if self.path == "/jwks.json" else json.dumps({
                "jwks_uri": base + "/jwks.json", "authorization_endpoint": base + "/auth",
                "token_endpoint": base + "/token"}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Provider)
    serving = threading.Thread(target=server.serve_forever)
    serving.start()
    try:
        discovery = f"http://127.0.0.1:{server.server_port}/.well-known/openid-configuration"
        site.write("auth-served.json", {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
            "served": {"enabled": True, "idp_name": "S", "claim_attribute": "email", "user_config_attribute": "email",
                       "well_known_configuration": discovery}}}}})
        policy = JWTAuthenticationPolicy(site.settings(**{"corvane.auth_settings": site.path("auth-served.json"),
                                                          "jwt_cvn.http_timeout": "10"}))
        assert list(policy.idps) == ["served"]
        request = testing.DummyRequest(headers={"Authorization": site.token()}, params={"idp_id": "served"})
        assert policy.authenticated_userid(request) == "alice"
    finally:
        server.shutdown()
        server.server_close()
        serving.join()


def test_values_that_json_cannot_hold_raise(site, monkeypatch):
    from corvane.auth.jwt.jwt import IDPConfig, JWTAuthenticationPolicy

    cyclic = {"enabled": True}
    cyclic["self"] = cyclic
    listed = []
    listed.append({"again": listed})
    deep = []
    inner = deep
    for _ in range(200_000):
        inner.append([])
        inner = inner[0]
    record = IDPConfig({}, provider(site.jwks), {})
    record.post_init()
    # (case, call, error kind, message)
    cases = [
        ("cyclic settings", lambda: IDPConfig({}, cyclic, {}), ValueError, "Circular reference detected"),
        ("cyclic list", lambda: IDPConfig({}, {"x": listed}, {}), ValueError, "Circular reference detected"),
        ("deep settings", lambda: IDPConfig({}, {"x": deep}, {}), RecursionError, ""),
        ("cyclic claims", lambda: record.get_user_id_for_claims(cyclic), ValueError, "Circular reference detected"),
        ("deep claims", lambda: record.get_sso_user_id({"sub": deep}), RecursionError, ""),
        ("deep key set", lambda: IDPConfig.make_jwks({"keys": deep}), RecursionError, ""),
    ]
    for case, call, kind, message in cases:
        with pytest.raises(kind, match=message):
            call()

    after_base_init(monkeypatch, lambda policy, settings: policy.auth_settings.update(loop=policy.auth_settings))
    with pytest.raises(ValueError, match="Circular reference detected"):
        JWTAuthenticationPolicy(site.settings())
    monkeypatch.undo()
    shared = {"a": 1}
    assert IDPConfig({}, {"x": shared, "y": [shared, shared]}, {}).idp_config["y"][0] is shared  # seen twice, no cycle

    policy = JWTAuthenticationPolicy(site.settings())
    assert policy.get_token_from_header("Bearer QUJD") == "ABC"
    for value in [b"Bearer QUJD", bytearray(b"Bearer QUJD"), None, 5]:
        with pytest.raises(TypeError):
            policy.get_token_from_header(value)
    # The request path's own errors, through the same translation.
    for headers, params in [({"Authorization": site.token().encode()}, {"idp_id": "idp"}),
                            ({"Authorization": site.token()}, {"idp_id": b"idp"})]:
        with pytest.raises(TypeError, match="must be text, not bytes"):
            policy.authenticated_userid(testing.DummyRequest(headers=headers, params=params))
    with pytest.raises(TypeError, match="takes the request alone"):
        policy._userid_of()


def test_interpreter_exit_with_daemon_threads_inside_the_policy(site):
    """Daemon threads inside the policy, some of them writing records, while
    the interpreter exits (its last output is written after it began)."""
    import subprocess
    import sys

    from conftest import BUILD

    script = f"""
import logging, sys, threading
sys.path.insert(0, {os.path.join(BUILD, "python")!r})
from pyramid import testing
from corvane.auth.jwt.jwt import JWTAuthenticationPolicy
logging.getLogger("corvane.auth.jwt").addHandler(logging.StreamHandler(sys.stdout))
policy = JWTAuthenticationPolicy({site.settings()!r})
started = threading.Barrier(5)
def work(token):
    request = testing.DummyRequest(headers={{"Authorization": token}}, params={{"idp_id": "idp"}})
    started.wait()
    while True:
        policy.authenticated_userid(request)
for token in [{site.token()!r}, {site.token(key=site.other_key)!r}] * 2:
    threading.Thread(target=work, args=(token,), daemon=True).start()
from corvane.auth.jwt.security import JWTSecurityPolicy
reloading = JWTSecurityPolicy(JWTAuthenticationPolicy({site.settings(**{"corvane.reload_interval": "1"})!r}))
started.wait()
print("x" * 100_000)
"""
    for _ in range(5):
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert (run.returncode, run.stderr) == (0, "")


def test_package_has_no_import_cycle_and_no_build_step():
    import subprocess
    import sys

    from conftest import BUILD
    from corvane.auth.jwt import _jwt, jwt

    assert jwt.__file__.endswith("jwt.py") and jwt.JWTAuthenticationPolicy.__module__ == "corvane.auth.jwt.jwt"
    assert not hasattr(_jwt, "JWTAuthenticationPolicy")
    for first in ["corvane.auth.policies", "corvane.auth.jwt.jwt", "corvane.auth.jwt.security"]:
        run = subprocess.run([sys.executable, "-c", f"import {first}; import corvane.auth.jwt.jwt as m; "
                              "print(m.JWTAuthenticationPolicy.__mro__[1].__module__)"],
                             env=dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python")),
                             capture_output=True, text=True)
        assert (run.returncode, run.stdout.strip()) == (0, "corvane.auth.policies"), (first, run.stderr)


def test_errors_reach_the_caller_as_built_in_kinds(site, monkeypatch, records):
    import corvane.utils
    from corvane.auth.jwt import jwt

    settings = site.settings()
    request = lambda: testing.DummyRequest(headers={"Authorization": site.token()}, params={"idp_id": "idp"})

    with pytest.raises(FileNotFoundError):
        jwt.JWTAuthenticationPolicy(site.settings(**{"corvane.users": site.path("missing.json")}))
    site.write("auth-no-enabled.json", {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
        "x": {"idp_name": "X"}}}}})
    with pytest.raises(KeyError) as missing:
        jwt.JWTAuthenticationPolicy(site.settings(**{"corvane.auth_settings": site.path("auth-no-enabled.json")}))
    assert missing.value.args == ("enabled",)

    policy = jwt.JWTAuthenticationPolicy(settings)
    del policy.cvn_settings["default_extension"]
    with pytest.raises(KeyError) as no_extension:
        policy.authenticated_userid(request())
    assert no_extension.value.args == ("default_extension",)

    with pytest.raises(jwt.JWException):
        policy.idps["idp"].secure_load_claims(base64.b64decode(site.token(key=site.other_key)[7:]).decode())
    assert issubclass(jwt.JWTExpired, jwt.JWException)

    # A host callback's exception comes back out as the same object.
    failure = RuntimeError("host failed")

    def failing(request, sso_user_id):
        raise failure

    monkeypatch.setattr(corvane.utils, "load_sso_user_to_session", failing)
    policy = jwt.JWTAuthenticationPolicy(settings)
    with pytest.raises(RuntimeError) as raised:
        policy.authenticated_userid(request())
    assert raised.value is failure

    # A host error while a provider is built skips that provider, as the system's own errors do.
    monkeypatch.setattr(corvane.utils, "asint", lambda value, default, key: int("x"))
    records.clear()
    skipped = jwt.JWTAuthenticationPolicy(settings)
    assert skipped.idps == {} and skipped.jwt_settings["identity_providers"]["idp"]["enabled"] is False
    assert records.pairs()[-1] == ("WARNING", 'Identity provider "idp" was skipped due to invalid configuration in '
                                   "JWT authentication policy. invalid literal for int() with base 10: 'x'")

    # A host error of the failure kinds ends in no user, as the system's own do.
    monkeypatch.setattr(corvane.utils, "load_sso_user_to_session", lambda request, sso: None)
    monkeypatch.setattr("corvane.logging_conf.current_thread_log_context",
                        lambda: (_ for _ in ()).throw(ValueError("no context")))
    assert policy.authenticated_userid(request()) is None


# Re-entrant authentication: host code the policy calls (here the users
# mapping) authenticates another request on the same thread.
class _ReentrantRecord:
    """A user record whose first attribute read authenticates another request."""

    def __init__(self, email, on_read=None):
        self._email = email
        self._on_read = on_read

    @property
    def email(self):
        on_read, self._on_read = self._on_read, None
        if on_read:
            on_read()
        return self._email


def test_reentrant_authentication_from_the_users_keeps_the_outer_user(site, monkeypatch):
    import corvane.logging_conf
    from corvane.auth.jwt.jwt import JWTAuthenticationPolicy

    long_email = "carol.with-a-much-longer-address@example.org"
    inner_token = site.token(email=long_email, sub="Carol-SSO-" + "c" * 40)
    inner_users = []

    def authenticate_inner():
        request = testing.DummyRequest(headers={"Authorization": inner_token}, params={"idp_id": "idp"})
        inner_users.append(policy.authenticated_userid(request))

    users = {"alice": _ReentrantRecord("alice@example.org", authenticate_inner), "carol": _ReentrantRecord(long_email)}
    after_base_init(monkeypatch, lambda policy, settings: setattr(policy, "users", users))
    policy = JWTAuthenticationPolicy(site.settings())
    outer = testing.DummyRequest(headers={"Authorization": site.token()}, params={"idp_id": "idp"})
    assert policy.authenticated_userid(outer) == "alice"
    assert inner_users == ["carol"]
    assert corvane.logging_conf.current_thread_log_context()["sso_user_id"] == "alice-sso"
