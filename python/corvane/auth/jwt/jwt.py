"""JWT authentication for Pyramid applications: ``JWTAuthenticationPolicy``
and the identity provider record ``IDPConfig``.

The work is done by the compiled core ``corvane.auth.jwt._jwt``; this module
gives it the classes a host sees. The policy derives from the host's own
``corvane.auth.policies.BaseAuthenticationPolicy``.
"""
import re

from pyramid.interfaces import IAuthenticationPolicy
from zope.interface import implementer

from corvane.auth.jwt import _jwt
from corvane.auth.jwt._jwt import (  # noqa: F401  (the error kinds a host catches)
    InvalidJWAAlgorithm, InvalidJWEData, InvalidJWKType, InvalidJWKUsage, InvalidJWKValue, InvalidJWSObject,
    InvalidJWSSignature, JWException, JWKeyNotFound, JWTExpired, JWTInvalidClaimFormat, JWTMissingKey,
    JWTNotYetValid, UsersMapping)
from corvane.auth.policies import BaseAuthenticationPolicy

__all__ = ["IDPConfig", "JWTAuthenticationPolicy", "JWException"]


class IDPConfig:
    """The record of one identity provider: its configuration settled from the
    local settings and its discovery document, its key set loaded once, and
    the verification of its tokens and the mapping of their claims to users.

    The fields are those the record has set so far; the compiled record
    behind them is the one the operations use."""

    required_well_known_configuration_keys = ["jwks_uri", "authorization_endpoint", "token_endpoint"]
    claim_attribute = None
    user_config_attribute = None
    offline_jwks_uri = None
    offline_raw_jwks = None
    offline_jwks = None
    offline_verification = None

    def __init__(self, users, idp_config, ini_settings):
        """`users` and `idp_config` are kept as they are (merged keys are
        written into `idp_config`); the HTTP time-out is the host's
        ``asint(ini_settings.get("jwt_cvn.http_timeout", 1), 1, "jwt_cvn.http_timeout")``."""
        self.users = users
        self.idp_config = idp_config
        self._core = _jwt._IDPCore(users, idp_config, ini_settings)
        self._take_fields()

    @classmethod
    def _of_policy(cls, core, users, idp_config):
        """A ready record of a policy, read-only."""
        record = cls.__new__(cls)
        record.users = users
        record.idp_config = idp_config
        record._core = core
        record._take_fields()
        return record

    def _take_fields(self):
        self.__dict__.update(self._core.fields())

    def post_init(self):
        """Settles the configuration (discovery document, merge, validation)
        and loads the key set; any error passes on."""
        try:
            self.idp_config = self._core.post_init()
        finally:
            self._take_fields()

    def get_idp_config(self, idp_config):
        """`idp_config` merged with the discovery document (when one is
        configured) and validated, in place."""
        try:
            return self._core.get_idp_config(idp_config)
        finally:
            self._take_fields()

    @staticmethod
    def make_jwks(raw_jwks):
        """The key set of a parsed JWKS document."""
        return _jwt._IDPCore.make_jwks(raw_jwks)

    def load_offline_jwks(self):
        """Loads the key set named by `offline_jwks_uri`."""
        try:
            self._core.load_offline_jwks()
        finally:
            self._take_fields()

    def secure_load_claims(self, token):
        """The claims of a compact JWT (text) verified against the key set."""
        return self._core.secure_load_claims(token)

    def get_user_id_for_claims(self, token):
        """The id of the one user whose attribute matches the configured claim."""
        return self._core.get_user_id_for_claims(token)

    def get_sso_user_id(self, token):
        """The single sign-on user id: "sub" in comparison form, or ""."""
        return self._core.get_sso_user_id(token)


@implementer(IAuthenticationPolicy)
class JWTAuthenticationPolicy(BaseAuthenticationPolicy):
    """An authentication policy that lets a user authenticate with a JWT
    and, when such a user requests an HTML resource, sets a session
    cookie."""

    token_regex = re.compile(r"^Bearer (?P<token>[a-zA-Z0-9+/]+={0,3})$")
    jwt_settings = None
    idps = None
    ini_settings = None

    def __init__(self, ini_settings):
        super().__init__(ini_settings)
        self.ini_settings = ini_settings  # a rebuild (corvane.reload_interval) reads them again
        # Builds the providers and sets jwt_settings and jwt_enabled.
        self._core = _jwt._PolicyCore(self, ini_settings)
        self._userid_of = self._core.userid_entry()  # the request path's one call into C++
        records = self._core.records()
        if records is not None:
            providers = self.jwt_settings["identity_providers"]
            self.idps = {idp_id: IDPConfig._of_policy(core, self.users, providers[idp_id])
                         for idp_id, core in records}

    def get_token_from_header(self, auth_header):
        return self._core.get_token_from_header(auth_header)

    def authenticated_userid(self, request):
        return self._userid_of(request)

    def authenticate(self, request):
        """authenticated_userid() with what it found: an ``Authentication``
        with ``user_id``, ``principals``, ``sso_user_id``, ``idp_id`` and
        ``outcome``; one verification, the same records and effects."""
        return self._core.authenticate(request)

    def principals_for(self, userid):
        """The principals of an authenticated user, as effective_principals() gives them."""
        return self._core.principals_for(userid)

    def unauthenticated_userid(self, request):
        return self._core.unauthenticated_userid(request)

    def effective_principals(self, request):
        return self._core.effective_principals(request)

    def remember(self, request, principal, **kw):
        return self._core.remember(request, principal)

    def forget(self, request):
        return self._core.forget(request)
