"""One way to run a real qxkeld in tests: an installed base directory in a
temporary folder, a settings file, the service's file steps (kel_prepare),
the web server in the foreground, and a check of its error log."""
import glob
import http.client
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

BUILD_DIR = os.environ["KEL_BUILD_DIR"]
CMAKE = os.environ.get("KEL_CMAKE", "cmake")
PREPARE = os.environ["KEL_PREPARE"]

# A level in an error-log line: "[ssl:warn]", "[core:error]", ...
_BAD_LEVEL = re.compile(r"\[(?:[\w.]+:)?(warn|error|crit|alert|emerg)\]")


class Installation:
    """A base directory laid out by `cmake --install`, with an SSL share
    directory holding a certificate made by the openssl tool (or, with
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
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-keyout", os.path.join(self.ssl, "file.pem"),
             "-out", os.path.join(self.ssl, "cert.pem"), "-subj", "/CN=127.0.0.1",
             # mod_ssl matches the server name against DNS names only.
             "-addext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1",
             "-addext", "basicConstraints=critical,CA:FALSE"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

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
        prefix = self.bin(name)
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                exe = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if exe == prefix or exe == prefix + " (deleted)":
                found.append(int(pid))
        return found

    def prepare(self):
        subprocess.run([PREPARE], env=self.env, check=True)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def error_log(inst):
    """The web server's error log (every rotated piece, in order)."""
    text = ""
    for f in sorted(glob.glob(inst.path("logs", "error_log*"))):
        with open(f, errors="replace") as fh:
            text += fh.read()
    return text


def check_error_log(inst, expected=()):
    """Fails on a warning or error line that no expected pattern explains."""
    patterns = [e if hasattr(e, "search") else re.compile(e) for e in expected]
    bad = [line for line in error_log(inst).splitlines()
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


class _RunningServer:
    """What tests look at on a running web server: its error log, its
    worker threads, and its two ports."""

    def error_log(self):
        return error_log(self.inst)

    def check_error_log(self):
        check_error_log(self.inst, self.expected)

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
        ctx = ssl.create_default_context(cafile=os.path.join(self.inst.ssl, "cert.pem"))
        conn = http.client.HTTPSConnection("127.0.0.1", 2381, context=ctx, timeout=10)
        return self._get(conn, path)

    def http(self, path, source="127.0.0.1"):
        conn = http.client.HTTPConnection("127.0.0.1", 2301, timeout=10, source_address=(source, 0))
        return self._get(conn, path)

    @staticmethod
    def _get(conn, path):
        try:
            conn.request("GET", path)
            resp = conn.getresponse()
            return resp.status, resp.read().decode(errors="replace")
        finally:
            conn.close()


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
            env=self.inst.env)
        self.wait_for_ports(15)
        return self

    def __exit__(self, *exc):
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
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.wait_for_ports()
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
