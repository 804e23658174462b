#!/usr/bin/env python3
"""Static update tree over HTTP/1.1 for the bench, with the faults nginx cannot be asked for:
every answer delayed, the first file request cut short, and the body bytes of each request
appended to a file ("<status> <bytes> <path>")."""
import argparse
import email.utils
import os
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--root", required=True, help="the folder that holds packages/")
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--delay-ms", type=int, default=0, help="before every answer")
parser.add_argument("--cut-at", type=float, default=0, help="fraction of the first file's body sent before closing")
parser.add_argument("--count", help="file that gets one line per request")
args = parser.parse_args()

lock = threading.Lock()
cut_pending = args.cut_at > 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # small answers must not wait for delayed ACKs

    def log_message(self, *_):
        pass

    def do_GET(self):
        global cut_pending
        time.sleep(args.delay_ms / 1000)
        path = os.path.join(args.root, self.path.lstrip("/"))
        if ".." in self.path.split("/") or not os.path.isfile(path):
            return self.answer(404, {}, b"not found", 9, 9)
        info = os.stat(path)
        size = info.st_size
        etag = '"%x-%x"' % (size, info.st_mtime_ns)
        modified = email.utils.formatdate(info.st_mtime, usegmt=True)
        headers = {"ETag": etag, "Last-Modified": modified, "Accept-Ranges": "bytes"}
        start, end, status = 0, size, 200
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if wanted and self.headers.get("If-Range") in (None, etag, modified):
            first, last = wanted.groups()
            start, end, status = int(first), min(int(last) + 1 if last else size, size), 206
            if start >= end:
                return self.answer(416, {"Content-Range": "bytes */%d" % size}, b"", 0, 0)
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, end - 1, size)
        stop = end
        with lock:
            if cut_pending and self.path.startswith("/packages/bin/"):
                cut_pending = False
                stop = start + int((end - start) * args.cut_at)
        with open(path, "rb") as body:
            body.seek(start)
            self.answer(status, headers, body, end - start, stop - start)

    def answer(self, status, headers, body, length, send):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        self.end_headers()
        sent = 0
        try:
            if isinstance(body, bytes):
                self.wfile.write(body[:send])
                sent = send
            while sent < send:
                chunk = body.read(min(1 << 20, send - sent))
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            pass  # the client went away
        if sent < length:
            self.close_connection = True
        if args.count:
            with lock, open(args.count, "a") as count:
                count.write("%d %d %s\n" % (status, sent, self.path))


ThreadingHTTPServer.daemon_threads = True
ThreadingHTTPServer(("127.0.0.1", args.port), Handler).serve_forever()
