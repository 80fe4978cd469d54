#!/usr/bin/env python3
"""A web hook receiver for the tests: takes POSTs on a loopback port and appends each body it
takes, one line each, to a file ("<body>\\t<content type>").

Usage: webhook_receiver.py PORT FILE [--delay SECONDS] [--status CODE] [--attempts FILE]
  --delay     wait this long before answering each POST (a slow receiver)
  --status    answer every POST with this status and take nothing (a receiver in trouble)
  --attempts  append "<status> <path>" per POST answered, taken or not
Paths:
  /redirect/CODE/REST   answer CODE with Location /REST (or ?to=URL: Location URL)
  /loop                 answer 307 with Location /loop, for ever
  /refuse/CODE/REST     answer CODE to messages whose phase is "start"; take the others
  anything else         take the message (200)
"""
import argparse
import http.server
import json
import threading
import time
import urllib.parse

parser = argparse.ArgumentParser()
parser.add_argument("port", type=int)
parser.add_argument("file")
parser.add_argument("--delay", type=float, default=0.0)
parser.add_argument("--status", type=int, default=0)
parser.add_argument("--attempts")
options = parser.parse_args()
lock = threading.Lock()


def append(path, data):
    with lock, open(path, "ab") as out:
        out.write(data)


class Receiver(http.server.BaseHTTPRequestHandler):
    def answer(self, status, location=None):
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()
        if options.attempts:
            append(options.attempts, f"{status} {self.path}\n".encode())

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if options.delay:
            time.sleep(options.delay)
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.split("/")
        if options.status:
            return self.answer(options.status)
        if url.path == "/loop":
            return self.answer(307, "/loop")
        if len(parts) > 3 and parts[1] == "redirect":
            to = urllib.parse.parse_qs(url.query).get("to")
            return self.answer(int(parts[2]), to[0] if to else "/" + "/".join(parts[3:]))
        if len(parts) > 3 and parts[1] == "refuse":
            try:
                phase = json.loads(body).get("phase")
            except ValueError:
                phase = None
            if phase == "start":
                return self.answer(int(parts[2]))
        kind = self.headers.get("Content-Type", "")
        append(options.file, body.replace(b"\n", b" ") + b"\t" + kind.encode() + b"\n")
        self.answer(200)

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer(("127.0.0.1", options.port), Receiver).serve_forever()
