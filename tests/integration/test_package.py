"""The Debian package on this machine: installed with apt-get, the service
run as its systemd unit would run it, a sign-in over HTTPS with a throw-away
account, an upgrade that keeps the settings and certificates, removal and
purge. Everything the machine had before (the qxkel account, the PAM
service file) is put back as it was."""
import ctypes
import glob
import os
import grp
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

import kelcerts
from kelharness import Client, processes, wait_for_port, wait_until

SOURCE_DIR = os.environ["KEL_SOURCE_DIR"]
BUILD_DIR = os.environ["KEL_BUILD_DIR"]
PACKAGE = "qxkel-portal"
BASE = "/opt/qx/qxkel"
SSL = "/opt/qx/sslshare"
UNIT = "/lib/systemd/system/kelsvc.service"
PAM_FILE = "/etc/pam.d/kelportal"
ACCOUNT = "qxkel"
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=600",
       # A PAM file the machine had before stays as it was.
       "-o", "Dpkg::Options::=--force-confdef", "-o", "Dpkg::Options::=--force-confold"]
CLONE_NEWNET = 0x40000000
# Where the package, its unit's enabling and masking, and the portal's state
# live.
PORTAL_PATHS = ("/opt/qx", PAM_FILE, UNIT, "/etc/systemd/system/kelsvc.service",
                "/etc/systemd/system/multi-user.target.wants/kelsvc.service",
                "/var/lib/systemd/deb-systemd-helper-enabled/kelsvc.service.dsh-also",
                "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/kelsvc.service",
                "/var/lib/systemd/deb-systemd-helper-masked/kelsvc.service")


