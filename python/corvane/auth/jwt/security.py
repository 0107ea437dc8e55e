"""Pyramid 2.0 security policy: the session login first, else the JWT policy.

An HTML request with a valid token is logged in to the session once (the JWT
policy calls ``pyramid.security.remember``, which lands in ``remember``
here); the browser's later requests carry only the session cookie. Use it
with a session factory, e.g. ``SignedCookieSessionFactory``.

With ``corvane.reload_interval`` in the JWT policy's ini settings, a daemon
thread rebuilds the JWT policy that often and swaps it in (see
``corvane.auth.jwt.reload``); each request uses the one it started with.
"""
from pyramid.authentication import SessionAuthenticationHelper
from pyramid.authorization import ACLHelper, Everyone
from pyramid.interfaces import ISecurityPolicy
from zope.interface import implementer

from corvane.auth.jwt.reload import PolicyReloader, reload_interval
from corvane.logging_conf import current_thread_log_context


@implementer(ISecurityPolicy)
class JWTSecurityPolicy:
    def __init__(self, jwt_policy, session_prefix="auth."):
        """ValueError when the JWT policy's ``corvane.reload_interval`` is not
        a whole number of seconds from 0 (no rebuilds, the default) to a week."""
        self.jwt_policy = jwt_policy
        self.session_helper = SessionAuthenticationHelper(prefix=session_prefix)
        self.acl = ACLHelper()
        interval = reload_interval(getattr(jwt_policy, "ini_settings", None) or {})
        # Rebuilds jwt_policy every interval; stop() ends it. None without one.
        self.reloader = PolicyReloader(self, interval) if interval else None

    def identity(self, request):
        """A dict with "userid", "principals", "sso_user_id" and
        "authenticated_by", or None.

        Found once per request: Pyramid asks again for every permission and
        user id, and each JWT authentication verifies the token anew."""
        try:
            return request._corvane_identity
        except AttributeError:
            pass
        identity = self._find_identity(request)
        request._corvane_identity = identity
        return identity

    def _find_identity(self, request):
        jwt_policy = self.jwt_policy  # one policy for the whole request, also across a reload
        userid = self.session_helper.authenticated_userid(request)
        if userid is not None and userid in jwt_policy.users:
            sso_user_id = request.session.get("sso_user_id")
            if sso_user_id is not None:
                current_thread_log_context()["sso_user_id"] = sso_user_id
            return {"userid": userid, "principals": jwt_policy.principals_for(userid),
                    "sso_user_id": sso_user_id, "authenticated_by": "session"}
        # One verification gives the user, the principals and the sso id.
        found = jwt_policy.authenticate(request)
        if found.user_id is None:
            return None
        return {"userid": found.user_id, "principals": found.principals, "sso_user_id": found.sso_user_id,
                "authenticated_by": "jwt"}

    def authenticated_userid(self, request):
        identity = request.identity
        return None if identity is None else identity["userid"]

    def permits(self, request, context, permission):
        identity = request.identity
        principals = [Everyone] if identity is None else identity["principals"]
        return self.acl.permits(context, principals, permission)

    def remember(self, request, userid, **kw):
        return self.session_helper.remember(request, userid, **kw)

    def forget(self, request, **kw):
        return self.session_helper.forget(request, **kw)
