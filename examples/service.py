"""A small web service on the standard library's WSGI server that uses crypt_main.

    POST /token    JSON body -> {"token": ...}: an HS256 token of the data, valid an hour
    GET  /whoami   Authorization: Bearer TOKEN -> {"data": ...}, or 401 with the reason
    POST /php      Base64 of AES-CBC from a PHP peer -> the reply, encrypted the same way
    POST /hash     any text -> {"sha256": ..., "md5": ...}

    python3 examples/service.py                  serve on 127.0.0.1:8000 until Ctrl-C
    python3 examples/service.py --check 400      serve, send itself 400 requests from 4
                                                 threads, check every answer, stop
    python3 examples/service.py --bench          the same load against this service and
                                                 against the same class written in Python
                                                 (docs/crypt_main_listing.py), each in a
                                                 server process of its own: time per request

--python serves with the Python class instead of the module.
"""
import argparse
import hashlib
import http.client
import importlib.util
import json
import socketserver
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import crypt_main

SECRET = "a shared secret of at least 32 bytes!"
ISSUER = "example-service"
PHP_KEY, PHP_IV = "php-shared-key", "fedcba9876543210"
EXPIRED, FAILED = "token已过期", "系统异常："  # what _token_decrypt returns instead of raising


def python_class():
    """The class written in Python that the module stands in for."""
    path = Path(__file__).resolve().parent.parent / "docs" / "crypt_main_listing.py"
    spec = importlib.util.spec_from_file_location("crypt_main_listing", str(path))
    listing = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(listing)
    return listing.TarvikCryptMain


def make_app(crypt):
    """The WSGI application; `crypt` is an instance of either class."""

    def reply(start_response, status, body, kind="application/json"):
        data = (json.dumps(body, ensure_ascii=False) if kind == "application/json" else body).encode("utf-8")
        start_response(status, [("Content-Type", kind + "; charset=utf-8"), ("Content-Length", str(len(data)))])
        return [data]

    def app(environ, start_response):
        route = environ["REQUEST_METHOD"], environ["PATH_INFO"]
        size = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(size).decode("utf-8") if size else ""
        if route == ("POST", "/token"):
            return reply(start_response, "200 OK", {"token": crypt._token_encrypt(json.loads(body), SECRET, 3600, ISSUER)})
        if route == ("GET", "/whoami"):
            token = environ.get("HTTP_AUTHORIZATION", "").replace("Bearer ", "", 1)
            data = crypt._token_decrypt(token, SECRET, ISSUER)
            if isinstance(data, str) and (data == EXPIRED or data.startswith(FAILED)):
                return reply(start_response, "401 Unauthorized", {"error": data})
            return reply(start_response, "200 OK", {"data": data})
        if route == ("POST", "/php"):
            text = crypt._php_decrypt(body, PHP_KEY, PHP_IV, base64s=True)
            answer = crypt._php_encrypt("收到: " + text, PHP_KEY, PHP_IV, base64s=True)
            return reply(start_response, "200 OK", answer, "text/plain")
        if route == ("POST", "/hash"):
            return reply(start_response, "200 OK", {"sha256": crypt._sha256_encrypt(body, None),
                                                    "md5": crypt._md5_encrypt(body, None)})
        return reply(start_response, "404 Not Found", {"error": "no such route"})

    return app


class Timed:
    """The crypt object, with the CPU time of the calls made through it added up:
    thread time, which a thread waiting for the GIL or a core does not count, less
    what the timing itself costs."""

    def __init__(self, crypt):
        self.crypt, self.seconds, self.lock = crypt, 0.0, threading.Lock()
        self.cost = 0.0
        for _ in range(2000):
            self.__getattr__("__init__")()
        self.cost, self.seconds = self.seconds / 2000, 0.0

    def __getattr__(self, name):
        method = getattr(self.crypt, name)

        def timed(*args, **kwargs):
            start = time.thread_time()
            try:
                return method(*args, **kwargs)
            finally:
                spent = time.thread_time() - start - self.cost
                with self.lock:
                    self.seconds += spent

        return timed


def with_stats(app, timed):
    """GET /stats answers the crypto calls' seconds so far; the rest goes to `app`."""

    def wrapped(environ, start_response):
        if environ["PATH_INFO"] != "/stats":
            return app(environ, start_response)
        data = json.dumps({"crypto_seconds": timed.seconds}).encode()
        start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(data)))])
        return [data]

    return wrapped


