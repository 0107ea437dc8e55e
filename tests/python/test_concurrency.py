"""The demo application under waitress with 8 threads: mixed requests from
several client threads, every answer and every access-log line checked."""
import http.client
import logging
import re
import threading

import pyramid_app
import waitress.server

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
