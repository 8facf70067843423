#!/usr/bin/python3
"""A throw-away S3-compatible object store on 127.0.0.1, for tests and trials.

OpenStack Swift (Debian's python3-swift) with its s3api middleware and
tempauth: the account, container, object and proxy servers run as four
processes of this script, from a configuration generated into DIR, with one
replica and the objects stored under DIR/srv.  No init scripts, no
/etc/swift, no memcached, nothing outside DIR.

    local_s3.py start DIR [BUCKET...]   start, wait until it answers, make
                                        the buckets, write DIR/env (a store
                                        already in DIR is replaced)
    local_s3.py stop DIR                stop every server started in DIR
    local_s3.py stop-proxy DIR          stop only the S3 endpoint (the data
                                        stays; start-proxy brings it back)
    local_s3.py start-proxy DIR

DIR/env holds the variables a client needs (shell syntax):
AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_REGION, and
KOR_TEST_NETRC, a netrc file with the same key for the curl command line
(tempauth's access keys hold a colon, which curl's --user would split).

Runs under Debian's own interpreter (/usr/bin/python3), where python3-swift
is installed.  Exits non-zero, saying why, when the store cannot start.
"""

import json
import shutil
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request

ACCESS_KEY = 'test:tester'
SECRET_KEY = 'testing'
REGION = 'us-east-1'
SERVERS = ('account', 'container', 'object', 'proxy')
START_TIMEOUT = 30.0

STORAGE_TEMPLATE = """\
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
workers = 0
devices = {root}/srv
mount_check = false
swift_dir = {root}/etc
log_level = WARNING
fallocate_reserve = 0

[pipeline:main]
pipeline = {name}-server

[app:{name}-server]
use = egg:swift#{name}
"""

# s3api sits after cache and before tempauth; slo makes multipart uploads
# work (a completed upload is a static large object).  The cache is this
# script's own (ProcessCache): no memcached runs.
PROXY_TEMPLATE = """\
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
workers = 0
swift_dir = {root}/etc
log_level = WARNING

[pipeline:main]
pipeline = catch_errors proxy-logging cache s3api tempauth bulk slo proxy-logging proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true

[filter:catch_errors]
use = egg:swift#catch_errors

[filter:proxy-logging]
use = egg:swift#proxy_logging

[filter:cache]
paste.filter_factory = local_s3:cache_filter_factory

[filter:s3api]
use = egg:swift#s3api
location = {region}

[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = {secret} .admin

[filter:bulk]
use = egg:swift#bulk

[filter:slo]
use = egg:swift#slo
"""

SWIFT_CONF = """\
[swift-hash]
swift_hash_path_suffix = korbr-local-s3
swift_hash_path_prefix = korbr-local-s3

[storage-policy:0]
name = Policy-0
default = yes
"""


class ProcessCache(object):
    """What Swift asks of memcached, kept in the proxy's own memory.

    The proxy runs as one process, so one dictionary serves every request;
    without any cache each request would look the account and container up
    on their servers again, several times."""

    def __init__(self):
        self._items = {}

    def _live(self, key):
        item = self._items.get(key)
        if item is None:
            return None
        value, expires = item
        if expires and expires < time.time():
            del self._items[key]
            return None
        return item

    def get(self, key, raise_on_error=False):
        item = self._live(key)
        return None if item is None else item[0]

    def set(self, key, value, serialize=True, time=0, min_compress_len=0,
            raise_on_error=False):
        self._items[key] = (value, _expiry(time))

    def incr(self, key, delta=1, time=0):
        item = self._live(key)
        value = int(item[0] if item else 0) + delta
        self._items[key] = (max(value, 0), _expiry(time))
        return max(value, 0)

    def decr(self, key, delta=1, time=0):
        return self.incr(key, -delta, time)

    def delete(self, key, server_key=None):
        self._items.pop(key, None)

    def set_multi(self, mapping, server_key, serialize=True, time=0,
                  min_compress_len=0):
        for key, value in mapping.items():
            self.set(key, value, time=time)

    def get_multi(self, keys, server_key):
        return [self.get(key) for key in keys]


