"""The protected application of the nginx test: answers every GET with the
identity headers nginx passed it, as JSON. Prints its port, then serves."""
import http.server
import json
import sys


class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({
            "path": self.path,
            "user": self.headers.get("X-Auth-User"),
            "sso_user": self.headers.get("X-Auth-Sso-User"),
            "principals": self.headers.get("X-Auth-Principals"),
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
