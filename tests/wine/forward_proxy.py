#!/usr/bin/env python3
"""An HTTP proxy on 127.0.0.1 for the tests under Wine that sends every
request, whatever host it names, to one server (qvserver on 127.0.0.1).

A copy-only run first fetches two fixed files from the control's default
download server, which the test machine cannot reach; with the Wine
prefix's Internet settings pointing at this proxy, those requests reach the
test's own server, which serves the same paths.

    forward_proxy.py HOST:PORT     prints "listening on PORT" once it accepts
"""
import http.client
import http.server
import sys
import urllib.parse

TARGET_HOST, TARGET_PORT = sys.argv[1].rsplit(":", 1)
HOP_BY_HOP = {"connection", "proxy-connection", "keep-alive", "transfer-encoding", "host"}


class Forward(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def forward(self):
        parts = urllib.parse.urlsplit(self.path)
        path = parts.path + ("?" + parts.query if parts.query else "")
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP_BY_HOP}
        upstream = http.client.HTTPConnection(TARGET_HOST, int(TARGET_PORT), timeout=30)
        upstream.request(self.command, path or "/", body=body, headers=headers)
        response = upstream.getresponse()
        data = response.read()
        self.send_response(response.status, response.reason)
        for key, value in response.getheaders():
            if key.lower() not in HOP_BY_HOP and key.lower() != "content-length":
                self.send_header(key, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        upstream.close()

    do_GET = do_POST = forward

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Forward)
print("listening on", server.server_address[1], flush=True)
server.serve_forever()
