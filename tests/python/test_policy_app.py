"""The policy in the demo Pyramid application, through WebTest."""
import base64
import threading

import pytest
from pyramid import testing
from pyramid.authorization import Authenticated, Everyone

from conftest import provider

SKIPPED = "Skipped JWT authentication. The idp_id was not found in query string or header."


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
    from corvane.auth.policies import BaseAuthenticationPolicy

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
    original = BaseAuthenticationPolicy.__init__

    def remember_objects(self, settings):
        original(self, settings)
        providers = self.auth_settings["authentication_policies"]["jwt"]["identity_providers"]
        before.update(settings=self.auth_settings, **{name: providers[name] for name in providers or {}})

    monkeypatch.setattr(BaseAuthenticationPolicy, "__init__", remember_objects)
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
    from corvane.auth.policies import BaseAuthenticationPolicy

    users = {"carol": Record(email="carol@example.org")}
    original = BaseAuthenticationPolicy.__init__

    def python_users(self, settings):
        original(self, settings)
        self.users = users

    monkeypatch.setattr(BaseAuthenticationPolicy, "__init__", python_users)
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
    from corvane.auth.policies import BaseAuthenticationPolicy

    long_email = "carol.with-a-much-longer-address@example.org"
    inner_token = site.token(email=long_email, sub="Carol-SSO-" + "c" * 40)
    inner_users = []

    def authenticate_inner():
        request = testing.DummyRequest(headers={"Authorization": inner_token}, params={"idp_id": "idp"})
        inner_users.append(policy.authenticated_userid(request))

    users = {"alice": _ReentrantRecord("alice@example.org", authenticate_inner), "carol": _ReentrantRecord(long_email)}
    original = BaseAuthenticationPolicy.__init__

    def python_users(self, settings):
        original(self, settings)
        self.users = users

    monkeypatch.setattr(BaseAuthenticationPolicy, "__init__", python_users)
    policy = JWTAuthenticationPolicy(site.settings())
    outer = testing.DummyRequest(headers={"Authorization": site.token()}, params={"idp_id": "idp"})
    assert policy.authenticated_userid(outer) == "alice"
    assert inner_users == ["carol"]
    assert corvane.logging_conf.current_thread_log_context()["sso_user_id"] == "alice-sso"