def _expiry(seconds):
    # memcached's rule: up to 30 days is relative, beyond an absolute time.
    if not seconds:
        return 0
    return seconds if seconds > 30 * 86400 else time.time() + seconds


def cache_filter_factory(global_conf, **local_conf):
    cache = ProcessCache()

    def cache_filter(app):
        def call(env, start_response):
            env['swift.cache'] = cache
            return app(env, start_response)
        return call
    return cache_filter


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def write(path, text, mode=0o644):
    with open(path, 'w') as f:
        f.write(text)
    os.chmod(path, mode)


def build_rings(etc, ports):
    from swift.common.ring import RingBuilder
    for name in ('account', 'container', 'object'):
        builder = RingBuilder(6, 1, 0)
        builder.add_dev({'id': 0, 'region': 1, 'zone': 1, 'ip': '127.0.0.1',
                         'port': ports[name], 'device': 'd1', 'weight': 1.0,
                         'meta': ''})
        builder.rebalance()
        builder.get_ring().save(os.path.join(etc, name + '.ring.gz'))


def spawn(root, name):
    log = open(os.path.join(root, 'log', name + '.out'), 'ab')
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), 'serve', root, name],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log,
        start_new_session=True)
    write(os.path.join(root, 'run', name + '.pid'), '%d\n' % proc.pid)


def answers(port):
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_ready(root, ports, names):
    deadline = time.monotonic() + START_TIMEOUT
    for name in names:
        while not answers(ports[name]):
            if time.monotonic() > deadline:
                tail = ''
                try:
                    with open(os.path.join(root, 'log', name + '.out')) as f:
                        tail = f.read()[-2000:]
                except OSError:
                    pass
                raise SystemExit('local_s3: the %s server did not answer on '
                                 'port %d within %.0f s\n%s'
                                 % (name, ports[name], START_TIMEOUT, tail))
            time.sleep(0.05)
    # The proxy answers its info request only once its pipeline is loaded.
    url = 'http://127.0.0.1:%d/info' % ports['proxy']
    while True:
        try:
            with urllib.request.urlopen(url, timeout=2) as reply:
                json.load(reply)
                return
        except (OSError, ValueError):
            if time.monotonic() > deadline:
                raise SystemExit('local_s3: the proxy does not answer %s' % url)
            time.sleep(0.05)


def make_bucket(root, bucket):
    """PUT /bucket through the S3 interface, with curl's SigV4 signing."""
    env = read_env(root)
    subprocess.run(
        ['curl', '-sS', '--fail-with-body', '-X', 'PUT',
         '--netrc-file', env['KOR_TEST_NETRC'],
         '--aws-sigv4', 'aws:amz:%s:s3' % REGION,
         '-H', 'x-amz-content-sha256: UNSIGNED-PAYLOAD',
         '%s/%s' % (env['AWS_ENDPOINT_URL'], bucket)],
        check=True, stdout=subprocess.DEVNULL)


def read_env(root):
    env = {}
    with open(os.path.join(root, 'env')) as f:
        for line in f:
            if line.startswith('export '):
                key, _, value = line[len('export '):].strip().partition('=')
                env[key] = value.strip("'")
    return env


