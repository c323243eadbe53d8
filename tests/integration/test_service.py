"""kelstart and kelreset on a real installation: the debug run, reset,
stop, a second instance, the switches, a corrupted settings file and a web
server that dies."""
import http.client
import json
import grp
import os
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from control_service import ControlService  # noqa: E402
from kelharness import Client, Installation, Service, wait_until  # noqa: E402
from legacy_port_holder import LegacyPortHolder  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"}
# Apache reaps the access log's rotatelogs that a graceful restart replaced.
RESTARTED_LOGGER = r"AH00291: long lost child came home!"
RESET_TEXT = "The QX Kel Portal has been reset.\n"
# The local administrator (127.0.0.1) may post settings.
ADMIN_SETTINGS = dict(SETTINGS, **{"localaccess-enabled": "True", "localaccess-type": "Administrator"})
QXKEL_UID = pwd.getpwnam("qxkel").pw_uid
RESTART_ALERT = r"\[kel_config:alert\].*requested a graceful restart\."


def control(inst, request, wait=True):
    """One request on the service's control socket; its answer line."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as c:
        # Blocking, as the service's own clients connect: a full backlog
        # makes the caller wait instead of failing.
        c.connect(inst.path("run", "kelsvc.sock"))
        c.settimeout(60)
        c.sendall(request.encode() + b"\n")
        return c.recv(64).decode() if wait else ""


def worker_pid(inst, parent):
    """The web server's worker process: its child that runs as qxkel with the
    most threads (a listener, a main thread and the request threads)."""
    best, threads = None, 2
    with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
        children = f.read().split()
    for child in children:
        try:
            with open("/proc/%s/status" % child) as f:
                if "\nUid:\t%d\t" % QXKEL_UID not in f.read():
                    continue
            n = len(os.listdir("/proc/%s/task" % child))
        except OSError:
            continue
        if n > threads:
            best, threads = int(child), n
    return best




# What the account of the web server's workers tries, each step reported as
# "done" or "refused"; run through setpriv as qxkel.
_QXKEL_ATTEMPTS = r"""
import json, os, sys
base, ssl, pid = sys.argv[1], sys.argv[2], sys.argv[3]
def attempt(action):
    try:
        action()
        return "done"
    except OSError:
        return "refused"
def write(path, text, mode="w"):
    with open(path, mode) as f:
        f.write(text)