class ThreadingServer(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


def serve(crypt, port=0, stats=False):
    """A server on 127.0.0.1 in a thread of its own; port 0 picks a free one."""
    app = make_app(crypt)
    if stats:
        crypt = Timed(crypt)
        app = with_stats(make_app(crypt), crypt)
    server = make_server("127.0.0.1", port, app, ThreadingServer, QuietHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def request(port, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request(method, path, body=None if body is None else body.encode("utf-8"), headers=headers or {})
        response = conn.getresponse()
        return response.status, response.read().decode("utf-8")
    finally:
        conn.close()


def one_round(port, i):
    """Five requests, as one user's visit; raises AssertionError on a wrong answer."""
    status, text = request(port, "POST", "/token", json.dumps({"user": i}))
    assert status == 200, text
    token = json.loads(text)["token"]
    status, text = request(port, "GET", "/whoami", headers={"Authorization": "Bearer " + token})
    assert (status, json.loads(text)) == (200, {"data": {"user": i}}), text
    php = crypt_main.TarvikCryptMain()
    forged = php._token_encrypt({"user": i}, "not the service's secret, 32 bytes+", 3600, ISSUER)
    status, text = request(port, "GET", "/whoami", headers={"Authorization": "Bearer " + forged})
    assert status == 401 and json.loads(text)["error"].startswith(FAILED), text
    status, text = request(port, "POST", "/php", php._php_encrypt("你好 %d" % i, PHP_KEY, PHP_IV, base64s=True))
    assert status == 200 and php._php_decrypt(text, PHP_KEY, PHP_IV, base64s=True) == "收到: 你好 %d" % i, text
    message = "message %d" % i
    status, text = request(port, "POST", "/hash", message)
    assert json.loads(text) == {"sha256": hashlib.sha256(message.encode()).hexdigest(),
                                "md5": hashlib.md5(message.encode()).hexdigest()}, text


def drive(port, requests, threads=4):
    """Sends about `requests` requests from `threads` threads, each answer checked.
    Returns the wall time in seconds; raises the first wrong answer."""
    rounds = iter(range(max(1, requests // 5)))
    lock, errors = threading.Lock(), []

    def worker():
        while not errors:
            with lock:
                i = next(rounds, None)
            if i is None:
                return
            try:
                one_round(port, i)
            except Exception as e:  # reported by the caller
                errors.append(e)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return elapsed


def bench(requests, repeats):
    """Each side in a server process of its own, driven in turn; the median of the
    per-pair ratios of wall time."""
    servers = {}
    for side in ("module", "python"):
        cmd = [sys.executable, __file__, "--port", "0", "--announce"] + (["--python"] if side == "python" else [])
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, universal_newlines=True)
        servers[side] = proc, int(proc.stdout.readline())
    try:
        times = {side: [] for side in servers}
        for r in range(repeats):
            for side in ("module", "python") if r % 2 == 0 else ("python", "module"):
                times[side].append(drive(servers[side][1], requests))
        crypto = {side: json.loads(request(port, "GET", "/stats")[1])["crypto_seconds"]
                  for side, (_, port) in servers.items()}
    finally:
        for proc, _ in servers.values():
            proc.terminate()
            proc.wait()
    sent = requests // 5 * 5
    print("%d requests x %d runs from 4 threads, each side in a server process of its own" % (sent, repeats))
    print("  %-7s %22s %30s" % ("", "wall time a request, us", "CPU in its crypto calls, us"))
    for side in servers:
        print("  %-7s %22.0f %30.1f" % (side, statistics.median(times[side]) / sent * 1e6,
                                         crypto[side] / (sent * repeats) * 1e6))
    print("  module / python: %.2f of the time a request (median of the runs' ratios), %.2f in the crypto calls"
          % (statistics.median(m / p for m, p in zip(times["module"], times["python"])),
             crypto["module"] / crypto["python"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--python", action="store_true", help="serve with the class written in Python")
    parser.add_argument("--check", type=int, metavar="N", help="send N requests to itself, check them, stop")
    parser.add_argument("--bench", action="store_true", help="time the module's service against Python's")
    parser.add_argument("--requests", type=int, default=1000, help="requests per run of --bench")
    parser.add_argument("--repeats", type=int, default=6, help="runs of each side in --bench")
    parser.add_argument("--announce", action="store_true", help=argparse.SUPPRESS)  # print the port, for --bench
    args = parser.parse_args(argv)
    if args.bench:
        return bench(args.requests, args.repeats)
    crypt = python_class()() if args.python else crypt_main.TarvikCryptMain()
    server = serve(crypt, 0 if args.check else args.port, stats=args.announce)
    port = server.server_address[1]
    if args.check:
        seconds = drive(port, args.check)
        print("%d requests from 4 threads in %.2f s, every answer right" % (args.check // 5 * 5, seconds))
        server.shutdown()
        return
    if args.announce:
        print(port, flush=True)
    else:
        print("serving on http://127.0.0.1:%d (%s); Ctrl-C stops" % (port, "Python class" if args.python else "crypt_main"))
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.shutdown()


if __name__ == "__main__":
    main()