def start(root, buckets):
    root = os.path.abspath(root)
    # A directory of an earlier store is stopped and emptied; any other
    # directory with something in it is left alone.
    if os.path.exists(os.path.join(root, 'etc', 'ports.json')):
        stop(root)
        shutil.rmtree(root)
    elif os.path.isdir(root) and os.listdir(root):
        raise SystemExit('local_s3: %s is not empty and holds no store' % root)
    for sub in ('etc', 'srv/d1', 'log', 'run'):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    ports = {name: free_port() for name in SERVERS}
    etc = os.path.join(root, 'etc')
    write(os.path.join(etc, 'swift.conf'), SWIFT_CONF)
    for name in ('account', 'container', 'object'):
        write(os.path.join(etc, name + '-server.conf'),
              STORAGE_TEMPLATE.format(port=ports[name], root=root, name=name))
    write(os.path.join(etc, 'proxy-server.conf'),
          PROXY_TEMPLATE.format(port=ports['proxy'], root=root,
                                region=REGION, secret=SECRET_KEY))
    write(os.path.join(etc, 'ports.json'), json.dumps(ports))
    from swift.common import utils
    utils.set_swift_dir(etc)
    build_rings(etc, ports)
    netrc = os.path.join(root, 'netrc')
    write(netrc, 'machine 127.0.0.1 login %s password %s\n'
          % (ACCESS_KEY, SECRET_KEY), 0o600)
    write(os.path.join(root, 'env'),
          "export AWS_ENDPOINT_URL='http://127.0.0.1:%d'\n"
          "export AWS_ACCESS_KEY_ID='%s'\n"
          "export AWS_SECRET_ACCESS_KEY='%s'\n"
          "export AWS_REGION='%s'\n"
          "export KOR_TEST_NETRC='%s'\n"
          % (ports['proxy'], ACCESS_KEY, SECRET_KEY, REGION, netrc), 0o600)
    for name in SERVERS:
        spawn(root, name)
    try:
        wait_ready(root, ports, SERVERS)
        for bucket in buckets:
            make_bucket(root, bucket)
    except BaseException:
        stop(root)
        raise
    with open(os.path.join(root, 'env')) as f:
        sys.stdout.write(f.read())


def alive(pid):
    """True while the process runs (a zombie awaiting its reaper is gone)."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rpartition(')')[2].split()[0] != 'Z'
    except OSError:
        return False


def stop_server(root, name):
    pid_file = os.path.join(root, 'run', name + '.pid')
    try:
        with open(pid_file) as f:
            pid = int(f.read())
    except (OSError, ValueError):
        return
    # Killed outright: a test store keeps nothing worth a clean shutdown,
    # and eventlet's graceful stop waits for idle client connections.
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        if not alive(pid):
            break
        time.sleep(0.01)
    os.unlink(pid_file)


def stop(root):
    for name in reversed(SERVERS):
        stop_server(root, name)


def start_proxy(root):
    with open(os.path.join(root, 'etc', 'ports.json')) as f:
        ports = json.load(f)
    spawn(root, 'proxy')
    wait_ready(root, ports, ('proxy',))


def serve(root, name):
    """One server, in the foreground, logging into DIR/log/NAME.log."""
    import logging
    from swift.common import utils
    log_file = os.path.join(root, 'log', name + '.log')
    # Swift logs to syslog only; this store keeps its logs beside its data.
    utils.ThreadSafeSysLogHandler = (
        lambda *args, **kwargs: logging.FileHandler(log_file))
    utils.set_swift_dir(os.path.join(root, 'etc'))
    if name == 'object':
        # A test store's data need not survive a crash of the machine.  The
        # object server syncs every object it stores on its one thread, so
        # each part of an upload would wait for the disk and stall the
        # others; nor does it keep what it wrote in the page cache.
        from swift.obj import diskfile
        for call in ('fsync', 'fdatasync', 'fsync_dir', 'drop_buffer_cache'):
            setattr(diskfile, call, lambda *args, **kwargs: None)
    from swift.common.wsgi import run_wsgi
    conf = os.path.join(root, 'etc', name + '-server.conf')
    sys.exit(run_wsgi(conf, name + '-server'))


def main(argv):
    if len(argv) >= 3 and argv[1] == 'start':
        start(argv[2], argv[3:])
    elif len(argv) == 3 and argv[1] == 'stop':
        stop(os.path.abspath(argv[2]))
    elif len(argv) == 3 and argv[1] == 'stop-proxy':
        stop_server(os.path.abspath(argv[2]), 'proxy')
    elif len(argv) == 3 and argv[1] == 'start-proxy':
        start_proxy(os.path.abspath(argv[2]))
    elif len(argv) == 4 and argv[1] == 'serve':
        serve(argv[2], argv[3])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    try:
        import swift  # noqa: F401
    except ImportError:
        raise SystemExit('local_s3: OpenStack Swift is not installed for %s '
                         '(Debian package python3-swift)' % sys.executable)
    sys.exit(main(sys.argv))
