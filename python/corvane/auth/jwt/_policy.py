"""The policy class around the C++ core of the extension module.

It is made when the extension is imported, because it derives from the
host's ``corvane.auth.policies.BaseAuthenticationPolicy``: a host that ships
its own companion modules gets a policy built on its own base class.
"""
import re

from pyramid.interfaces import IAuthenticationPolicy
from zope.interface import implementer


def build(module):
    from corvane.auth.policies import BaseAuthenticationPolicy

    core = module._PolicyCore

    @implementer(IAuthenticationPolicy)
    class JWTAuthenticationPolicy(BaseAuthenticationPolicy):
        """An authentication policy that lets a user authenticate with a JWT
        and, when such a user requests an HTML resource, sets a session
        cookie."""

        token_regex = re.compile(r"^Bearer (?P<token>[a-zA-Z0-9+/]+={0,3})$")
        jwt_settings = None
        idps = None

        def __init__(self, ini_settings):
            super().__init__(ini_settings)
            # Builds the providers and sets jwt_settings, jwt_enabled, idps.
            self._core = core(self, ini_settings)

        def get_token_from_header(self, auth_header):
            return self._core.get_token_from_header(auth_header)

        def authenticated_userid(self, request):
            return self._core.authenticated_userid(request)

        def unauthenticated_userid(self, request):
            return self._core.unauthenticated_userid(request)

        def effective_principals(self, request):
            return self._core.effective_principals(request)

        def remember(self, request, principal, **kw):
            return self._core.remember(request, principal)

        def forget(self, request):
            return self._core.forget(request)

    JWTAuthenticationPolicy.__module__ = module.__name__
    JWTAuthenticationPolicy.__qualname__ = "JWTAuthenticationPolicy"
    module.JWTAuthenticationPolicy = JWTAuthenticationPolicy
