#!/usr/bin/python3
"""HTTP or HTTPS test server on 127.0.0.1 for the web update tests.

Usage: http_server.py ROOT PORT_FILE LOG_FILE [CERT KEY]

Serves the files below ROOT with their length, unless ROOT/routes.json (read at every request)
gives the request path a behaviour of its own:
  {"status": 404, "body": "text"}          the body with that status and its length
  {"redirect": "/elsewhere", "body": "x"}  302 to another address
  {"file": "name", "no_length": true}      a file's bytes without Content-Length, then close
  {"file": "name", "stall_after": 100}     announces the whole file, sends 100 bytes, then hangs
  {"file": "name", "slow_pieces": 20, "piece_delay": 0.05}   the file in pieces with pauses
  {"raw": "bytes"}                         the bytes alone, no status line, then close
Every request is logged to LOG_FILE as one JSON line: {"path": ..., "headers": {...}}.
The chosen port is written to PORT_FILE once the server listens.
"""
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROOT, PORT_FILE, LOG_FILE = sys.argv[1], sys.argv[2], sys.argv[3]
TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER) if len(sys.argv) > 5 else None
if TLS:
    TLS.load_cert_chain(sys.argv[4], sys.argv[5])
LOG_LOCK = threading.Lock()


def route_for(path):
    try:
        with open(os.path.join(ROOT, "routes.json"), encoding="utf-8") as f:
            return json.load(f).get(path)
    except (OSError, ValueError):
        return None


def file_bytes(name):
    full = os.path.realpath(os.path.join(ROOT, name.lstrip("/")))
    if not full.startswith(os.path.realpath(ROOT) + os.sep) or not os.path.isfile(full):
        return None
    with open(full, "rb") as f:
        return f.read()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        if TLS:
            self.request = TLS.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, *args):
        pass

    def do_GET(self):
        with LOG_LOCK, open(LOG_FILE, "a", encoding="utf-8") as log:
            log.write(json.dumps({"path": self.path, "headers": dict(self.headers.items())}) + "\n")
        route = route_for(self.path)
        if route is None:
            body = file_bytes(self.path)
            if body is None:
                self.reply(404, b"<html><body>Not found</body></html>")
            else:
                self.reply(200, body)
            return
        if "raw" in route:
            self.wfile.write(route["raw"].encode("latin-1"))
            self.close_connection = True
            return
        if "redirect" in route:
            self.reply(302, route.get("body", "").encode("latin-1"), {"Location": route["redirect"]})
            return
        body = file_bytes(route["file"]) if "file" in route else route.get("body", "").encode("latin-1")
        if route.get("no_length"):
            self.send_response(route.get("status", 200))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True
        elif "stall_after" in route:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: route["stall_after"]])
            self.wfile.flush()
            time.sleep(3600)
        elif "slow_pieces" in route:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            pieces = route["slow_pieces"]
            step = max(1, -(-len(body) // pieces))
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                self.wfile.flush()
                time.sleep(route.get("piece_delay", 0.05))
        else:
            self.reply(route.get("status", 200), body)

    def reply(self, status, body, headers=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a refused handshake or a client that went away


server = Server(("127.0.0.1", 0), Handler)
with open(PORT_FILE + ".tmp", "w", encoding="ascii") as f:
    f.write(str(server.server_address[1]))
os.rename(PORT_FILE + ".tmp", PORT_FILE)
server.serve_forever()
