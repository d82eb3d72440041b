#!/usr/bin/env python3
# The service's sign-in page and the vendor's manifest for the start-up
# benchmark, reached as an http proxy under the built-in host names. The page
# asks for /marker from its load event; the arrival of each marker request is
# appended to LOG as nanoseconds since the epoch.
# Usage: signin_server.py PORT_FILE LOG
import http.server
import sys
import time
import urllib.parse

PAGE = b"""<!DOCTYPE html>
<html lang="zh"><head><meta charset="utf-8"><title>Vorla Sign-in</title>
<style>
body { font-family: sans-serif; background: #f4f6f8; margin: 0; }
form { width: 320px; margin: 120px auto; padding: 32px; background: #fff; border-radius: 8px;
       box-shadow: 0 2px 8px rgba(0,0,0,.1); }
input, button { display: block; width: 100%; box-sizing: border-box; margin: 12px 0; padding: 10px; }
</style></head>
<body><form action="/signin" method="post">
<h1>Vorla</h1>
<input name="user" placeholder="user" autocomplete="username">
<input name="password" type="password" placeholder="password" autocomplete="current-password">
<button type="submit">Sign in</button>
</form>
<script>addEventListener('load', () => fetch('/marker', {cache: 'no-store'}));</script>
</body></html>
"""
MANIFEST = b"<update><version>3.0.0.7</version><webversion>w1</webversion><updatetype>0</updatetype></update>"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        now = time.time_ns()
        # As a proxy the request line carries the absolute URI.
        path = urllib.parse.urlsplit(self.path).path or "/"
        if path == "/marker":
            with open(LOG, "a") as log:
                log.write(f"{now}\n")
            self.answer(204, b"", "text/plain")
        elif path == "/signin":
            self.answer(200, PAGE, "text/html; charset=utf-8")
        elif path == "/pcupdate/update.xml":
            self.answer(200, MANIFEST, "text/xml")
        else:
            self.answer(404, b"not found", "text/plain")

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def log_message(self, *args):
        pass


PORT_FILE, LOG = sys.argv[1], sys.argv[2]
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(PORT_FILE, "w") as out:
    out.write(str(server.server_address[1]))
server.serve_forever()
