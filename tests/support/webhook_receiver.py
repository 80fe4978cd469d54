#!/usr/bin/env python3
"""A web hook receiver for the tests: takes POSTs on a loopback port and appends each body,
one line each, to a file. Usage: webhook_receiver.py PORT FILE"""
import http.server
import sys

port, path = int(sys.argv[1]), sys.argv[2]


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        kind = self.headers.get("Content-Type", "")
        with open(path, "ab") as out:
            out.write(body.replace(b"\n", b" ") + b"\t" + kind.encode() + b"\n")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer(("127.0.0.1", port), Receiver).serve_forever()
