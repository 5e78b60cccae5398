#!/usr/bin/env python3
"""A small HTTPS (and plain HTTP) file server for the download tests, on 127.0.0.1 only.

Usage: https_server.py CERT KEY ROOT LOG

Prints "<https port> <http port>" on its first line, then serves until its standard input
closes. Files come from ROOT; every request is appended to LOG as "<scheme> <path> <user agent>". Query options:
  nolength=1     no Content-Length, the body ends when the connection closes
  chunked=1      chunked transfer encoding
  slow=N         N milliseconds of pause between pieces of 4 KiB
  stall=N        send N bytes, then send nothing until the client gives up
  truncate=N     announce the whole length, send N bytes, close
A folder below ROOT that holds a file ".hangup" answers nothing: every request for a path
in it gets the connection closed, as from a server that is down.
Special paths:
  /redirect[/NAME]?to=URL   302 to URL, then the connection closes
  /status/N          an empty answer with status N
  /pattern/N         N bytes of a repeating pattern, sent in large pieces (for speed tests)
"""
import http.server
import os
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse

PIECE = 4096


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def note(self):
        with self.server.log_lock, open(self.server.log_path, "a") as log:
            agent = self.headers.get("User-Agent", "-").replace(" ", "_")
            log.write(self.server.scheme + " " + self.path + " " + agent + "\n")

    def do_GET(self):
        self.note()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        path = urllib.parse.unquote(url.path)
        top = path.lstrip("/").split("/")[0]
        if top and os.path.isfile(os.path.join(self.server.root, top, ".hangup")):
            self.close_connection = True
            return
        if path == "/redirect" or path.startswith("/redirect/"):
            # Real redirects lead to another host, so the client never reuses this connection.
            # Kept open, Qt now and then sends the redirecting request a second time on it.
            self.send_response(302)
            self.send_header("Location", query["to"])
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            return
        if path.startswith("/status/"):
            self.send_response(int(path[len("/status/"):]))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path.startswith("/pattern/"):
            self.send_pattern(int(path[len("/pattern/"):]))
            return
        file = os.path.normpath(os.path.join(self.server.root, path.lstrip("/")))
        if not file.startswith(self.server.root + os.sep) or not os.path.isfile(file):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(file, "rb") as f:
            body = f.read()
        self.send_body(body, query)

    def send_body(self, body, query):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        chunked = query.get("chunked") == "1"
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif query.get("nolength") == "1":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        stall = int(query.get("stall", -1))
        truncate = int(query.get("truncate", -1))
        slow = int(query.get("slow", 0)) / 1000.0
        if stall >= 0:
            self.write(body[:stall], chunked)
            self.wfile.flush()
            self.wait_for_close(60)
            self.close_connection = True
            return
        if truncate >= 0:
            self.write(body[:truncate], chunked)
            self.wfile.flush()
            self.close_connection = True
            return
        step = PIECE if slow else 1 << 20
        for start in range(0, len(body), step):
            self.write(body[start:start + step], chunked)
            if slow:
                self.wfile.flush()
                time.sleep(slow)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def send_pattern(self, size):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        self.wfile.flush()
        piece = pattern_piece()
        view = memoryview(piece)
        sent = 0
        while sent < size:
            n = min(len(piece), size - sent)
            self.connection.sendall(view[:n])
            sent += n

    def write(self, data, chunked):
        if not data:
            return
        if chunked:
            self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
        else:
            self.wfile.write(data)

    def wait_for_close(self, seconds):
        # Holds the connection open and silent until the peer closes it or time runs out.
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.connection], [], [], 0.1)
            if ready:
                try:
                    if not self.connection.recv(1024):
                        return
                except (OSError, ssl.SSLError):
                    return


def pattern_piece():
    # 4 MiB of the bytes 0 to 255 over and over.
    return bytes(range(256)) * (1 << 14)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that hang up early are what several tests are about.
        if not isinstance(sys.exc_info()[1], (OSError, ssl.SSLError)):
            super().handle_error(request, client_address)


def main():
    cert, key, root, log_path = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    servers = []
    for secure in (True, False):
        server = Server(("127.0.0.1", 0), Handler)
        if secure:
            server.socket = context.wrap_socket(server.socket, server_side=True)
        server.scheme = "https" if secure else "http"
        server.root = os.path.realpath(root)
        server.log_path = log_path
        server.log_lock = threading.Lock()
        servers.append(server)
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print(servers[0].server_address[1], servers[1].server_address[1], flush=True)
    # Ends with its parent: the tests hold our standard input open.
    sys.stdin.read()


if __name__ == "__main__":
    main()