def replace(path, text):
    tmp = os.path.join(os.path.dirname(path), ".qxkel-try")
    write(tmp, text)
    try:
        os.rename(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
def replace_dir(path):
    os.rename(path, path + ".old")
    os.rename(path + ".old", path)
conf = os.path.join(base, "conf", "kelpd.conf")
run = os.path.join(base, "run")
settings = open(os.path.join(base, "conf", "kelpd.xml")).read()
cert = open(os.path.join(ssl, "cert.pem")).read()
print(json.dumps({
    "write configuration": attempt(lambda: write(conf, "Include /tmp/x\n", "a")),
    "replace configuration": attempt(lambda: replace(conf, "ServerRoot /tmp\n")),
    "write pid file": attempt(lambda: write(os.path.join(run, "httpd.pid"), pid)),
    "replace pid file": attempt(lambda: replace(os.path.join(run, "httpd.pid"), pid)),
    "write in run directory": attempt(lambda: write(os.path.join(run, "x"), "")),
    "replace control socket": attempt(lambda: replace(os.path.join(run, "kelsvc.sock"), "")),
    "read key": attempt(lambda: open(os.path.join(ssl, "file.pem")).read()),
    "replace key": attempt(lambda: replace(os.path.join(ssl, "file.pem"), "x")),
    "replace base/conf": attempt(lambda: replace_dir(os.path.join(base, "conf"))),
    "replace settings": attempt(lambda: replace(os.path.join(base, "conf", "kelpd.xml"), settings)),
    "replace certificate": attempt(lambda: replace(os.path.join(ssl, "cert.pem"), cert)),
    "write old pid file": attempt(lambda: write(os.path.join(base, "logs", "httpd.pid"), pid)),
    "write navigation file": attempt(lambda: write(os.path.join(base, "data", "htdocs", "navfile.htm"), "")),
    "write merged help": attempt(lambda: write(os.path.join(base, "data", "help", "drkhelp.hhc"), "")),
    "replace portal help": attempt(lambda: replace(os.path.join(base, "data", "help", "index.html"), "x")),
    "write a page": attempt(lambda: write(os.path.join(base, "data", "htdocs", "x.htm"), "")),
}))
"""


def as_qxkel(inst, pid):
    r = subprocess.run(["setpriv", "--reuid=qxkel", "--regid=qxkel", "--init-groups", sys.executable, "-c",
                        _QXKEL_ATTEMPTS, inst.base, inst.ssl, str(pid)],
                       capture_output=True, text=True, timeout=30, check=True)
    return json.loads(r.stdout)


def print_modes(inst):
    """Owner and mode of everything under the base and SSL directories, and
    whether qxkel may write it: on standard error when KEL_PRINT_MODES is set."""
    if not os.environ.get("KEL_PRINT_MODES"):
        return
    lines = []
    for top in (inst.base, inst.ssl):
        for d, dirs, files in os.walk(top):
            dirs.sort()
            for name in [""] + sorted(files):
                path = os.path.join(d, name) if name else d
                st = os.lstat(path)
                check = subprocess.run(["setpriv", "--reuid=qxkel", "--regid=qxkel", "--init-groups", "test",
                                        "-w", path])
                lines.append("%s %04o %s:%s %s" % (stat.filemode(st.st_mode), st.st_mode & 0o7777,
                                                   pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name,
                                                   ("qxkel-writable " if check.returncode == 0 else "")
                                                   + os.path.relpath(path, inst.root)))
    sys.stderr.write("\n".join(lines) + "\n")


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.inst.write_settings(SETTINGS)

    def tearDown(self):
        self.inst.remove()

    def test_debug_run_serves_both_ports_and_ends_on_enter(self):
        with Service(self.inst) as svc:
            self.assertEqual(svc.https("/")[0], 200)
            self.assertEqual(svc.http("/")[0], 200)
            code, out, err = svc.stop()
        self.assertEqual(code, 0)
        self.assertIn("KelSvc: Successfully finished SSLServerInit()", err)
        self.assertIn("KelSvc: Successfully Parsed XML and Generated CONF file", err)
        self.assertIn("QX Kel Portal is running...\n\nPress Enter or Ctrl-C to stop.", err)
        self.assertIn("event 0x40FF000A: The QX Kel Portal Win32 service has been stopped successfully.", err)
        self.assertEqual(self.inst.processes("qxkeld") + self.inst.processes("rotatelogs"), [])
        self.assertFalse(os.path.exists(self.inst.path("run", "kelsvc.sock")))

    def test_reset_restarts_gracefully_on_a_regenerated_configuration(self):
        self.inst.write_settings(dict(SETTINGS, **{"max-threads": "64"}))
        with Service(self.inst, expected_log=[RESTARTED_LOGGER]) as svc:
            self.assertEqual(svc.worker_threads(66), 66)
            parent = svc.server_pid()
            self.inst.write_settings(dict(SETTINGS, **{"max-threads": "100"}))
            self.assertEqual(svc.run("kelreset"), (0, RESET_TEXT, ""))
            self.assertIn("ThreadsPerChild     100\n", self.inst.read("conf", "kelpd.conf"))
            self.assertEqual(svc.worker_threads(102), 102)
            self.assertEqual(svc.server_pid(), parent)
            self.assertEqual(svc.https("/")[0], 200)

    def test_stop_switch_ends_only_this_installation(self):
        other = Installation(certificate=False)
        try:
            # A program that merely carries the name, from another directory.
            shutil.copy("/bin/sleep", other.bin("qxkeld"))
            stranger = subprocess.Popen([other.bin("qxkeld"), "60"])
            with Service(self.inst) as svc:
                code, out, err = svc.run("kelstart", "/s")
                self.assertEqual(code, 0)
                self.assertEqual(svc.stop(enter=False)[0], 0)
                self.assertEqual(self.inst.processes("qxkeld") + self.inst.processes("rotatelogs"), [])
                self.assertIsNone(stranger.poll())
                # Without a running instance /s has nothing to do.
                self.assertEqual(svc.run("kelstart", "/s"), (0, "", ""))
        finally:
            stranger.kill()
            stranger.wait()
            other.remove()

    def test_second_instance_and_switches(self):
        with Service(self.inst) as svc:
            for args in ((), ("/d",)):
                code, out, err = svc.run("kelstart", *args)
                self.assertEqual(code, 0)
                self.assertIn("event 0xC0FF000B: The QX Kel Portal Win32 service could not be started "
                              "successfully. QX Kel Portal service is already running.", err)
            self.assertEqual(svc.run("kelstart", "/k"), (0, "", ""))
            code, out, err = svc.run("kelstart", "x")
            self.assertIn("could not be started successfully. Usage: KELStart.exe [/d | /k]\n"
                          "   /d = Debug mode - runs as a process.\n  /k = Shutdown/restart HTTP server ", err)
            self.assertEqual(svc.https("/")[0], 200)
            self.assertIsNone(svc.proc.poll())

    def test_locked_legacy_port_is_claimed_from_its_holder(self):
        self.inst.write_settings(dict(SETTINGS, **{"lock-ports": "1"}))
        with LegacyPortHolder() as holder, Service(self.inst) as svc:
            self.assertEqual(holder.request, b"GET /proxy/Reconnect?Version=99.99.0.0 HTTP/1.0\r\n\r\n\0")
            self.assertEqual(svc.http("/")[0], 200)

    def test_corrupted_settings_file_is_replaced_by_the_default(self):
        with open(self.inst.path("conf", "kelpd.xml"), "w") as f:
            f.write('<?xml version="1.0"?>\n<kel-portal>\n<max-threads>100</max-thr')
        with Service(self.inst) as svc:
            settings = self.inst.read("conf", "kelpd.xml")
            self.assertTrue(settings.startswith('<?xml version="1.0" encoding="UTF-8"?>\n<kel-portal>\n'))
            self.assertEqual(len(settings), 621)
            log = self.inst.read("logs", "kel.log")
            self.assertIn("Configuration file is corrupted or missing, a default configuration file has been "
                          "generated for you for proper startup,you have to reset the configuration to your "
                          "desired settings.", log)
            # The defaults want a login: the homepage sends a browser there.
            self.assertEqual(svc.https("/")[0], 302)
            self.assertEqual(svc.https("/drklogin.php")[0], 200)

    def test_killed_web_server_is_started_again(self):
        with Service(self.inst) as svc:
            first = svc.server_pid()
            os.kill(first, signal.SIGKILL)

            def new_server():
                try:
                    pid = svc.server_pid(timeout=0)
                except AssertionError:
                    return None
                return pid if pid != first and os.path.exists("/proc/%d" % pid) else None
            self.assertIsNotNone(wait_until(new_server, 30))
            svc.wait_for_ports()
            self.assertEqual(wait_until(lambda: svc.https("/")[0] == 200, 10), True)
            self.assertIn("ServiceMain: the web server exited unexpectedly (signal 9); it is started again in 1 s.",
                          self.inst.read("logs", "kel.log"))
            self.assertIsNone(svc.proc.poll())

    def test_web_server_that_does_not_stay_up_stops_the_service(self):
        with Service(self.inst) as svc:
            first = svc.server_pid()
            # From now on every start fails at once.
            shutil.copy("/bin/false", self.inst.bin("qxkeld.new"))
            os.replace(self.inst.bin("qxkeld.new"), self.inst.bin("qxkeld"))
            os.kill(first, signal.SIGKILL)
            code, out, err = svc.stop(timeout=90, enter=False)
        self.assertNotEqual(code, 0)
        log = self.inst.read("logs", "kel.log")
        self.assertIn("it is started again in 1 s.", log)
        self.assertIn("ServiceMain: the web server did not start (exit code 1); it is started again in 8 s.", log)
        self.assertIn("ServiceMain: the web server did not start (exit code 1); 5 starts in a row have failed, "
                      "the service stops.", log)
        self.assertIn("event 0xC0FF000B: The QX Kel Portal Win32 service could not be started successfully. "
                      "Start QX Kel Portal service dispatcher", err)
        self.assertIn("KelSvc: QX Kel Portal failed to start.", err)
        self.assertEqual(self.inst.processes("qxkeld") + self.inst.processes("rotatelogs"), [])


    def test_restart_storm_is_merged_and_leaves_a_serving_web_server(self):
        self.inst.write_settings(ADMIN_SETTINGS)
        with Service(self.inst, expected_log=[RESTARTED_LOGGER, RESTART_ALERT]) as svc:
            parent = svc.server_pid()
            failures = []

            def settings_client():
                # Every second save changes a setting that needs a restart.
                for i in range(60):
                    body = ("ip-restricted-logins=%s" % ("True", "False")[i % 4 // 2] if i % 2
                            else "session-timeout=%d" % (10 + i % 5))
                    r = Client(self.inst, timeout=60).post_form("/proxy/SetKELData", body)
                    if r.location != "/message.php?202&2":
                        failures.append(("save", i, r.status, r.location))

            def reset_client():
                for i in range(40):
                    result = svc.run("kelreset")
                    if result != (0, RESET_TEXT, ""):
                        failures.append(("kelreset", i, result))

            def control_client():
                # Requests that do not wait for their answer: a burst.
                for i in range(200):
                    control(self.inst, "CONTROL 128", wait=False)

            def guarded(client):
                try:
                    client()
                except Exception as e:  # noqa: BLE001 - reported as a failure of the test
                    failures.append((client.__name__, repr(e)))
            clients = [threading.Thread(target=guarded, args=(f,))
                       for f in (settings_client, reset_client, control_client)]
            for c in clients:
                c.start()
            for c in clients:
                c.join(240)
            self.assertFalse(any(c.is_alive() for c in clients))
            self.assertEqual(failures, [])
            self.assertEqual(wait_until(lambda: control(self.inst, "STATUS") == "STATE 4\n", 30), True)
            self.assertEqual(svc.https("/")[0], 200)
            self.assertEqual(svc.http("/")[0], 200)
            self.assertIsNotNone(worker_pid(self.inst, svc.server_pid()))
            # Graceful restarts only: the parent stayed the same.
            self.assertEqual(svc.server_pid(), parent)
            self.assertNotIn("ServiceMain:", self.inst.read("logs", "kel.log"))

    def test_web_server_that_stops_serving_is_restarted(self):
        with Service(self.inst) as svc:
            parent = svc.server_pid()
            worker = wait_until(lambda: worker_pid(self.inst, parent))
            self.assertIsNotNone(worker)
            # The parent lives on and the ports stay open, but nobody answers.
            os.kill(worker, signal.SIGSTOP)
            started = time.monotonic()

            def serving_again():
                try:
                    if svc.server_pid(timeout=0) == parent:
                        return False
                    return Client(self.inst, port=2301, timeout=1).get("/")[0] == 200
                except (OSError, AssertionError, http.client.HTTPException):
                    return False
            self.assertTrue(wait_until(serving_again, 40, 0.2))
            self.assertLess(time.monotonic() - started, 30)
            self.assertFalse(os.path.exists("/proc/%d" % worker))
            self.assertEqual(wait_until(lambda: control(self.inst, "STATUS") == "STATE 4\n", 10), True)
            # Stopped soon after its start, it may not have answered yet.
            self.assertRegex(self.inst.read("logs", "kel.log"), "ServiceMain: the web server (stopped serving|did "
                                                                "not begin to serve); it is started again in 1 s.")
            self.assertEqual(svc.https("/")[0], 200)

    def test_the_workers_account_cannot_steer_root(self):
        with Service(self.inst, expected_log=[RESTARTED_LOGGER]) as svc:
            parent = svc.server_pid()
            bystander = subprocess.Popen(["sleep", "60"])  # a root process
            try:
                attempts = as_qxkel(self.inst, bystander.pid)
                self.assertEqual(attempts, {
                    "write configuration": "refused", "replace configuration": "refused",
                    "write pid file": "refused", "replace pid file": "refused",
                    "write in run directory": "refused", "replace control socket": "refused",
                    "read key": "refused", "replace key": "refused", "replace base/conf": "refused",
                    "replace portal help": "refused", "write a page": "refused",
                    # What the workers must write, they can.
                    "replace settings": "done", "replace certificate": "done",
                    "write old pid file": "done", "write navigation file": "done", "write merged help": "done"})
                self.assertEqual(svc.run("kelreset"), (0, RESET_TEXT, ""))
                self.assertIsNone(bystander.poll())
                self.assertEqual(svc.server_pid(), parent)
                self.assertEqual(svc.https("/")[0], 200)
            finally:
                bystander.kill()
                bystander.wait()
            print_modes(self.inst)


class ResetOutcomeTest(unittest.TestCase):
    """kelreset against what may or may not listen on the control socket."""

    def setUp(self):
        self.inst = Installation(certificate=False)
        os.makedirs(self.inst.path("run"))
        self.sock = self.inst.path("run", "kelsvc.sock")
        self.env = dict(self.inst.env, KELSVC_TEST_POLL="10,3")

    def tearDown(self):
        self.inst.remove()

    def reset(self):
        r = subprocess.run([self.inst.bin("kelreset")], env=self.env, capture_output=True, timeout=30)
        return r.returncode, r.stdout.decode()

    def test_outcomes(self):
        self.assertEqual(self.reset(), (2, "Unable to open the QX Kel Portal service.\n"))

        dead = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        dead.bind(self.sock)  # bound, nobody listens
        try:
            self.assertEqual(self.reset(), (3, "An error occurred when sending the restart message to \n"
                                               "the QX Kel Portal service.\n"))
        finally:
            dead.close()
            os.unlink(self.sock)

        with ControlService(self.sock, 2) as stuck:
            self.assertEqual(self.reset(), (5, "A timeout occurred while retrieving status information \n"
                                               "from the QX Kel Portal service.\n"))
            self.assertEqual(stuck.status_queries, 3)
            self.assertEqual(stuck.controls, ["CONTROL 128"])

        with ControlService(self.sock, 4) as running:
            self.assertEqual(self.reset(), (0, RESET_TEXT))
            self.assertEqual(running.status_queries, 0)  # reported as reset at once

        with ControlService(self.sock, 1):
            self.assertEqual(self.reset(), (255, ""))  # stopped instead: nothing printed

        shutil.rmtree(self.inst.path("run"))
        self.assertEqual(self.reset(), (1, "Unable to open the Service Control Manager.\n"))


if __name__ == "__main__":
    unittest.main()
