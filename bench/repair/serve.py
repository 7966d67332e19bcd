#!/usr/bin/env python3
"""A patch server for the repair benchmark: serves a folder on 127.0.0.1 with single byte ranges
("bytes=A-B", "bytes=A-", "bytes=-N") and logs every reply as "PATH STATUS BODY_BYTES" to a file,
so that the benchmark can add up what a run downloaded. Prints its port first.

usage: serve.py FOLDER LOG
"""
import http.server
import os
import re
import sys

FOLDER, LOG = sys.argv[1], sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = os.path.join(FOLDER, self.path.lstrip("/").split("?")[0])
        if not os.path.isfile(path):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.record(404, 0)
            return
        size = os.path.getsize(path)
        first, last, status = 0, size - 1, 200
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        if match and (match.group(1) or match.group(2)):
            if match.group(1):
                first = int(match.group(1))
                last = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
            else:
                first = max(0, size - int(match.group(2)))
            status = 206
        length = last - first + 1
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.end_headers()
        with open(path, "rb") as f:
            f.seek(first)
            left = length
            while left > 0:
                chunk = f.read(min(left, 1 << 20))
                self.wfile.write(chunk)
                left -= len(chunk)
        self.record(status, length)

    def record(self, status, length):
        with open(LOG, "a") as log:
            log.write("%s %d %d\n" % (self.path, status, length))


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port", server.server_address[1], flush=True)
server.serve_forever()
