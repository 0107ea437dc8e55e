"""Construction and 100,000 authentications leave the process's object count
and resident memory flat (generous bounds: the test must not flake)."""
import gc
import logging
import os

from corvane.auth.jwt.jwt import JWTAuthenticationPolicy


class Request:
    """The least a request needs: headers, GET, session and attributes."""

    def __init__(self, headers, params):
        self.headers, self.GET, self.session, self.path_info = headers, params, {}, "/whoami.json"


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def measure():
    gc.collect()
    return len(gc.get_objects()), resident_kib()


def test_no_growth(site):
    settings = site.settings()
    good = Request({"Authorization": site.token()}, {"idp_id": "idp"})
    forged = Request({"Authorization": site.token(key=site.other_key)}, {"idp_id": "idp"})
    logging.getLogger("corvane.auth.jwt").setLevel(logging.CRITICAL)  # the forged ones warn

    def work(policies, calls):
        for _ in range(policies):
            JWTAuthenticationPolicy(settings)
        policy = JWTAuthenticationPolicy(settings)
        for i in range(calls):
            request = forged if i % 10 == 0 else good
            result = policy.authenticated_userid(request)
            assert result == (None if request is forged else "alice")

    work(50, 10_000)  # warm-up: caches, arenas and interned texts settle
    objects, rss = measure()
    work(200, 100_000)
    objects_after, rss_after = measure()
    assert objects_after - objects < 500
    if not os.environ.get("CORVANE_SANITIZED"):
        assert rss_after - rss < 16 * 1024
