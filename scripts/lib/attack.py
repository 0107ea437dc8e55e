"""Attacks on a running corvane-host over loopback, each asserting the bound
that protects against it. Used by scripts/attack; prints one JSON line of
figures per attack and exits 1 when a bound does not hold.

    attack.py flood|slow|limits|framing|hang PORT PID [options as KEY=VALUE]
"""
import json
import os
import re
import signal
import socket
import sys
import threading
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def host_sockets(pid):
    """Sockets the host holds open (the listening one included)."""
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def connect(port, source="127.0.0.1"):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def status_of(answer):
    parts = answer.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[0].startswith(b"HTTP/") else None


def health(port, timeout=5.0):
    """Seconds to get /health answered, and its status."""
    seconds, status, _ = request(port, "/health", timeout=timeout)
    return seconds, status


def flood(port, pid, connections=50, seconds=6):
    """Connections sending 8 KiB header lines without end, reconnecting when
    closed. Bound: resident memory stays within a small constant per
    connection and returns to the baseline afterwards."""
    line = b"X-Flood: " + b"a" * 8192 + b"\r\n"
    statuses, lock, stop = {}, threading.Lock(), time.monotonic() + seconds

    def one():
        while time.monotonic() < stop:
            s = connect(port)
            s.settimeout(2)
            sent = 0
            try:
                s.sendall(b"GET /health HTTP/1.1\r\nHost: h\r\n")
                while time.monotonic() < stop:
                    s.sendall(line)
                    sent += len(line)
            except OSError:
                pass
            try:
                code = status_of(s.recv(4096))
            except OSError:
                code = None
            s.close()
            with lock:
                statuses[code] = statuses.get(code, 0) + 1

    baseline = rss_kib(pid)
    workers = [threading.Thread(target=one) for _ in range(connections)]
    for w in workers:
        w.start()
    peak = baseline
    while any(w.is_alive() for w in workers):
        peak = max(peak, rss_kib(pid))
        time.sleep(0.05)
    time.sleep(1)
    after = rss_kib(pid)
    figures = {"attack": "header flood", "connections": connections, "seconds": seconds,
               "rss_kib_before": baseline, "rss_kib_peak": peak, "rss_kib_after": after,
               "statuses": {str(k): v for k, v in statuses.items()}}
    # 64 KiB a connection is far above the 24 KiB buffer; 8 MiB for the rest.
    ok = (peak - baseline <= connections * 64 + 8192 and after - baseline <= 4096
          and statuses.get(431, 0) >= connections)
    return ok, figures


