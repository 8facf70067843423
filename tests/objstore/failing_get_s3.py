#!/usr/bin/env python3
"""A stand-in S3 endpoint whose GET of one object fails.

    failing_get_s3.py DIR BUCKET FAILING_KEY

Serves the files of DIR as the objects of BUCKET (HEAD and ranged GET),
except that a GET of FAILING_KEY from any byte but the first answers 403
AccessDenied: a volume that opens (its labels are in the first part) and
then cannot be fetched further, a read that fails after its open.  Prints the port it listens on and the
process id of the server it leaves running (kill it when done), so that
the caller can use it at once.  Signatures are not checked.
"""
import http.server
import os
import re
import sys

DIR, BUCKET, FAILING = sys.argv[1:4]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def _file(self):
        path = self.path.split('?', 1)[0]
        prefix = '/' + BUCKET + '/'
        if not path.startswith(prefix):
            return None, None
        key = path[len(prefix):]
        name = os.path.join(DIR, os.path.basename(key))
        return key, (name if os.path.isfile(name) else None)

    def _reply(self, status, body=b'', headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def _error(self, status, code):
        self._reply(status, ('<?xml version="1.0" encoding="UTF-8"?>'
                             '<Error><Code>%s</Code><Message>refused by '
                             'the test</Message></Error>' % code).encode(),
                    [('Content-Type', 'application/xml')])

    def do_HEAD(self):
        key, name = self._file()
        if name is None:
            self._reply(404)
            return
        self.send_response(200)
        self.send_header('Content-Length', str(os.path.getsize(name)))
        self.end_headers()

    def do_GET(self):
        key, name = self._file()
        if name is None:
            self._error(404, 'NoSuchKey')
            return
        match = re.match(r'bytes=(\d+)-(\d*)', self.headers.get('Range', ''))
        if key == FAILING and match and int(match.group(1)) > 0:
            self._error(403, 'AccessDenied')
            return
        with open(name, 'rb') as f:
            data = f.read()
        if not match:
            self._reply(200, data)
            return
        first = int(match.group(1))
        last = int(match.group(2)) if match.group(2) else len(data) - 1
        last = min(last, len(data) - 1)
        self._reply(206, data[first:last + 1], [
            ('Content-Range', 'bytes %d-%d/%d' % (first, last, len(data)))])


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