def run(*cmd, check=True, env=None):
    r = subprocess.run(list(cmd), capture_output=True, text=True, stdin=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive", **(env or {})))
    if check and r.returncode != 0:
        raise AssertionError("%s: exit %d\n%s%s" % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
    return r


def package_status():
    r = run("dpkg-query", "-W", "-f", "${db:Status-Abbrev}${Version}", PACKAGE, check=False)
    return r.stdout.strip() if r.returncode == 0 else ""


def newest_source_change():
    newest = 0.0
    for root, dirs, files in os.walk(SOURCE_DIR):
        # The tests and benchmarks are not in the package.
        dirs[:] = [d for d in dirs if not d.startswith((".git", "build")) and d not in ("__pycache__", "tests", "bench")]
        for name in files:
            newest = max(newest, os.lstat(os.path.join(root, name)).st_mtime)
    return newest


def built_package():
    """KEL_PACKAGE, or the package scripts/package built in the build
    directory when it is newer than every source file, or a new one."""
    if os.environ.get("KEL_PACKAGE"):
        return os.environ["KEL_PACKAGE"]
    out = os.path.join(BUILD_DIR, "package")
    found = glob.glob(os.path.join(out, PACKAGE + "_*.deb"))
    if len(found) == 1 and os.path.getmtime(found[0]) > newest_source_change():
        return found[0]
    r = run(os.path.join(SOURCE_DIR, "scripts", "package"), out, env={"DEB_BUILD_OPTIONS": "nocheck"})
    return r.stdout.strip().splitlines()[-1]


def higher_version(deb, directory):
    """The same package with a higher version, as an upgrade would bring."""
    tree = os.path.join(directory, "tree")
    run("dpkg-deb", "-R", deb, tree)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        lines = f.read().splitlines()
    version = next(l.split(": ", 1)[1] for l in lines if l.startswith("Version: "))
    newer = version + "+upgrade1"
    with open(control, "w") as f:
        f.write("\n".join("Version: " + newer if l.startswith("Version: ") else l for l in lines) + "\n")
    target = os.path.join(directory, "%s_%s_amd64.deb" % (PACKAGE, newer))
    run("dpkg-deb", "--root-owner-group", "-b", tree, target)
    shutil.rmtree(tree)
    return target, newer


class MachineState:
    """The qxkel account (ids, home, shell, groups) and the PAM service file
    as the machine has them before the test; put back after the purge took
    them."""

    def __init__(self):
        try:
            self.user = pwd.getpwnam(ACCOUNT)
        except KeyError:
            self.user = None
        try:
            self.group = grp.getgrnam(ACCOUNT)
        except KeyError:
            self.group = None
        self.member_of = [g.gr_name for g in grp.getgrall() if ACCOUNT in g.gr_mem]
        self.portal_paths = [p for p in PORTAL_PATHS if os.path.lexists(p)]
        self.pam = None
        if os.path.exists(PAM_FILE):
            with open(PAM_FILE, "rb") as f:
                self.pam = (f.read(), os.stat(PAM_FILE))

    def restore_account(self):
        if self.group and not self._exists(grp.getgrnam, ACCOUNT):
            run("groupadd", "--system", "-g", str(self.group.gr_gid), ACCOUNT)
            if self.group.gr_mem:
                run("gpasswd", "-M", ",".join(self.group.gr_mem), ACCOUNT)
        if self.user and not self._exists(pwd.getpwnam, ACCOUNT):
            u = self.user
            cmd = ["useradd", "--system", "-u", str(u.pw_uid), "-g", str(u.pw_gid), "-M", "-d", u.pw_dir,
                   "-s", u.pw_shell, "-c", u.pw_gecos]
            if self.member_of:
                cmd += ["-G", ",".join(self.member_of)]
            run(*cmd, ACCOUNT)

    def restore_files(self):
        if self.pam and not os.path.exists(PAM_FILE):
            with open(PAM_FILE, "wb") as f:
                f.write(self.pam[0])
            os.chmod(PAM_FILE, self.pam[1].st_mode & 0o7777)
            os.utime(PAM_FILE, ns=(self.pam[1].st_atime_ns, self.pam[1].st_mtime_ns))

    @staticmethod
    def _exists(lookup, name):
        try:
            lookup(name)
            return True
        except KeyError:
            return False


class UnitRun:
    """ExecStart of the installed unit as systemd runs it: a clean
    environment, a mount namespace with the unit's read-only and private
    directories, the unit's capability bounding set and no new privileges
    (setpriv), standard input from /dev/null, readiness on a notify socket
    (outside the private /tmp); stopped with SIGTERM to the main process
    (KillMode=mixed)."""

    def __init__(self, directory):
        self.directory = directory
        self.unit = {}
        self.proc = None

    def read_unit(self):
        self.unit = {}
        with open(UNIT) as f:
            for line in f:
                if "=" in line and not line.startswith("#"):
                    key, value = line.strip().split("=", 1)
                    self.unit[key] = value

    # The file system the unit's settings leave the service: directories
    # made read-only, directories given a private tmpfs.
    READ_ONLY = {("ProtectSystem", "full"): ("/usr", "/boot", "/efi", "/etc"),
                 ("ProtectHome", "read-only"): ("/home", "/root", "/run/user")}
    PRIVATE = {("PrivateTmp", "yes"): ("/tmp", "/var/tmp")}

    def mounts(self):
        steps = []
        for (key, value), dirs in self.READ_ONLY.items():
            if self.unit.get(key) == value:
                steps += ["mount --bind %s %s && mount -o remount,bind,ro %s" % (d, d, d)
                          for d in dirs if os.path.isdir(d)]
        for (key, value), dirs in self.PRIVATE.items():
            if self.unit.get(key) == value:
                steps += ["mount -t tmpfs -o mode=1777 tmpfs %s" % d for d in dirs if os.path.isdir(d)]
        return " && ".join(steps + ['exec "$@"'])

    def command(self):
        caps = ",".join("+" + c.lower()[len("cap_"):] for c in self.unit["CapabilityBoundingSet"].split())
        cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c", self.mounts(), "unit",
               "setpriv", "--bounding-set", "-all," + caps]
        if self.unit.get("NoNewPrivileges") == "yes":
            cmd.append("--no-new-privs")
        return cmd + self.unit["ExecStart"].split()

    def start(self):
        self.read_unit()
        path = os.path.join(self.directory, "notify")
        if os.path.exists(path):
            os.unlink(path)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(path)
        notify.settimeout(60)
        self.output = open(os.path.join(self.directory, "journal"), "ab")
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin", "LANG": "C.UTF-8", "NOTIFY_SOCKET": path}
        self.proc = subprocess.Popen(self.command(), env=env, stdin=subprocess.DEVNULL, stdout=self.output,
                                     stderr=subprocess.STDOUT)
        try:
            message = b""
            while b"READY=1" not in message.split(b"\n"):
                message = notify.recv(4096)
        except socket.timeout:
            raise AssertionError("no readiness notice:\n" + self.journal())
        finally:
            notify.close()
        for port in (2301, 2381):
            wait_for_port(port, self.proc, self.journal, 20)

    def journal(self):
        with open(os.path.join(self.directory, "journal"), errors="replace") as f:
            return f.read()

    def wait_stopped(self, timeout=90):
        """The exit code once the main process has ended (by whatever stopped
        it), within the unit's stop time-out."""
        try:
            return self.proc.wait(timeout)
        finally:
            self.output.close()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(int(self.unit.get("TimeoutStopSec", "90")))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        if self.proc and not self.output.closed:
            self.output.close()


def web_server_processes():
    return processes(BASE + "/bin/qxkeld") + processes(BASE + "/bin/rotatelogs")


class PackageTest(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("installs a package: needs root")
        if package_status() not in ("", "un ", "pn "):
            self.skipTest("the package is installed on this machine already")
        if os.path.exists("/opt/qx"):
            self.skipTest("/opt/qx exists on this machine: the test does not install over it")
        self.deb = built_package()
        # Not under /tmp (the build tree of a clone may be there): the
        # service gets a private one and would not reach the notify socket.
        self.dir = tempfile.mkdtemp(prefix="kel-pkg-", dir="/run")
        os.chmod(self.dir, 0o755)
        self.upgrade, self.upgrade_version = higher_version(self.deb, self.dir)
        # A network namespace of this test's own: the service's ports are
        # nobody else's.
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
        run("ip", "link", "set", "lo", "up")

        self.machine = MachineState()
        self.service = UnitRun(self.dir)
        self.addCleanup(self.restore_machine)
        # The throw-away account: an administrator through its own group.
        self.user = "kelpkg%d" % os.getpid()
        self.password = "pkg-%d-secret" % os.getpid()
        run("groupadd", self.user)
        run("useradd", "-M", "-N", "-g", self.user, "-s", "/usr/sbin/nologin", self.user)
        subprocess.run(["chpasswd"], input="%s:%s\n" % (self.user, self.password), text=True, check=True)

    def restore_machine(self):
        """Whatever step failed: no portal running, no package, the account
        and files as before, no throw-away account."""
        if self.service.proc:
            self.service.stop()
        if package_status() not in ("", "un ", "pn "):
            run(*APT, "purge", PACKAGE, check=False)
        self.machine.restore_account()
        self.machine.restore_files()
        for pid in web_server_processes():
            os.kill(pid, signal.SIGKILL)
        run("userdel", self.user, check=False)
        run("groupdel", self.user, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)

    def client(self):
        return Client(None, cafile=os.path.join(SSL, "cert.pem"), host="localhost")

    def sign_in(self):
        c = self.client()
        r = c.login(self.user, self.password)
        self.assertEqual(r.location, "/", r.body)
        self.assertIsNotNone(c.cookie)
        return c

    def read(self, path, mode="r"):
        with open(path, mode) as f:
            return f.read()

    def assertMode(self, path, mode, owner="root", group=ACCOUNT):
        st = os.stat(path)
        self.assertEqual((oct(st.st_mode & 0o7777), pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name),
                         (oct(mode), owner, group), path)

    def test_install_sign_in_upgrade_remove_purge(self):
        # Install.
        run(*APT, "install", self.deb)
        self.assertEqual(package_status(), "ii " + self.read_version(self.deb))
        self.assertWebServerCopies()
        # An update of Apache (its file trigger) brings the copies up to date.
        shutil.copy("/bin/true", os.path.join(BASE, "bin", "qxkeld"))
        run("dpkg-trigger", "--no-await", "/usr/sbin/apache2")
        self.assertEqual(wait_until(lambda: run("dpkg", "--triggers-only", PACKAGE, check=False).returncode == 0,
                                    300, 1), True)
        self.assertWebServerCopies()
        self.assertMode(BASE, 0o750)
        for d in ("conf", "data", "data/help"):
            self.assertMode(os.path.join(BASE, d), 0o1770)
        for d in ("logs", "certs"):
            self.assertMode(os.path.join(BASE, d), 0o770)
        self.assertMode(SSL, 0o1770)
        self.assertTrue(os.path.exists(PAM_FILE))
        self.assertTrue(os.path.islink("/etc/systemd/system/multi-user.target.wants/kelsvc.service"))
        r = run("systemd-analyze", "verify", UNIT, check=False)
        self.assertEqual((r.returncode, [l for l in (r.stdout + r.stderr).splitlines() if "kelsvc" in l]), (0, []),
                         r.stdout + r.stderr)

        # The administrator's group before the first start; the service
        # makes the certificate and fills in the other settings.
        with open(os.path.join(BASE, "conf", "kelpd.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<kel-portal>\n<admin-group>%s</admin-group>\n'
                    '</kel-portal>\n' % self.user)
        self.service.start()
        self.assertMode(os.path.join(SSL, "file.pem"), 0o600, group="root")
        self.assertMode(os.path.join(BASE, "conf", "kelpd.xml"), 0o660, owner=ACCOUNT)
        self.assertEqual(self.client().login(self.user, "wrong").location, "/drklogin.php?error=1")
        c = self.sign_in()
        r = c.post_form("/proxy/SetKELData", {"trustmode": "TrustByAll"})
        self.assertEqual(r.location, "/message.php?202&2")
        trusted = os.path.join(BASE, "certs", "mgmt.example.pem")
        kelcerts.write(trusted, kelcerts.make("mgmt.example")[0])
        kept = {p: self.read(p, "rb") for p in (trusted, os.path.join(SSL, "cert.pem"), os.path.join(SSL, "file.pem"))}

        # Upgrade: prerm stops the service (no systemd here), the settings
        # and certificates stay.
        run(*APT, "install", self.upgrade)
        self.assertEqual(self.service.wait_stopped(), 0, self.service.journal())
        self.assertEqual(web_server_processes(), [])
        self.assertEqual(package_status(), "ii " + self.upgrade_version)
        self.assertIn("<trustmode>TrustByAll</trustmode>", self.read(os.path.join(BASE, "conf", "kelpd.xml")))
        for path, text in kept.items():
            self.assertEqual(self.read(path, "rb"), text, path)
        self.service.start()
        self.assertEqual(self.sign_in().get("/proxy/GetKELData?Jscript&trustmode"), (200, 'trustmode="TrustByAll";\n'))

        # Remove: the service stops, the programs go, settings and
        # certificates stay, and so do the account and the PAM conffile.
        run(*APT, "remove", PACKAGE)
        self.assertEqual(self.service.wait_stopped(), 0, self.service.journal())
        self.assertEqual(web_server_processes(), [])
        self.assertEqual(package_status(), "rc " + self.upgrade_version)
        for gone in (os.path.join(BASE, "bin"), os.path.join(BASE, "modules"), UNIT):
            self.assertFalse(os.path.exists(gone), gone)
        for path in list(kept) + [os.path.join(BASE, "conf", "kelpd.xml"), PAM_FILE]:
            self.assertTrue(os.path.exists(path), path)
        pwd.getpwnam(ACCOUNT)

        # Purge: nothing of the portal is left, the account neither, unless
        # processes of others still run as qxkel (other installations' web
        # servers on a shared machine): then it is kept, and said so.
        r = run(*APT, "purge", PACKAGE)
        account_gone = not MachineState._exists(pwd.getpwnam, ACCOUNT) and not MachineState._exists(grp.getgrnam, ACCOUNT)
        self.machine.restore_account()
        if not account_gone:
            print("the qxkel account was in use by others and outlived the purge", file=sys.stderr)
            self.assertIn("the qxkel account is in use and was kept", r.stdout + r.stderr, r.stdout + r.stderr)
        self.assertIn(package_status(), ("", "pn ", "un "))
        # The PAM file is the package's conffile even where the machine had
        # one before: the purge takes it (and the clean-up puts it back).
        left = [p for p in PORTAL_PATHS if os.path.lexists(p) and (p == PAM_FILE or p not in self.machine.portal_paths)]
        left += glob.glob("/var/lib/dpkg/info/%s.*" % PACKAGE)
        self.assertEqual(left, [])

    def assertWebServerCopies(self):
        for program, copy in (("/usr/sbin/apache2", "qxkeld"), ("/usr/bin/rotatelogs", "rotatelogs")):
            self.assertEqual(self.read(program, "rb"), self.read(os.path.join(BASE, "bin", copy), "rb"), copy)

    def read_version(self, deb):
        return run("dpkg-deb", "-f", deb, "Version").stdout.strip()


if __name__ == "__main__":
    unittest.main()
