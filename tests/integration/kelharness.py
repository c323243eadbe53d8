"""One way to run a real qxkeld in tests: an installed base directory in a
temporary folder, a settings file, the service's file steps (kel_prepare),
the web server in the foreground, and a check of its error log."""
import ctypes
import glob
import http.client
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import kelcerts

BUILD_DIR = os.environ["KEL_BUILD_DIR"]
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")
CMAKE = os.environ.get("KEL_CMAKE", "cmake")
PREPARE = os.environ["KEL_PREPARE"]

# A level in an error-log line: "[ssl:warn]", "[core:error]", ...
_BAD_LEVEL = re.compile(r"\[(?:[\w.]+:)?(warn|error|crit|alert|emerg)\]")


class Installation:
    """A base directory laid out by `cmake --install`, with an SSL share
    directory holding a certificate made by kelcerts (or, with
    certificate=False, none: the service's check then makes one)."""

    def __init__(self, certificate=True):
        self.root = tempfile.mkdtemp(prefix="kel-it-")
        os.chmod(self.root, 0o755)  # the workers (qxkel) must reach the base directory
        self.base = os.path.join(self.root, "base")
        self.ssl = os.path.join(self.root, "sslshare")
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", self.base],
                       check=True, stdout=subprocess.DEVNULL)
        os.makedirs(self.ssl)
        if certificate:
            self._make_certificate()
        self.env = dict(os.environ, KELSVC_BASE_DIR=self.base, KELSVC_WRITE_DIR=self.base,
                        SSL_SHARE_BASE_DIR=self.ssl)

    def _make_certificate(self):
        # mod_ssl matches the server name against DNS names only.
        cert, key = kelcerts.make("127.0.0.1", dns=["127.0.0.1"], ips=["127.0.0.1"])
        kelcerts.write(os.path.join(self.ssl, "cert.pem"), cert)
        kelcerts.write(os.path.join(self.ssl, "file.pem"), key, 0o600)

    def path(self, *parts):
        return os.path.join(self.base, *parts)

    def write_settings(self, elements):
        body = "".join("<%s>%s</%s>\n" % (k, v, k) for k, v in elements.items())
        with open(self.path("conf", "kelpd.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<kel-portal>\n%s</kel-portal>' % body)

    def bin(self, name):
        return self.path("bin", name)

    def read(self, *parts):
        with open(self.path(*parts), errors="replace") as f:
            return f.read()

    def processes(self, name):
        """Pids of the processes whose executable is this installation's
        bin/<name>."""
        return processes(self.bin(name))

    def prepare(self):
        # The service's steps run without the fake accounts' libraries.
        env = {k: v for k, v in self.env.items() if not k.startswith(("LD_PRELOAD", "PAM_", "NSS_"))}
        subprocess.run([PREPARE], env=env, check=True)

    def load_probe(self, extra=""):
        """Adds the test-only probe module (tests/tools/mod_kel_probe.cc) at
        /kelprobe, and extra lines, to the generated configuration."""
        with open(self.path("conf", "kelpd.conf"), "a") as f:
            f.write("LoadModule kel_probe_module %s\n<Location /kelprobe>\nSetHandler kel_probe_handler\n"
                    "</Location>\n%s" % (os.environ["KEL_PROBE"], extra))

    def use_fake_accounts(self):
        """The web server checks passwords and groups against the fake
        accounts of tests/fixtures (pam_wrapper with pam_matrix, nss_wrapper),
        plus the web server's own account as it really is: nothing in /etc
        is changed."""
        accounts = tempfile.mkdtemp(dir=self.root)
        passwd, group = os.path.join(accounts, "passwd"), os.path.join(accounts, "group")
        for path, database, fixture in ((passwd, "passwd", "nss/passwd"), (group, "group", "nss/group")):
            with open(path, "w") as f:
                with open(os.path.join(FIXTURES, fixture)) as src:
                    f.write(src.read())
                f.write(subprocess.run(["getent", database, "qxkel"], capture_output=True, text=True).stdout)
        self.env = dict(self.env, LD_PRELOAD="%s:%s" % (os.environ["KEL_PAM_WRAPPER"], os.environ["KEL_NSS_WRAPPER"]),
                        PAM_WRAPPER="1", PAM_WRAPPER_SERVICE_DIR=os.environ["KEL_PAM_DIR"],
                        NSS_WRAPPER_PASSWD=passwd, NSS_WRAPPER_GROUP=group)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def processes(program):
    """Pids of the processes whose executable is program (or was, before
    it was replaced or removed)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if exe == program or exe == program + " (deleted)":
            found.append(int(pid))
    return found


def error_log(inst):
    """The web server's error log (every rotated piece, in order)."""
    text = ""
    for f in sorted(glob.glob(inst.path("logs", "error_log*"))):
        with open(f, errors="replace") as fh:
            text += fh.read()
    return text


def check_error_log(inst, expected=(), since=0):
    """Fails on a warning or error line that no expected pattern explains;
    with since, only the lines written after that offset of the log."""
    patterns = [e if hasattr(e, "search") else re.compile(e) for e in expected]
    bad = [line for line in error_log(inst)[since:].splitlines()
           if _BAD_LEVEL.search(line) and not any(p.search(line) for p in patterns)]
    if bad:
        raise AssertionError("unexpected lines in the error log:\n" + "\n".join(bad))


class InstallationTest(unittest.TestCase):
    """A test class with one installation for all its tests."""
    certificate = True

    @classmethod
    def setUpClass(cls):
        cls.inst = Installation(certificate=cls.certificate)

    @classmethod
    def tearDownClass(cls):
        cls.inst.remove()


class ServerTest(InstallationTest):
    """A test class with one running server for all its tests (start it in
    setUpClass as cls.server). The error log is checked after every test,
    for the lines that test wrote, with that test's own allowances: one
    test's expected warning cannot hide another's."""
    server = None

    @classmethod
    def start_server(cls, server):
        """Starts server as the class's server; it is stopped after the
        class even when the rest of setUpClass fails."""
        cls.server = server.__enter__()
        cls.addClassCleanup(server.__exit__, None, None, None)
        return cls.server

    def setUp(self):
        self._allowed = []
        self._log_mark = self.server.error_log_size() if self.server else 0

    def allow_log(self, *patterns):
        """Lines this test expects in the error log."""
        self._allowed += [re.compile(p) for p in patterns]

    def tearDown(self):
        if self.server:
            self.server.check_error_log(self._allowed, since=self._log_mark)


class ReservedAgentPorts:
    """While a test counts which legacy agent ports (49400-49439) are free,
    the kernel must not hand them out as the local ports of outgoing
    connections (they lie in its ephemeral range): they are reserved in this
    network namespace for the test and given back after it."""
    PATH = "/proc/sys/net/ipv4/ip_local_reserved_ports"
    RANGE = "49400-49439"

    def __enter__(self):
        with open(self.PATH) as f:
            self.old = f.read().strip()
        with open(self.PATH, "w") as f:
            f.write(self.RANGE + ("," + self.old if self.old else ""))
        return self

    def __exit__(self, *exc):
        with open(self.PATH, "w") as f:
            f.write(self.old or "\n")


def _end_with_the_test():
    """In the started program: SIGTERM when the test process ends, however it
    ends (a time-out of the test runner kills it without clean-up)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class _RunningServer:
    """What tests look at on a running web server: its error log, its
    worker threads, and its two ports."""
    _checked = 0  # how much of the error log a check has passed

    def error_log(self):
        return error_log(self.inst)

    def check_error_log(self, expected=None, since=None):
        """Without since: the lines no earlier check has looked at."""
        size = self.error_log_size()
        check_error_log(self.inst, self.expected if expected is None else self.expected + list(expected),
                        self._checked if since is None else since)
        self._checked = max(self._checked, size)

    def error_log_size(self):
        return len(self.error_log())

    def error_log_with(self, text, timeout=5):
        """The error log once it holds text (its lines pass through
        rotatelogs, so they land a moment after the answer)."""
        end = time.monotonic() + timeout
        log = self.error_log()
        while text not in log and time.monotonic() < end:
            time.sleep(0.05)
            log = self.error_log()
        return log

    def clear_error_log(self):
        for f in glob.glob(self.inst.path("logs", "error_log*")):
            os.unlink(f)
        self._checked = 0

    def server_pid(self, timeout=20):
        """The web server's parent, once it has written its pid file and the
        process is there (it opens its listeners before it writes the file)."""
        end = time.monotonic() + timeout
        while True:
            try:
                with open(self.inst.path("run", "httpd.pid")) as f:
                    pid = int(f.read().strip())
                if os.path.exists("/proc/%d" % pid):
                    return pid
            except (OSError, ValueError):
                pass
            if time.monotonic() > end:
                raise AssertionError("the web server wrote no pid file")
            time.sleep(0.05)

    def wait_for_ports(self, timeout=20):
        for port in (2301, 2381):
            wait_for_port(port, self.proc, self.error_log, timeout)

    def worker_threads(self, expected, timeout=10):
        """Thread count of the web server's worker process (the child of
        qxkeld with the most threads; the CGI daemon has one), polled until
        it is the expected one or the time is up."""
        end = time.monotonic() + timeout
        while True:
            counts = [0]
            try:
                parent = self.server_pid(max(0.0, end - time.monotonic()))
                tasks = os.listdir("/proc/%s/task" % parent)
            except (OSError, AssertionError):
                tasks = []
            for task in tasks:
                try:
                    with open("/proc/%s/task/%s/children" % (parent, task)) as f:
                        children = f.read().split()
                except OSError:
                    continue
                for child in children:
                    try:
                        if os.path.basename(os.readlink("/proc/%s/exe" % child)) == "qxkeld":
                            counts.append(len(os.listdir("/proc/%s/task" % child)))
                    except OSError:
                        continue
            if max(counts) == expected or time.monotonic() > end:
                return max(counts)
            time.sleep(0.2)

    # Clients.
    def https(self, path):
        return Client(self.inst).get(path)

    def http(self, path, source="127.0.0.1"):
        return Client(self.inst, source, port=2301).get(path)


class Response:
    """What a test looks at of an answer."""

    def __init__(self, resp):
        self.status = resp.status
        self.headers = dict(resp.getheaders())
        self.location = resp.getheader("Location")
        self.content_type = resp.getheader("Content-Type")
        self.set_cookie = resp.getheader("Set-Cookie")
        self.body = resp.read().decode(errors="replace")


class Client:
    """The one HTTP client of the tests: HTTPS on 2381 trusting the
    installation's certificate (or the authorities of cafile), or plain HTTP
    on any other port; from a chosen 127/8 source address; it keeps the
    session cookie it is given. host is the name the certificate must
    carry (it resolves to 127.0.0.1)."""

    def __init__(self, inst, source="127.0.0.1", port=2381, timeout=30, cafile=None, host="127.0.0.1"):
        self.inst = inst
        self.cafile = cafile or os.path.join(inst.ssl, "cert.pem")
        self.host = host
        self.source = source
        self.port = port
        self.timeout = timeout
        self.cookie = None

    def connection(self):
        if self.port == 2381:
            ctx = ssl.create_default_context(cafile=self.cafile)
            return http.client.HTTPSConnection(self.host, self.port, context=ctx, timeout=self.timeout,
                                               source_address=(self.source, 0))
        return http.client.HTTPConnection(self.host, self.port, timeout=self.timeout,
                                          source_address=(self.source, 0))

    def request(self, method, path, body=None, headers=None):
        h = dict(headers or {})
        if self.cookie and "Cookie" not in h:
            h["Cookie"] = self.cookie
        conn = self.connection()
        try:
            conn.request(method, path, body=body, headers=h)
            r = Response(conn.getresponse())
        finally:
            conn.close()
        if r.set_cookie and r.set_cookie.startswith("QXKELSESSION="):
            self.cookie = None if "Max-Age=0" in r.set_cookie else r.set_cookie.split(";")[0]
        return r

    def get(self, path, headers=None):
        """(status, body)"""
        r = self.request("GET", path, headers=headers)
        return r.status, r.body

    def post_form(self, path, form, headers=None):
        """form: a dict, or the encoded text as it is."""
        body = form if isinstance(form, str) else urllib.parse.urlencode(form)
        return self.request("POST", path, body=body,
                            headers=dict({"Content-Type": "application/x-www-form-urlencoded"}, **(headers or {})))

    def login(self, user, password, headers=None):
        return self.post_form("/proxy/kellogin", {"user": user, "password": password}, headers)


def wait_until(condition, timeout=20, step=0.05):
    """condition's first true value, or its last value once the time is up."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def wait_for_port(port, proc, log, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc is not None and proc.poll() is not None:
            raise AssertionError("exited with %s:\n%s" % (proc.returncode, log()))
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            time.sleep(0.1)
    raise AssertionError("nothing listens on %d" % port)


class Server(_RunningServer):
    """qxkeld on the installation's generated configuration."""

    def __init__(self, inst, expected_log=()):
        self.inst = inst
        self.expected = [re.compile(e) for e in expected_log]
        self.proc = None

    def __enter__(self):
        self.clear_error_log()
        self.proc = subprocess.Popen(
            [self.inst.path("bin", "qxkeld"), "-f", self.inst.path("conf", "kelpd.conf"), "-DFOREGROUND"],
            env=self.inst.env, preexec_fn=_end_with_the_test)
        try:
            self.wait_for_ports(15)
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, *exc):
        if self.proc.returncode is not None:
            return  # already stopped
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        if exc[0] is None:
            self.check_error_log()


