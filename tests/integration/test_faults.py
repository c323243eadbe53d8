"""Crashes at the worst moment and a full disk. The web server's worker, its
parent and kelstart are killed (-9) while settings, certificates and a
discovery are being written; the base directory on a small file system
fills up while they are written. Nothing stored is lost or left half
written, nothing a write left behind outlives the next start, and the
portal comes back (or keeps serving)."""
import ctypes
import http.client
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from cryptography import x509  # noqa: E402

import kelcerts  # noqa: E402
from kelharness import (Client, InstallationTest, ReservedAgentPorts, Service, _end_with_the_test,  # noqa: E402
                        wait_until)
from legacy_agent import LegacyAgent  # noqa: E402
from test_service import control, worker_pid  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn",
            "localaccess-enabled": "True", "localaccess-type": "Administrator",
            "zqnamelist": "fault0", "session-timeout": "10"}
FORM = {"Content-Type": "application/x-www-form-urlencoded"}
ROUNDS = 20
BACK_WITHIN = 30  # seconds from a kill until the portal serves again
# What a write cut short can leave: the atomic writer's temporaries, the
# group configuration's staged certificates, the modules' *.tmp files.
STAGED = re.compile(r"\.staged\d+\.[A-Za-z0-9]{6}$")
# What each discovery of the agent writes.
SERVER_LOG = [r"\[kel_bc:emerg\] .*reload ini file called: portNum=\d+",
              # A parent told to stop while its worker is in the middle of a request.
              r"AH00045: child process \d+ still did not exit, sending a SIGTERM"]
CERT_NAMES = ["alpha.example", "beta.example", "gamma.example"]


def temporaries(inst, older_than=None):
    """Files that a write cut short left anywhere in the installation and
    the SSL share directory, with older_than: only those last written
    before that time."""
    found = []
    for top in (inst.base, inst.ssl, os.path.join(inst.root, "wbem")):
        for d, _, names in os.walk(top):
            for n in names:
                if not (n.endswith(".tmp") or n.endswith(".pem.ras") or STAGED.search(n)):
                    continue
                p = os.path.join(d, n)
                try:
                    if older_than is None or os.stat(p).st_mtime < older_than:
                        found.append(p)
                except FileNotFoundError:
                    pass
    return found


def started_at(pid):
    """When a process started, on the clock of file times (the kernel counts
    from boot in ticks)."""
    with open("/proc/%d/stat" % pid) as f:
        ticks = int(f.read().rsplit(")", 1)[1].split()[19])
    return time.time() - (time.clock_gettime(time.CLOCK_BOOTTIME) - ticks / os.sysconf("SC_CLK_TCK"))


def end_leftovers(inst):
    """The web server a killed kelstart left running, when a test ends
    before it was started again (the new one would end it)."""
    for pid in inst.processes("qxkeld") + inst.processes("rotatelogs"):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def settings_file(inst):
    """The settings file as element texts; fails when it does not parse."""
    root = ET.parse(inst.path("conf", "kelpd.xml")).getroot()
    return {e.tag: e.text or "" for e in root}