def slow(port, pid, clients=300, addresses=10, head_timeout=10):
    """Clients trickling a request head one byte a second from several
    loopback addresses. Bounds: /health stays prompt meanwhile, and every
    trickler gets 408 once its head is overdue."""
    sockets = []
    for i in range(clients):
        s = connect(port, f"127.0.0.{2 + i % addresses}")
        s.setblocking(False)
        s.send(b"GET /health HTTP/1.1\r\nHost: h\r\n")
        sockets.append(s)
    start = time.monotonic()
    answers = {s: b"" for s in sockets}
    latencies, health_statuses = [], {}
    closed_at = {}
    while len(closed_at) < len(sockets) and time.monotonic() - start < head_timeout + 5:
        tick = time.monotonic()
        for s in sockets:
            if s in closed_at:
                continue
            try:
                s.send(b"X")
            except OSError:
                pass
            try:
                chunk = s.recv(4096)
                answers[s] += chunk
                if not chunk:
                    closed_at[s] = time.monotonic() - start
            except BlockingIOError:
                pass
            except OSError:
                closed_at[s] = time.monotonic() - start
        seconds, code = health(port)
        latencies.append(seconds)
        health_statuses[code] = health_statuses.get(code, 0) + 1
        time.sleep(max(0.0, 1.0 - (time.monotonic() - tick)))
    statuses = {}
    for s in sockets:
        code = status_of(answers[s])
        statuses[code] = statuses.get(code, 0) + 1
        s.close()
    figures = {"attack": "slow clients", "clients": clients, "addresses": addresses,
               "health_checks": len(latencies), "health_statuses": {str(k): v for k, v in health_statuses.items()},
               "health_ms_max": round(max(latencies) * 1000, 1),
               "health_ms_median": round(sorted(latencies)[len(latencies) // 2] * 1000, 1),
               "tricklers_closed_after_s_max": round(max(closed_at.values(), default=-1), 1),
               "trickler_statuses": {str(k): v for k, v in statuses.items()}}
    # The watcher looks every 0.2 s and this loop every second.
    ok = (max(latencies) < 0.5 and health_statuses.get(200, 0) == len(latencies)
          and statuses.get(408, 0) == clients and max(closed_at.values()) <= head_timeout + 3)
    return ok, figures


def idle_connections(port, count, source):
    """Opens `count` idle connections; returns them and how many the host
    closed at once (refused)."""
    sockets = [connect(port, source) for _ in range(count)]
    time.sleep(0.5)
    refused = 0
    for s in sockets:
        s.setblocking(False)
        try:
            refused += s.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            refused += 1
    return sockets, refused


def limits(port, pid, per_client=64, total=256, addresses=5):
    """Idle connections beyond the limit per client address are closed at
    once; beyond the total limit they wait in the kernel's queue, unserved
    and costing the host nothing. Once they are gone the host answers again."""
    sockets, refused = idle_connections(port, per_client + 16, "127.0.0.100")
    held_per_client = host_sockets(pid) - 1
    for s in sockets:
        s.close()
    time.sleep(0.5)
    per_address = min(per_client, total // addresses + 16)
    everything = []
    for i in range(addresses):
        everything += idle_connections(port, per_address, f"127.0.1.{i + 1}")[0]
    held_total = host_sockets(pid) - 1
    waiting, code = health(port, timeout=1.0)
    for s in everything:
        s.close()
    time.sleep(0.5)
    seconds, code_after = health(port)
    figures = {"attack": "connection limits", "per_client_limit": per_client, "per_client_opened": per_client + 16,
               "per_client_refused": refused, "per_client_held": held_per_client,
               "total_limit": total, "total_opened": per_address * addresses, "total_held": held_total,
               "health_at_total_limit": code, "health_after": code_after}
    ok = (refused == 16 and held_per_client == per_client and held_total <= total and code_after == 200)
    return ok, figures


FOLLOWER = b"GET /resources/SMUGGLED.json HTTP/1.1\r\nHost: h\r\n\r\n"
FRAMING = {
    "two lengths that disagree": b"GET /health HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nContent-Length: 50\r\n\r\n",
    "a list of lengths": b"GET /health HTTP/1.1\r\nHost: h\r\nContent-Length: 0, 50\r\n\r\n",
    "a blank before the colon": b"GET /health HTTP/1.1\r\nHost: h\r\nContent-Length : 50\r\n\r\n",
    "chunked and a length": b"POST /health HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
    "a folded line": b"GET /health HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n Content-Length: 50\r\n\r\n",
    "no Host": b"GET /health HTTP/1.1\r\n\r\n",
    "a negative length": b"POST /health HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n",
}


def framing(port, pid):
    """Heads two parsers could frame differently, each followed by a second
    request: each is refused with 400 and the connection closed, so the
    follower is never served. Heads carried twice are counted apart (the
    library's own answers, docs/security.md)."""
    results = {}
    ok = True
    for name, head in FRAMING.items():
        s = connect(port)
        s.settimeout(5.0)
        s.sendall(head + FOLLOWER)
        answer = b""
        try:
            while chunk := s.recv(4096):
                answer += chunk
            closed = True
        except OSError:
            closed = False
        s.close()
        heads = answer.count(b"HTTP/1.1 ")
        results[name] = {"status": status_of(answer), "closed": closed, "heads": heads}
        ok = ok and status_of(answer) == 400 and closed and b"SMUGGLED" not in answer and heads >= 1
    refused = sum(1 for r in results.values() if r["status"] == 400 and r["closed"])
    figures = {"attack": "framing", "cases": len(FRAMING), "refused": refused,
               "one_head": sum(1 for r in results.values() if r["heads"] == 1), "results": results}
    return ok, figures


def request(port, target, headers=(), timeout=5.0):
    """Seconds to get `target` answered, its status and the whole answer."""
    start = time.monotonic()
    s = connect(port)
    s.settimeout(timeout)
    head = "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n" % (target, port)
    s.sendall((head + "".join("%s: %s\r\n" % h for h in headers) + "\r\n").encode())
    answer = b""
    try:
        while chunk := s.recv(4096):
            answer += chunk
    except OSError:
        pass
    s.close()
    return time.monotonic() - start, status_of(answer), answer


def sign_in_pending(port):
    """Callbacks the host's sign-in pool holds (running and queued)."""
    text = request(port, "/metrics")[2].decode(errors="replace")
    return sum(int(n) for n in re.findall(r'\ncorvane_sign_in_callbacks\{state="\w+"\} (\d+)', text))


def hang(port, pid, callbacks=40, held=36, silent_pid=0, probes=20):
    """Sign-in callbacks against a token endpoint that accepts and never
    answers (the script's silent server), more than the host's event workers
    and more than its sign-in pool holds. Meanwhile /health, a bearer
    request and a proxy's /auth request are timed; the figures are reported,
    not bounded. Bound: each of them is answered 200, the callbacks past the
    pool get 503 at once, and once the endpoint is gone every held callback
    ends on its 502 page."""
    token = os.environ["CORVANE_TOKEN"]
    results, lock = [], threading.Lock()

    def callback():
        _, _, started = request(port, "/login?idp_id=local")
        head = started.split(b"\r\n\r\n", 1)[0].decode(errors="replace")
        state = re.search(r"[?&]state=([^&\r]+)", head).group(1)
        cookie = re.search(r"Set-Cookie: (corvane_login=[^;]+)", head).group(1)
        seconds, code, _ = request(port, "/callback?code=x&state=" + state, [("Cookie", cookie)], timeout=120)
        with lock:
            results.append((code, seconds))

    threads = [threading.Thread(target=callback, daemon=True) for _ in range(callbacks)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with lock:
            refused = len(results)
        if sign_in_pending(port) + refused >= callbacks:
            break
        time.sleep(0.05)
    pending = sign_in_pending(port)
    timed = {}
    for name, target, headers in [
            ("health", "/health", []),
            ("bearer", "/whoami.json?idp_id=local", [("Authorization", token)]),
            ("auth", "/auth", [("Authorization", token), ("X-Original-URI", "/app/data.json?idp_id=local")])]:
        answers = [request(port, target, headers)[:2] for _ in range(probes)]
        latencies = sorted(seconds for seconds, _ in answers)
        timed[name] = {"ms_max": round(latencies[-1] * 1000, 1),
                       "ms_median": round(latencies[len(latencies) // 2] * 1000, 1),
                       "ok": sum(1 for _, code in answers if code == 200)}
    with lock:
        busy = [seconds for code, seconds in results if code == 503]
    if silent_pid:
        os.kill(silent_pid, signal.SIGTERM)
    for t in threads:
        t.join(timeout=60)
    statuses = {}
    for code, _ in results:
        statuses[str(code)] = statuses.get(str(code), 0) + 1
    figures = {"attack": "hanging token endpoint", "callbacks": callbacks, "held_on_the_pool": pending,
               "busy_answers": len(busy), "busy_ms_max": round(max(busy, default=0) * 1000, 1),
               "callback_statuses": statuses, **{name + "_" + k: v for name, f in timed.items() for k, v in f.items()}}
    ok = (all(f["ok"] == probes for f in timed.values()) and pending == held and len(busy) == callbacks - held
          and statuses.get("502", 0) == held)
    return ok, figures


def main():
    name, port, pid = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    options = {k: int(v) for k, v in (a.split("=", 1) for a in sys.argv[4:])}
    attacks = {"flood": flood, "slow": slow, "limits": limits, "framing": framing, "hang": hang}
    ok, figures = attacks[name](port, pid, **options)
    figures["bound_held"] = ok
    print(json.dumps(figures))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