class Service(_RunningServer):
    """`kelstart /d` of the installation, in the foreground; Enter ends it."""

    def __init__(self, inst, expected_log=(), args=("/d",), env=None):
        self.inst = inst
        self.expected = [re.compile(e) for e in expected_log]
        self.args = list(args)
        self.env = dict(inst.env, **(env or {}))
        self.proc = None

    def __enter__(self):
        self.clear_error_log()
        self.proc = subprocess.Popen([self.inst.bin("kelstart")] + self.args, env=self.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=_end_with_the_test)
        try:
            self.wait_for_ports()
        except BaseException:
            if self.proc.returncode is None:
                self.stop()
            raise
        return self

    def stop(self, timeout=30, enter=True):
        """Enter, as the debug run asks (or, without enter, only the end of
        its input: then it runs on until something else ends it); the exit
        code and output."""
        try:
            out, err = self.proc.communicate(b"\n" if enter else None, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        return self.proc.returncode, out.decode(), err.decode()

    def __exit__(self, *exc):
        if self.proc.returncode is None:
            self.stop()
        if exc[0] is None:
            self.check_error_log()

    def run(self, *args, env=None, timeout=60):
        """Another program of the installation: (exit code, stdout, stderr)."""
        r = subprocess.run([self.inst.bin(args[0])] + list(args[1:]), env=dict(self.env, **(env or {})),
                           capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        return r.returncode, r.stdout.decode(), r.stderr.decode()
