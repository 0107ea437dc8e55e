"""The demo Pyramid application: the reference host's resources served with
the JWT policy, by waitress.

    /usr/bin/python3 demo/pyramid_app.py --ini demo/demo.ini --port 6543

"/whoami" and "/resources/NAME" answer JSON or HTML (".json", ".html", or
the default extension); without a user they answer 401 with
"WWW-Authenticate: Bearer".
"""
import argparse
import configparser
import html
import json
import logging
import os
import sys

from pyramid.authorization import ACLAuthorizationPolicy, Allow
from pyramid.config import Configurator
from pyramid.httpexceptions import HTTPForbidden, HTTPUnauthorized
from pyramid.response import Response
from pyramid.session import SignedCookieSessionFactory
from pyramid.view import forbidden_view_config, view_config

from corvane.auth.jwt.jwt import JWTAuthenticationPolicy
from corvane.auth.jwt.security import JWTSecurityPolicy
from corvane.logging_conf import current_thread_log_context, reset_thread_log_context
from corvane.utils import requested_data_format

access_log = logging.getLogger("corvane.demo.access")


class Root:
    __acl__ = [(Allow, "group:corvane_users", "view")]

    def __init__(self, request):
        self.request = request


def reply(request, status, title, body):
    fmt = requested_data_format(request, request.registry.settings.get("corvane.default_extension", "html"))[0]
    if fmt == "html":
        rows = "".join(f"<dt>{html.escape(str(k))}</dt><dd>{html.escape(str(v))}</dd>" for k, v in body.items())
        text = f"<!doctype html><title>{html.escape(title)}</title><h1>{html.escape(title)}</h1><dl>{rows}</dl>"
        return Response(text, status=status, content_type="text/html", charset="utf-8")
    return Response(json.dumps(body), status=status, content_type="application/json", charset="utf-8")


def user_reply(request, title, extra):
    identity = request.identity  # the user id alone under an authentication policy
    via = identity.get("authenticated_by", "jwt") if isinstance(identity, dict) else "jwt"
    body = {"user_id": request.authenticated_userid, "authenticated_by": via}
    body.update(extra)
    return reply(request, 200, title, body)


@view_config(route_name="whoami", permission="view")
def whoami(request):
    userid = request.authenticated_userid
    return user_reply(request, "Signed in as " + userid,
                      {"sso_user_id": current_thread_log_context().get("sso_user_id")})


@view_config(route_name="resource", permission="view")
def resource(request):
    name = request.matchdict["name"]
    return user_reply(request, "Resource " + name, {"resource": name})


@forbidden_view_config()
def forbidden(request):
    if request.authenticated_userid is None:
        response = reply(request, 401, "401 Unauthorized",
                         {"error": "Sign in: send an Authorization: Bearer header with a token of a configured "
                                   "identity provider (query parameter idp_id or header X-Identity-Provider-Id)."})
        response.headers["WWW-Authenticate"] = "Bearer"
        return response
    return reply(request, 403, "403 Forbidden", {"error": "Not allowed."})


def access_tween(handler, registry):
    """Starts every request with an empty log context and logs one access
    line naming the single sign-on user."""
    def tween(request):
        reset_thread_log_context()
        response = handler(request)
        access_log.info("%s %s %s sso_user_id=%s", request.method, request.path_qs, response.status_code,
                        current_thread_log_context().get("sso_user_id", "-"))
        return response
    return tween


def main(global_config=None, **settings):
    """The WSGI application. "corvane.security" = "legacy" uses the policy
    as an authentication policy with an ACL authorization policy instead of
    the security policy."""
    config = Configurator(settings=settings, root_factory=Root)
    config.set_session_factory(SignedCookieSessionFactory(
        settings.get("corvane.session_secret", "demo-only-secret"),
        secure=settings.get("corvane.session_secure", "false") == "true", httponly=True, samesite="Lax"))
    policy = JWTAuthenticationPolicy(settings)
    if settings.get("corvane.security") == "legacy":
        config.set_authentication_policy(policy)
        config.set_authorization_policy(ACLAuthorizationPolicy())
    else:
        config.set_security_policy(JWTSecurityPolicy(policy))
    config.add_tween(__name__ + ".access_tween")
    config.add_route("whoami", r"/whoami{ext:(\.(json|html))?}")
    config.add_route("resource", r"/resources/{name:[A-Za-z0-9_-]{1,64}}{ext:(\.(json|html))?}")
    config.scan(sys.modules[__name__])
    app = config.make_wsgi_app()
    app.policy = policy
    return app


def read_settings(ini_path):
    parser = configparser.ConfigParser(defaults={"here": os.path.dirname(os.path.abspath(ini_path))},
                                       inline_comment_prefixes=(";",))
    if not parser.read(ini_path):
        raise FileNotFoundError(ini_path)
    return {key: value for key, value in parser.items("app:main") if key != "here"}


def run():
    parser = argparse.ArgumentParser(description="Serve the demo Pyramid application with waitress.")
    parser.add_argument("--ini", default="demo/demo.ini", help="ini file with an [app:main] section")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=6543)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s %(message)s")
    import waitress
    waitress.serve(main(**read_settings(args.ini)), host=args.host, port=args.port, threads=args.threads)


if __name__ == "__main__":
    sys.modules.setdefault("pyramid_app", sys.modules[__name__])
    run()