class Workload:
    """Settings writes (SetKELData), certificate imports (AddZQCert) and
    discoveries, each looping on a thread of its own until stopped. What
    was sent is kept: a write whose answer is lost may still be stored."""

    def __init__(self, inst, certificates):
        self.inst = inst
        self.certificates = certificates  # file name -> the texts it may hold
        self.sent = {0}  # the settings' sequence numbers
        self.answers = {"settings": [], "certificate": [], "discovery": []}
        self.stopping = threading.Event()
        self.threads = []

    def __enter__(self):
        for loop in (self._settings, self._certificates, self._discovery):
            t = threading.Thread(target=self._guarded, args=(loop,), daemon=True)
            t.start()
            self.threads.append(t)
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        for t in self.threads:
            t.join(90)
        assert not any(t.is_alive() for t in self.threads), "a workload thread hangs"

    def _guarded(self, loop):
        n = 0
        while not self.stopping.is_set():
            n += 1
            try:
                loop(n)
            except (OSError, http.client.HTTPException):
                time.sleep(0.05)  # the web server is down for a moment

    def _post(self, path, body, port=2381):
        return Client(self.inst, port=port, timeout=60).request("POST", path, body=body, headers=FORM)

    @staticmethod
    def settings_of(n):
        return {"zqnamelist": "fault%d" % n, "session-timeout": str(10 + n % 5)}

    def _settings(self, n):
        seq = max(self.sent) + 1
        self.sent.add(seq)
        r = self._post("/proxy/SetKELData", urllib.parse.urlencode(self.settings_of(seq)))
        self.answers["settings"].append(r.location)

    def _certificates(self, n):
        names = sorted(self.certificates)
        texts = self.certificates[names[n % len(names)]]
        r = self._post("/proxy/AddZQCert", "AddZQCert=" + urllib.parse.quote_plus(texts[n // len(names) % len(texts)]))
        self.answers["certificate"].append(r.location)

    def _discovery(self, n):
        r = Client(self.inst, port=2301, timeout=60).request("GET", "/Proxy/Registration")
        self.answers["discovery"].append(r.status)


class FaultTest(InstallationTest):
    """One installation run by kelstart, with a legacy agent to discover."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.addClassCleanup(end_leftovers, cls.inst)
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        wbem = os.path.join(cls.inst.root, "wbem")
        os.makedirs(wbem)
        cls.inst.env = dict(cls.inst.env, KELSVC_WBEM_DIR=wbem)
        cls.inst.write_settings(SETTINGS)
        # Two certificates for each name: a file holds one or the other whole.
        cls.certificates = {}
        for cn in CERT_NAMES:
            cls.certificates[cn + ".pem"] = [kelcerts.make(cn, days=30)[0] for _ in range(2)]

    # What must hold after every crash.
    def check_store(self, work, since):
        values = settings_file(self.inst)
        # Whole and one write's: the defaults never come back.
        self.assertEqual((values["localaccess-enabled"], values["localaccess-type"]), ("True", "Administrator"))
        m = re.fullmatch(r"fault(\d+)", values["zqnamelist"])
        self.assertIsNotNone(m, values)
        seq = int(m.group(1))
        self.assertIn(seq, work.sent)
        self.assertEqual(values["session-timeout"], str(10 + seq % 5) if seq else "10", values)
        certs = self.inst.path("certs")
        for name in os.listdir(certs):
            if STAGED.search(name) or name.startswith("tempZQCert.pem"):
                continue  # a write in progress now, checked below once it is stale
            self.assertIn(name, self.certificates)
            with open(os.path.join(certs, name)) as f:
                text = f.read()
            self.assertIn(text, self.certificates[name], name)
            x509.load_pem_x509_certificate(text.encode())
        self.assertEqual(temporaries(self.inst, since), [])

    def serving(self, svc):
        """The service running and its web server answering on both ports."""
        try:
            return (control(self.inst, "STATUS") == "STATE 4\n" and Client(self.inst, timeout=5).get("/")[0] < 500
                    and Client(self.inst, port=2301, timeout=5).get("/")[0] < 500)
        except (OSError, http.client.HTTPException):
            return False

    def restart_service(self, svc):
        """kelstart again, as an administrator starts it after it died; the
        log of the web server is kept."""
        # Its web server still holds the ends of its output pipes.
        svc.proc.wait(30)
        for pipe in (svc.proc.stdin, svc.proc.stdout, svc.proc.stderr):
            pipe.close()
        svc.proc = subprocess.Popen([self.inst.bin("kelstart")] + svc.args, env=svc.env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    preexec_fn=_end_with_the_test)

    def diagnosis(self, svc):
        """What the service and its web server were doing."""
        lines = [line for line in svc.error_log().splitlines() if "reload ini file" not in line][-30:]
        lines.append(self.inst.read("logs", "kel.log")[-3000:])
        for pid in [svc.proc.pid] + self.inst.processes("qxkeld") + self.inst.processes("rotatelogs"):
            try:
                with open("/proc/%d/stat" % pid) as f:
                    stat = f.read().split(")")[1].split()[:2]
                with open("/proc/%d/wchan" % pid) as f:
                    lines.append("%d %s %s" % (pid, " ".join(stat), f.read()))
            except OSError as e:
                lines.append("%d %s" % (pid, e))
        return "\n".join(lines)

    def kill_rounds(self, svc, work, target):
        for i in range(ROUNDS):
            self.assertTrue(wait_until(lambda: self.serving(svc), BACK_WITHIN), (target, i))
            parent = svc.server_pid()
            worker = wait_until(lambda: worker_pid(self.inst, parent), 10)
            self.assertIsNotNone(worker)
            # Into the middle of the writes.
            time.sleep(random.uniform(0.05, 0.6))
            victim = {"worker": worker, "parent": parent, "kelstart": svc.proc.pid}[target]
            os.kill(victim, signal.SIGKILL)
            killed = time.monotonic()
            if target == "kelstart":
                self.restart_service(svc)

            def back():
                try:
                    now_parent = svc.server_pid(timeout=0)
                    now_worker = worker_pid(self.inst, now_parent)
                except (OSError, AssertionError):
                    return None
                if (target != "worker" and now_parent == parent) or now_worker in (None, worker):
                    return None
                return now_worker if self.serving(svc) else None
            new_worker = wait_until(back, BACK_WITHIN, 0.1)
            self.assertIsNotNone(new_worker, "%s, round %d: the portal did not come back\n%s" % (
                target, i, self.diagnosis(svc)))
            self.assertLess(time.monotonic() - killed, BACK_WITHIN, (target, i))
            self.check_store(work, started_at(new_worker) - 0.02)
        self.assertIsNone(svc.proc.poll())

    def test_kills_during_writes_lose_nothing_and_the_portal_comes_back(self):
        with LegacyAgent(49400, name="FaultAgent"), \
                Service(self.inst, expected_log=SERVER_LOG, args=("/d",)) as svc:
            with Workload(self.inst, self.certificates) as work:
                for target in ("worker", "parent", "kelstart"):
                    with self.subTest(target=target):
                        self.kill_rounds(svc, work, target)
                        if target == "parent":
                            # Read now: kel.log is a ring, and the imports of
                            # the rounds after these write over its oldest lines.
                            self.assertIn("ServiceMain: the web server exited unexpectedly (signal 9); it is started "
                                          "again in 1 s.", self.inst.read("logs", "kel.log"))
            self.assertTrue(wait_until(lambda: self.serving(svc), BACK_WITHIN))
            self.check_store(work, time.time())
            # Each kind of write went through between the kills.
            self.assertIn("/message.php?202&2", work.answers["settings"])
            self.assertIn("/message.php?205&2", work.answers["certificate"])
            self.assertIn(200, work.answers["discovery"])
            # A server that had served was brought back each time.
            self.assertNotIn("starts in a row have failed", self.inst.read("logs", "kel.log"))


CLONE_NEWNS = 0x00020000


def private_mounts():
    """This test process (and what it starts) in a mount namespace of its
    own: what it mounts nobody else sees, and it goes with the process."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS)")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


def fill(path):
    """Writes to a file until the file system is full."""
    with open(path, "ab", buffering=0) as f:
        for chunk in (1 << 20, 1 << 16, 1 << 12, 1 << 9, 1):
            try:
                while True:
                    f.write(b"\0" * chunk)
            except OSError as e:
                if e.errno != 28:  # ENOSPC
                    raise


class DiskFullTest(InstallationTest):
    """The base directory on a small tmpfs of its own."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        private_mounts()
        inst = cls.inst
        inst.write_settings(SETTINGS)
        used = int(subprocess.run(["du", "-sk", inst.base], capture_output=True, text=True, check=True)
                   .stdout.split()[0])
        staging = inst.base + ".installed"
        os.rename(inst.base, staging)
        os.makedirs(inst.base)
        # Room for what the portal writes while it runs, little more.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk,mode=0755" % (used + 4096), "kelfull", inst.base],
                       check=True)
        cls.mounted = True
        subprocess.run(["cp", "-a", staging + "/.", inst.base], check=True)
        shutil.rmtree(staging)
        wbem = os.path.join(inst.root, "wbem")
        os.makedirs(wbem)
        inst.env = dict(inst.env, KELSVC_WBEM_DIR=wbem)
        cls.filler = inst.path("data", "filler")
        cls.certificates = {cn + ".pem": [kelcerts.make(cn, days=30)[0]] for cn in CERT_NAMES}

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "mounted", False):
            subprocess.run(["umount", "-l", cls.inst.base], check=False)
        super().tearDownClass()

    def setUp(self):
        if os.path.exists(self.filler):
            os.unlink(self.filler)

    def set_data(self, form):
        return Client(self.inst).request("POST", "/proxy/SetKELData", body=urllib.parse.urlencode(form),
                                         headers=FORM).location

    def add_certificate(self, text):
        return Client(self.inst).request("POST", "/proxy/AddZQCert", headers=FORM,
                                         body="AddZQCert=" + urllib.parse.quote_plus(text)).location

    def stored(self):
        """Every file that holds what was stored: settings, certificates, map file."""
        files = {name: self.inst.read("conf", name) for name in ("kelpd.xml", "vexolist.map")}
        for name in os.listdir(self.inst.path("certs")):
            files[name] = self.inst.read("certs", name)
        return files

    def test_full_disk_fails_the_writes_keeps_the_store_and_the_portal(self):
        with LegacyAgent(49400, name="FullAgent"), ReservedAgentPorts(), \
                Service(self.inst, expected_log=SERVER_LOG):
            self.assertEqual(self.set_data(Workload.settings_of(1)), "/message.php?202&2")
            self.assertEqual(self.add_certificate(self.certificates["alpha.example.pem"][0]), "/message.php?205&2")
            # The disk fills up while writes are under way.
            with Workload(self.inst, self.certificates) as work:
                time.sleep(1)
                fill(self.filler)
                time.sleep(1)
            # What the writes under way gave back when they ended.
            fill(self.filler)
            self.assertEqual(work.answers["settings"][0], "/message.php?202&2")
            before = self.stored()
            self.assertIn("localaccess-enabled", settings_file(self.inst))
            log_mark = len(self.inst.read("logs", "kel.log"))
            # Each write fails and says so, to the caller and in the log.
            # The disk is topped up before each: anything the portal removes
            # meanwhile gives pages back.
            self.assertEqual(self.set_data({"zqnamelist": "full"}), "/message.php?204&4")
            fill(self.filler)
            self.assertEqual(self.add_certificate(kelcerts.make("delta.example", days=30)[0]), "/message.php?206&4")
            r = Client(self.inst, port=2301, timeout=60).request("GET", "/Proxy/Registration")
            self.assertEqual(r.status, 200)
            log = self.inst.read("logs", "kel.log")[log_mark:]
            self.assertIn("Saving the KEL configuration file %s failed" % self.inst.path("conf", "kelpd.xml"), log)
            self.assertIn("Importing certificate: the file %s/tempZQCert.pem" % self.inst.path("certs"), log)
            # Nothing stored is lost, nothing half written is left.
            self.assertEqual(self.stored(), before)
            self.assertEqual(temporaries(self.inst), [])
            # The portal serves on, from what is stored.
            stored_name = settings_file(self.inst)["zqnamelist"]
            for port in (2381, 2301):
                self.assertEqual(Client(self.inst, port=port).get("/")[0], 200)
            self.assertEqual(Client(self.inst).get("/proxy/GetKELData?Jscript&zqnamelist")[1],
                             'zqnamelist="%s";\n' % stored_name)
            self.assertEqual(control(self.inst, "STATUS"), "STATE 4\n")
            # With room again, writes go through.
            os.unlink(self.filler)
            self.assertEqual(self.set_data({"zqnamelist": "roomy"}), "/message.php?202&2")
            self.assertEqual(settings_file(self.inst)["zqnamelist"], "roomy")

    def test_start_on_a_full_disk_keeps_the_settings(self):
        self.inst.write_settings(dict(SETTINGS, zqnamelist="kept"))
        with Service(self.inst, expected_log=SERVER_LOG) as svc:
            pass
        settings = self.inst.read("conf", "kelpd.xml")
        fill(self.filler)
        svc = Service(self.inst)
        svc.proc = subprocess.Popen([self.inst.bin("kelstart"), "/d"], env=svc.env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=_end_with_the_test)
        code, out, err = svc.stop(timeout=60, enter=False)
        self.assertNotEqual(code, 0)
        self.assertIn("KelSvc: QX Kel Portal failed to start.", err)
        # The configuration could not be written; the settings are the
        # administrator's and stay as they were.
        self.assertEqual(self.inst.read("conf", "kelpd.xml"), settings)
        self.assertIn("Unable to start the KEL service due to failure to write the web server configuration file "
                      + self.inst.path("conf", "kelpd.conf"), self.inst.read("logs", "kel.log"))
        os.unlink(self.filler)
        with Service(self.inst, expected_log=SERVER_LOG):
            self.assertEqual(Client(self.inst).get("/proxy/GetKELData?Jscript&zqnamelist")[1], 'zqnamelist="kept";\n')
        self.assertEqual(temporaries(self.inst), [])


if __name__ == "__main__":
    unittest.main()
