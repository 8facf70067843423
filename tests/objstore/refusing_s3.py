#!/usr/bin/env python3
"""A stand-in S3 endpoint that refuses every request.

    refusing_s3.py

A HEAD gets 403 without a body (as from any store: a HEAD reply carries no
error document), a GET gets 403 with the error document AccessDenied.  So
a volume opened for reading fails on its HEAD with the status alone, and
korbr has to ask for the reason itself.  Prints the port it listens on and
the process id of the server it leaves running (kill it when done).
Signatures are not checked.
"""
import http.server
import os
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def _reply(self, status, body=b''):
        self.send_response(status)
        if body:
            self.send_header('Content-Type', 'application/xml')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def do_HEAD(self):
        self._reply(403)

    def do_GET(self):
        self._reply(403, (b'<?xml version="1.0" encoding="UTF-8"?>'
                          b'<Error><Code>AccessDenied</Code><Message>refused '
                          b'by the test &amp; its policy</Message></Error>'))


# Listening before the caller goes on: the child serves, the parent says
# where and exits.
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
pid = os.fork()
if pid == 0:
    os.setsid()
    # Let go of the caller's output, or a shell reading it would wait.
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    server.serve_forever()
    os._exit(0)
print(server.server_address[1], pid)
sys.stdout.flush()
os._exit(0)
