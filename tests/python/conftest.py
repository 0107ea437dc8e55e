"""Fixtures of the Python tests: keys and tokens from the command line tool
(corvane-jwt keygen and mint), settings files, the demo application."""
import base64
import hashlib
import hmac
import json
import logging
import os
import subprocess
import sys

import pytest

BUILD = os.environ.get("CORVANE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("CORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(BUILD, "python"), os.path.join(SOURCE, "demo")]

TOOL = os.path.join(BUILD, "corvane-jwt")
LOGGER = "corvane.auth.jwt"

USERS = {
    "alice": {"email": "Alice@Example.org ", "name": "Alice"},
    "bob": {"email": "bob@example.org", "name": "Bob"},
    "twin-a": {"email": "twin@example.org"},
    "twin-b": {"email": "TWIN@example.org"},
}


def provider(jwks_uri, **extra):
    config = {"enabled": True, "idp_name": "Test", "claim_attribute": "email", "user_config_attribute": "email",
              "jwks_uri": jwks_uri, "authorization_endpoint": "https://idp/auth", "token_endpoint": "https://idp/token"}
    config.update(extra)
    return config


class Site:
    """Keys, tokens and settings files in one folder."""

    def __init__(self, folder):
        self.folder = str(folder)
        self.jwks = self.path("jwks.json")
        self.key = self.path("key.json")
        self.other_key = self.path("other-key.json")
        subprocess.run([TOOL, "keygen", "--alg", "ES256", "--kid", "k1", "--jwks", self.jwks, "--key", self.key],
                       check=True, capture_output=True)
        subprocess.run([TOOL, "keygen", "--alg", "ES256", "--kid", "k1", "--jwks", self.path("other-jwks.json"),
                        "--key", self.other_key], check=True, capture_output=True)
        self.write("users.json", USERS)
        self.auth = {"authentication_policies": {"jwt": {"enabled": True, "identity_providers": {
            "idp": provider(self.jwks), "off": {"enabled": False}}}}}
        self.write("auth.json", self.auth)
        self._tokens = {}

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, document):
        with open(self.path(name), "w", encoding="utf-8") as file:
            json.dump(document, file)
        return self.path(name)

    def token(self, email="alice@example.org", sub="Alice-SSO ", ttl=3600, key=None):
        """The Authorization header value of a token (minted once per kind)."""
        wanted = (email, sub, ttl, key)
        if wanted not in self._tokens:
            claims = {"email": email, "sub": sub}
            out = subprocess.run([TOOL, "mint", "--key", key or self.key, "--claims", json.dumps(claims),
                                  "--ttl", str(ttl)], check=True, capture_output=True, text=True)
            self._tokens[wanted] = out.stdout.strip()
        return self._tokens[wanted]

    def settings(self, **extra):
        settings = {"corvane.auth_settings": self.path("auth.json"), "corvane.users": self.path("users.json"),
                    "corvane.default_extension": "json", "corvane.session_secret": "test-secret-" + "x" * 20}
        settings.update(extra)
        return settings


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def hs256_bearer(secret, header, payload):
    """The Authorization value of a token signed with HMAC-SHA256 whose header and
    payload texts are taken as given (hostile ones included)."""
    signing_input = b64url(header.encode()) + "." + b64url(payload.encode())
    signature = hmac.new(secret, signing_input.encode(), hashlib.sha256).digest()
    return "Bearer " + base64.b64encode((signing_input + "." + b64url(signature)).encode()).decode()


@pytest.fixture(scope="session")
def site(tmp_path_factory):
    return Site(tmp_path_factory.mktemp("site"))


class Records(logging.Handler):
    """Every record of one logger, in order."""

    def __init__(self, name=LOGGER):
        super().__init__(logging.DEBUG)
        self.records = []
        self.logger = logging.getLogger(name)

    def emit(self, record):
        self.records.append(record)

    def pairs(self):
        return [(r.levelname, r.getMessage()) for r in self.records]

    def clear(self):
        self.records.clear()


@pytest.fixture
def records():
    handler = Records()
    previous = handler.logger.level
    handler.logger.setLevel(logging.DEBUG)
    handler.logger.addHandler(handler)
    yield handler
    handler.logger.removeHandler(handler)
    handler.logger.setLevel(previous)


@pytest.fixture
def app(site):
    import pyramid_app
    import webtest
    return webtest.TestApp(pyramid_app.main(**site.settings()))
