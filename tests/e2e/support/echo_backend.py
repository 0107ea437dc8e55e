"""The protected application of the proxy tests (nginx, Caddy): answers
every GET with the identity headers the proxy passed it, decoded, as JSON.
Prints its port, then serves."""
import http.server
import json
import sys
from urllib.parse import unquote


# The identity headers' encoding, as an application reads it: an RFC 8941
# string (a list of them for the principals) of percent-encoded UTF-8.
def identity(value):
    return None if value is None else unquote(json.loads(value))


def principals(value):
    return None if value is None else [unquote(p) for p in json.loads("[" + value + "]")]


class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({
            "path": self.path,
            "user": identity(self.headers.get("X-Auth-User")),
            "sso_user": identity(self.headers.get("X-Auth-Sso-User")),
            "principals": principals(self.headers.get("X-Auth-Principals")),
        }).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1]) if len(sys.argv) > 1 else 0), Echo)
print(server.server_address[1], flush=True)
server.serve_forever()
