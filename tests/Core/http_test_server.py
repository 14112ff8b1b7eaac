#!/usr/bin/env python3
"""Loopback HTTP server for the HTTP client tests, built on the standard
library's http.server so that the client is checked against a peer this
project did not write.

Usage: http_test_server.py
Binds 127.0.0.1 on a free port, prints the port on the first line of stdout,
and serves until stdin reaches its end (the test closes it) or the process is
terminated. Every response closes its connection.

Paths:
  /ok                  200, Content-Length, body "hello world"
  /echo                200, body = the request line and headers as received
  /chunked             200, Transfer-Encoding: chunked, body "hello chunked world"
  /continue            100 Continue (with a header) then 200, body "after continue"
  /redirect/<code>     <code> with Location http://127.0.0.1:<port>/ok
  /relative            302 with the relative Location "/ok"
  /https               302 with Location https://127.0.0.1:<port>/ok
  /nolocation          302 without Location
  /chain/<n>           302 to /chain/<n-1> while n > 0; /chain/0 is 200 "end"
  /stall               sends nothing until the client goes (at most 60 s)
  /stallbody           200 headers with Content-Length 100, 2 bytes, then nothing
                       until the client goes (at most 60 s)
"""
import http.server
import select
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # keep test output clean
        pass

    def base(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    def simple(self, code, body=b"", headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.close_connection = True

    def hold(self):
        # The client's end turns readable when it closes (or is cancelled).
        select.select([self.connection], [], [], 60)
        self.close_connection = True

    def redirect(self, code, location):
        self.simple(code, b"moved", [("Location", location)])

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        # Read the body so that closing the connection does not reset it.
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.do_GET()

    def do_GET(self):
        path = self.path
        if path == "/ok":
            self.simple(200, b"hello world", [("Content-Type", "text/plain")])
        elif path == "/echo":
            text = self.requestline + "\r\n" + str(self.headers)
            self.simple(200, text.encode("latin-1"))
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.end_headers()
            for piece in (b"hello", b" chunked", b" world"):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
            self.close_connection = True
        elif path == "/continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n")
            self.wfile.flush()
            self.simple(200, b"after continue", [("X-Final", "yes")])
        elif path.startswith("/redirect/"):
            self.redirect(int(path[len("/redirect/"):]), self.base() + "/ok")
        elif path == "/relative":
            self.redirect(302, "/ok")
        elif path == "/https":
            self.redirect(302, "https://127.0.0.1:%d/ok" % self.server.server_address[1])
        elif path == "/nolocation":
            self.simple(302, b"nowhere")
        elif path.startswith("/chain/"):
            n = int(path[len("/chain/"):])
            if n > 0:
                self.redirect(302, "%s/chain/%d" % (self.base(), n - 1))
            else:
                self.simple(200, b"end")
        elif path == "/stall":
            self.hold()
        elif path == "/stallbody":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"ab")
            self.wfile.flush()
            self.hold()
        else:
            self.simple(404, b"not found")


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()  # returns when the test closes its end
    server.shutdown()


if __name__ == "__main__":
    main()
