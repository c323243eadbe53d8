"""kelstart and kelreset on a real installation: the debug run, reset,
stop, a second instance, the switches, a corrupted settings file and a web
server that dies."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from control_service import ControlService  # noqa: E402
from kelharness import Installation, Service  # noqa: E402
from legacy_port_holder import LegacyPortHolder  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"}
# Apache reaps the access log's rotatelogs that a graceful restart replaced.
RESTARTED_LOGGER = r"AH00291: long lost child came home!"
RESET_TEXT = "The QX Kel Portal has been reset.\n"


def wait_until(condition, timeout=20, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


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
