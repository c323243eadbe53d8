"""The servlet container: a registered application that asks for it, served
by Debian's Tomcat through the portal's login and AJP; the container
supervised (killed, it comes back; stopped with the service); its AJP port
closed to anyone without the secret."""
import os
import pwd
import re
import signal
import socket
import stat
import struct
import sys
import unittest

from kelharness import Client, Installation, Service, wait_until

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))
from servlet_app import AJP_PORT, PAGE_TEXT, ajp_cping, ajp_get, container_pids, install_app  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
            "allow-default-os-admin": "False"}
QXKEL_UID = pwd.getpwnam("qxkel").pw_uid
# JVM start and the first JSP compile take seconds, on a busy host many.
START_TIMEOUT = 120


def uid_of(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"\nUid:\t(\d+)", f.read()).group(1))


class ServletContainerTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.remove)
        self.inst.use_fake_accounts()
        self.inst.write_settings(SETTINGS)
        install_app(self.inst, "shop")

    def serving(self, before=()):
        """The container's pid, once it is new (not in before) and its
        connector answers."""
        def ready():
            pids = [p for p in container_pids(self.inst) if p not in before]
            return pids[0] if len(pids) == 1 and ajp_cping() else None
        pid = wait_until(ready, START_TIMEOUT, 0.2)
        self.assertIsNotNone(pid, "the servlet container did not come up:\n" + self.catalina_out())
        return pid

    def catalina_out(self):
        try:
            return self.inst.read("tomcat", "logs", "catalina.out")[-4000:]
        except OSError:
            return "(no catalina.out)"

    def test_application_through_the_portal_supervised_and_stopped(self):
        with Service(self.inst) as svc:
            first = self.serving()
            self.assertEqual(uid_of(first), QXKEL_UID)

            # Behind the portal's login: a browser goes to the login page.
            anonymous = Client(self.inst)
            r = anonymous.request("GET", "/shop/index.jsp")
            self.assertEqual((r.status, r.location), (302, "/drklogin.php?next=%2fshop%2findex.jsp"))
            self.assertNotIn(PAGE_TEXT, r.body)
            client = Client(self.inst)
            self.assertTrue(wait_until(lambda: client.login("kelalice", "secret-alice").status in (302, 303)
                                       and client.cookie, 20))
            status, body = client.get("/shop/index.jsp")
            self.assertEqual((status, body.strip()), (200, PAGE_TEXT))
            r = client.request("GET", "/shop")
            self.assertEqual((r.status, r.location), (301, "https://127.0.0.1:2381/shop/"))
            # A static file of the application, through the container's default servlet.
            r = client.request("GET", "/shop/note.txt")
            self.assertEqual((r.status, r.body), (200, "a static note\n"))
            self.assertTrue(r.content_type.startswith("text/plain"))

            # The secret: root and qxkel read it, nobody else; only a client
            # that knows it is served.
            secret = re.search(r'secret="([0-9a-f]+)"', self.inst.read("tomcat", "conf", "server.xml")).group(1)
            for path in (("tomcat", "conf", "server.xml"), ("conf", "kel-ajp.conf")):
                st = os.stat(self.inst.path(*path))
                self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid),
                                 (0o640, 0, pwd.getpwnam("qxkel").pw_gid), path)
            self.assertIn(PAGE_TEXT.encode(), ajp_get("/shop/index.jsp", secret))
            for wrong in (None, "0" * len(secret)):
                reply = ajp_get("/shop/index.jsp", wrong)
                self.assertNotIn(PAGE_TEXT.encode(), reply)
                self.assertNotIn(b"Tomcat", reply)
                # Nothing, or the container's bare refusal.
                if reply:
                    self.assertEqual(reply[:4 + 3], b"AB" + reply[2:4] + b"\x04" + struct.pack(">H", 403))
            # Bound to 127.0.0.1 alone.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.2", AJP_PORT), 2).close()

            # Killed, it is started again.
            os.kill(first, signal.SIGKILL)
            second = self.serving(before=(first,))
            status, body = client.get("/shop/index.jsp")
            self.assertEqual((status, body.strip()), (200, PAGE_TEXT))
            self.assertIn("ServiceMain: the servlet container exited unexpectedly (signal 9); it is started again "
                          "in 1 s.", self.inst.read("logs", "kel.log"))

            code, out, err = svc.run("kelstart", "/s")
            self.assertEqual(code, 0)
            self.assertEqual(svc.stop(enter=False)[0], 0)
        self.assertEqual(container_pids(self.inst), [])
        self.assertFalse(os.path.exists("/proc/%d" % second))
        self.assertIn("Tomcat is required.", self.inst.read("logs", "kel.log"))


if __name__ == "__main__":
    unittest.main()
