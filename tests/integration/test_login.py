"""The login layer in the real qxkeld, with fake users, groups and passwords
(nss_wrapper, pam_wrapper with pam_matrix): nothing in /etc is changed."""
import base64
import os
import signal
import time
import unittest

import kelharness
from kelharness import InstallationTest, Server, wait_until

BASE = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
        "user-group": "kelusers", "allow-default-os-admin": "False"}


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()}


def helper_of(parent):
    """The password helper among the web server's children (by its name)."""
    with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
        children = [int(p) for p in f.read().split()]
    for pid in children:
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == "kelauth":
                    return pid
        except OSError:
            continue
    return None


class LoginServer(Server):
    """The web server, once its password helper is there too (the ports
    may answer before the helper is started)."""

    def __enter__(self):
        super().__enter__()
        if not wait_until(lambda: helper_of(self.proc.pid) is not None, 20):
            raise AssertionError("the password helper did not start")
        return self


class Client(kelharness.Client):
    """The harness's client; call() answers (status, headers, Set-Cookie, body)."""

    def call(self, method, path, body=None, headers=None):
        r = self.request(method, path, body=body, headers=headers)
        return r.status, r.headers, r.set_cookie, r.body

    def login(self, user, password):
        r = super().login(user, password)
        return r.status, r.location, r.set_cookie

    def whoami(self, path="/kelprobe/whoami", headers=None):
        return self.get(path, headers=headers)


class LoginTest(InstallationTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.inst.use_fake_accounts()
        cls.inst.env = dict(cls.inst.env, KELSVC_TEST_MINUTE_MS="600")

    def serve(self, expected_log=(), **settings):
        self.inst.write_settings(dict(BASE, **settings))
        self.inst.prepare()
        self.inst.load_probe()
        return LoginServer(self.inst, expected_log)

    def test_the_login_returns_to_the_page_asked_for_on_this_site_only(self):
        with self.serve():
            c = Client(self.inst)
            self.assertEqual(c.call("GET", "/log.html?x=1&y=2")[1]["Location"],
                             "/drklogin.php?next=%2flog.html%3fx%3d1%26y%3d2")
            self.assertEqual(c.call("GET", "/")[1]["Location"], "/drklogin.php")
            form = {"user": "kelalice", "password": "wrong", "next": "/log.html"}
            self.assertEqual(c.post_form("/proxy/kellogin", form).location, "/drklogin.php?error=1&next=%2flog.html")
            for unsafe in ("//elsewhere.example/", "/\\elsewhere.example", "https://elsewhere.example/", "log.html",
                           "/a b", "/a\r\nSet-Cookie: x=y", "/"):
                c = Client(self.inst)
                r = c.post_form("/proxy/kellogin", dict(form, password="secret-alice", next=unsafe))
                self.assertEqual((r.status, r.location), (303, "/"), unsafe)
            r = Client(self.inst).post_form("/proxy/kellogin", dict(form, password="secret-alice",
                                                                     next="/trust.html?ZQName=a&RedirectSsoUrl=%2F"))
            self.assertEqual(r.location, "/trust.html?ZQName=a&RedirectSsoUrl=%2F")

    def test_passwords_levels_and_sessions(self):
        # Apache reaps the access log's rotatelogs that the graceful restart replaced.
        with self.serve(expected_log=[r"AH00291: long lost child came home!"]) as server:
            c = Client(self.inst)
            status, where, cookie = c.login("kelalice", "wrong")
            self.assertEqual((status, where, cookie), (303, "/drklogin.php?error=1", None))
            status, where, cookie = c.login("kelalice", "secret-alice")
            self.assertEqual((status, where), (303, "/"))
            self.assertRegex(cookie, r"^QXKELSESSION=[0-9a-f]{64}; Path=/; Secure; HttpOnly; SameSite=Strict$")
            status, body = c.whoami()
            level, user, sessiondir = body.split(" ")
            self.assertEqual((status, level, user), (200, "4", "kelalice"))
            self.assertTrue(sessiondir.startswith(self.inst.path("session", "kel-")))
            self.assertTrue(os.path.isdir(sessiondir))
            # A sub-request sees the same, and a client's own header never arrives.
            self.assertEqual(c.whoami("/kelprobe/sub"), (200, body))
            self.assertEqual(c.whoami(headers={"QXKEL-SessionDir": "/etc"}), (200, body))
            anon = Client(self.inst)
            self.assertEqual(anon.whoami(headers={"QXKEL-SessionDir": "/etc"})[0], 302)
            # On the legacy port the way to the login page leads to HTTPS.
            status, _ = server.http("/kelprobe/whoami")
            self.assertEqual(status, 302)

            # The settings module trusts what the login left: administrators may write.
            status, headers, _, _ = c.call("POST", "/proxy/SetKELData", body="trustmode=TrustByName",
                                              headers={"Content-Type": "application/x-www-form-urlencoded"})
            self.assertEqual((status, headers.get("Location")), (302, "/message.php?202&2"))
            for user, password, expected in (("kelbob", "secret-bob", "2"), ("kelcarol", "secret-carol", None),
                                             ("keleve", "p/a+ss&x=y%", "2")):
                other = Client(self.inst)
                status, where, _ = other.login(user, password)
                if expected is None:
                    self.assertEqual(where, "/drklogin.php?error=1")
                else:
                    self.assertEqual(other.whoami()[1].split(" ")[:2], [expected, user])
                    status, headers, _, _ = other.call(
                        "POST", "/proxy/SetKELData", body="trustmode=TrustByAll",
                        headers={"Content-Type": "application/x-www-form-urlencoded"})
                    self.assertEqual(headers.get("Location"), "/message.php?200&4")

            # The session outlives a graceful restart.
            server.proc.send_signal(signal.SIGUSR1)
            time.sleep(1.5)
            server.wait_for_ports()
            self.assertEqual(c.whoami(), (200, body))

            # Ending a session takes a form post; a link cannot do it.
            status, headers, _, _ = c.call("GET", "/proxy/kellogout")
            self.assertEqual(status, 405)
            self.assertIn("POST", headers.get("Allow"))
            self.assertEqual(c.whoami(), (200, body))
            status, headers, cookie, _ = c.call("POST", "/proxy/kellogout")
            self.assertEqual((status, headers.get("Location")), (303, "/drklogin.php"))
            self.assertIn("Max-Age=0", cookie)
            self.assertEqual(c.whoami()[0], 302)
            self.assertFalse(os.path.exists(sessiondir))

            headers = c.call("GET", "/drklogin.php")[1]
            self.assertEqual((headers["X-Frame-Options"], headers["X-Content-Type-Options"],
                              headers["Referrer-Policy"], headers["Strict-Transport-Security"]),
                             ("SAMEORIGIN", "nosniff", "same-origin", "max-age=31536000"))

    def test_requests_from_other_sites_are_refused(self):
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        with self.serve() as server:
            c = Client(self.inst)
            self.assertEqual(c.login("kelalice", "secret-alice")[1], "/")
            kel_log = lambda: self.inst.read("logs", "kel.log")
            refused = [
                {"Origin": "https://evil.example"},
                {"Origin": "null"},
                {"Origin": ""},
                {"Origin": "http://127.0.0.1:2381"},
                {"Referer": "https://evil.example/page"},
                {"Origin": "https://evil.example:2381", "Host": "evil.example:2381"},
                {"Origin": "https://127.0.0.1:2381", "Sec-Fetch-Site": "cross-site"},
            ]
            for headers in refused:
                status = c.call("POST", "/proxy/SetKELData", body="trustmode=TrustByAll",
                                   headers=dict(form, **headers))[0]
                self.assertEqual(status, 403, headers)
                # A login or a logout cannot be forged either.
                other = Client(self.inst)
                status = other.call("POST", "/proxy/kellogin", body="user=kelbob&password=secret-bob",
                                       headers=dict(form, **headers))[0]
                self.assertEqual(status, 403, headers)
                self.assertEqual(c.call("POST", "/proxy/kellogout", headers=headers)[0], 403, headers)
            self.assertEqual(c.whoami()[1].split(" ")[:2], ["4", "kelalice"])
            self.assertNotIn("TrustByAll", self.inst.read("conf", "kelpd.xml"))
            self.assertIn("kel_aa [client 127.0.0.1]: a cross-site POST to /proxy/SetKELData was refused "
                          "(Origin: null, Referer: -, Sec-Fetch-Site: -).", kel_log())
            # The portal's own pages, by any of its names, and programs without
            # browser headers, are served.
            for headers in ({"Origin": "https://127.0.0.1:2381", "Sec-Fetch-Site": "same-origin"},
                            {"Origin": "https://localhost:2381"},
                            {"Referer": "https://127.0.0.1:2381/proxy/configui"}, {}):
                status, h, _, _ = c.call("POST", "/proxy/SetKELData", body="trustmode=TrustByName",
                                            headers=dict(form, **headers))
                self.assertEqual((status, h.get("Location")), (302, "/message.php?202&2"), headers)
            # Reading is not judged: a link from elsewhere may open a page.
            self.assertEqual(c.whoami(headers={"Referer": "https://evil.example/"})[0], 200)
            # The legacy port compares with its own scheme.
            for origin, expected in (("https://127.0.0.1:2301", 403), ("http://127.0.0.1:2301", 401)):
                status = Client(self.inst, port=2301).call("POST", "/proxy/SetKELData", body="trustmode=TrustByAll",
                                                            headers=dict(form, Origin=origin))[0]
                self.assertEqual(status, expected, origin)

    def test_level_table(self):
        cases = [
            # kelalice is in kelops and kelusers: the higher level wins.
            ({}, [("kelalice", "4"), ("kelbob", "2"), ("kelcarol", None), ("root", None), ("keldave", None)]),
            ({"admin-group": "", "operator-group": "kelops"}, [("kelalice", "3"), ("kelbob", "2")]),
            ({"allow-default-os-admin": "True"}, [("root", "4"), ("keldave", "4"), ("kelcarol", None)]),
        ]
        for settings, users in cases:
            with self.serve(**settings):
                for user, level in users:
                    c = Client(self.inst)
                    status, where, _ = c.login(user, "secret-" + ("root" if user == "root" else user[3:]))
                    if level is None:
                        self.assertEqual(where, "/drklogin.php?error=1", (settings, user))
                    else:
                        self.assertEqual(c.whoami()[1].split(" ")[:2], [level, user], settings)

    def test_anonymous_and_local_access(self):
        cases = [({}, "127.0.0.1", None),
                 ({"anonymous-access": "True"}, "127.0.0.2", "1 anonymous -"),
                 ({"localaccess-enabled": "True", "localaccess-type": "Administrator"}, "127.0.0.1",
                  "4 qxkel_local_administrator -"),
                 ({"localaccess-enabled": "True", "localaccess-type": "Anonymous"}, "127.0.0.1",
                  "1 qxkel_local_anonymous -"),
                 ({"localaccess-enabled": "True", "localaccess-type": "Administrator"}, "127.0.0.2", None)]
        for settings, source, expected in cases:
            with self.serve(**settings):
                status, body = Client(self.inst, source).whoami()
                if expected is None:
                    self.assertEqual(status, 302, settings)
                else:
                    self.assertEqual((status, body), (200, expected), settings)

    def test_idle_expiry_and_the_session_limit(self):
        # A "minute" is 600 ms here (KELSVC_TEST_MINUTE_MS).
        with self.serve(**{"session-timeout": "1", "session-maximum": "12"}):
            c = Client(self.inst)
            c.login("kelbob", "secret-bob")
            time.sleep(0.3)
            self.assertEqual(c.whoami()[0], 200)  # the request restarts the idle time
            time.sleep(0.9)
            self.assertEqual(c.whoami()[0], 302)
        # session-maximum is 32 at least: five accounts below the
        # administrator level fill it.
        lower = {"session-timeout": "60", "session-maximum": "32", "user-group": "kelusers;kelcarol;keldave;root"}
        passwords = {"kelalice": "secret-alice", "kelbob": "secret-bob", "kelcarol": "secret-carol",
                     "keldave": "secret-dave", "keleve": "p/a+ss&x=y%", "root": "secret-root"}

        def open_sessions(user, count):
            clients = [Client(self.inst) for _ in range(count)]
            for k in clients:
                self.assertEqual(k.login(user, passwords[user])[1], "/", user)
            return clients
        with self.serve(**lower):
            # One account holds at most 8 sessions: its least recently used
            # one makes room, nobody else's.
            bob = open_sessions("kelbob", 9)
            self.assertEqual(bob[0].whoami()[0], 302)
            others = open_sessions("keleve", 8) + open_sessions("kelcarol", 8) + open_sessions("keldave", 8)
            # session-maximum is reached: a user is refused ...
            self.assertEqual(Client(self.inst).login("root", "secret-root")[1], "/drklogin.php?error=2")
            # ... an administrator ends the least recently used session below
            # the administrator level.
            admin = open_sessions("kelalice", 1)[0]
            self.assertEqual(admin.whoami()[1].split(" ")[:2], ["4", "kelalice"])
            self.assertEqual(bob[1].whoami()[0], 302)
            for k in bob[2:] + others:
                self.assertEqual(k.whoami()[0], 200)
            log = self.inst.read("logs", "kel.log")
            self.assertIn("kel_aa: the login of root from 127.0.0.1 was refused: session-maximum (32) sessions "
                          "are open.", log)
            self.assertIn("kel_aa: the least recently used session of kelbob (level 2) was ended to make room for "
                          "the login of kelalice from 127.0.0.1.", log)
        # Only when every open session is an administrator's is one refused.
        with self.serve(**dict(lower, **{"admin-group": "kelops;kelusers;kelcarol;keldave;root"})):
            admins = sum((open_sessions(user, 8) for user in ("kelalice", "kelbob", "keleve", "kelcarol")), [])
            self.assertEqual(Client(self.inst).login("keldave", "secret-dave")[1], "/drklogin.php?error=2")
            for k in admins:
                self.assertEqual(k.whoami()[1].split(" ")[0], "4")

    def test_the_level_of_a_session_follows_the_account(self):
        # The workers read the fake group file themselves, as they read /etc/group.
        group = self.inst.env["NSS_WRAPPER_GROUP"]
        os.chmod(os.path.dirname(group), 0o755)
        os.chmod(group, 0o644)
        original = open(group).read()

        def rewrite(text, later):
            with open(group, "w") as f:
                f.write(text)
            # nss_wrapper notices a change by the file's time in seconds.
            os.utime(group, (time.time() + later, time.time() + later))
        try:
            with self.serve():
                c = Client(self.inst)
                self.assertEqual(c.login("kelalice", "secret-alice")[1], "/")
                self.assertEqual(c.whoami()[1].split(" ")[:2], ["4", "kelalice"])
                # Out of the admin group: within a "minute" (600 ms) the
                # session has the level the account's groups give now.
                rewrite(original.replace("kelops:x:4201:kelalice", "kelops:x:4201:"), 10)
                self.assertTrue(wait_until(lambda: c.whoami()[1].split(" ")[:1] == ["2"], 10))
                # Out of every portal group: the session ends.
                rewrite(original.replace("kelops:x:4201:kelalice", "kelops:x:4201:")
                        .replace("kelalice,kelbob", "kelbob"), 20)
                self.assertTrue(wait_until(lambda: c.whoami()[0] == 302, 10))
                log = self.inst.read("logs", "kel.log")
                self.assertIn("kel_aa: the level of the session of kelalice changed from 4 to 2.", log)
                self.assertIn("kel_aa: the session of kelalice from 127.0.0.1 was ended: the account has no portal "
                              "level any more.", log)
        finally:
            with open(group, "w") as f:
                f.write(original)

    def test_a_session_cookie_is_refused_on_the_plain_port(self):
        with self.serve():
            c = Client(self.inst)
            self.assertEqual(c.login("kelbob", "secret-bob")[1], "/")
            r = Client(self.inst, port=2301).request("GET", "/kelprobe/whoami", headers={"Cookie": c.cookie})
            self.assertEqual(r.status, 302)
            self.assertTrue(r.location.startswith("https://"))
            # It crossed the network in clear text: the session is over.
            self.assertEqual(c.whoami()[0], 302)
            self.assertIn("kel_aa [client 127.0.0.1]: a session cookie sent on the plain-HTTP port was refused and its "
                          "session ended.", self.inst.read("logs", "kel.log"))

    def test_every_refused_login_looks_alike(self):
        # Each reason from an address of its own, so each is its address's
        # first refusal: same answer, and the helper answers each at the same
        # time (the unit tests hold the times).
        cases = [("127.0.0.11", "kelbob", "wrong", "the account or its password was not accepted"),
                 ("127.0.0.12", "kelcarol", "secret-carol", "the account has no portal level"),
                 ("127.0.0.13", "nobody-here", "secret-bob", "the account or its password was not accepted")]
        with self.serve():
            for source, user, password, why in cases:
                self.assertEqual(Client(self.inst, source).login(user, password),
                                 (303, "/drklogin.php?error=1", None), user)
            status, headers, _, _ = Client(self.inst, "127.0.0.14").call(
                "GET", "/kelprobe/whoami", headers=basic("kelalice", "secret-alice"))
            self.assertEqual((status, headers.get("WWW-Authenticate")), (401, 'Basic realm="QX Kel Portal"'))
            log = self.inst.read("logs", "kel.log")
            for source, user, password, why in cases:
                self.assertIn("kel_aa: the login of %s from %s was refused: %s." % (user, source, why), log)
            self.assertIn("kel_aa: the login of kelalice from 127.0.0.14 was refused: administrators may not log "
                          "in by program.", log)
            for password in ("wrong", "secret-carol", "secret-bob", "secret-alice"):
                self.assertNotIn(password, log)

    def test_an_excluded_address_is_refused_before_any_password(self):
        denied = [r"AH01797: client denied by server configuration"]
        settings = {"ip-restricted-logins": "True", "ip-restricted-exclude": "127.0.0.5"}
        with self.serve(expected_log=denied, **settings):
            excluded = Client(self.inst, "127.0.0.5")
            for password in ("secret-bob", "wrong"):
                self.assertEqual(excluded.login("kelbob", password)[0], 403, password)
                self.assertEqual(excluded.whoami(headers=basic("kelbob", password))[0], 403, password)
            # The refusals went the way of a refused password, without one:
            # the helper never checked a password for them.
            log = self.inst.read("logs", "kel.log")
            self.assertEqual(log.count("kel_aa: the login of kelbob from 127.0.0.5 was refused: the client address "
                                       "may not log in."), 4)
            self.assertNotIn("secret-bob", log)
            # Others are served as before.
            self.assertEqual(Client(self.inst, "127.0.0.6").whoami(headers=basic("kelbob", "secret-bob")),
                             (200, "2 kelbob -"))

    def test_the_password_helper_comes_back_after_it_is_killed(self):
        with self.serve(expected_log=[r"kel_aa: the password helper \(pid \d+\) ended \(signal 9\)"]) as server:
            parent = server.proc.pid
            old = helper_of(parent)
            os.kill(old, signal.SIGKILL)
            c = Client(self.inst)
            self.assertTrue(wait_until(lambda: c.login("kelbob", "secret-bob")[1] == "/", 20))
            new = helper_of(parent)
            self.assertNotIn(new, (None, old))
            self.assertIn("kel_aa: the password helper (pid %d) ended (signal 9); a new one was started (pid %d)."
                          % (old, new), self.inst.read("logs", "kel.log"))

    def test_basic_credentials_of_programmatic_clients(self):
        with self.serve():
            c = Client(self.inst)
            self.assertEqual(c.whoami(headers=basic("kelbob", "secret-bob")), (200, "2 kelbob -"))
            status, headers, _, _ = c.call("GET", "/kelprobe/whoami", headers=basic("kelbob", "wrong"))
            self.assertEqual((status, headers.get("WWW-Authenticate")), (401, 'Basic realm="QX Kel Portal"'))
            # Administrators are kept from logging in by program (reject-prog-admin-login).
            self.assertEqual(c.whoami(headers=basic("kelalice", "secret-alice"))[0], 401)
        with self.serve(**{"reject-prog-admin-login": "False"}):
            self.assertEqual(Client(self.inst).whoami(headers=basic("kelalice", "secret-alice")),
                             (200, "4 kelalice -"))
        with self.serve(**{"allow-old-style-login": "False"}):
            self.assertEqual(Client(self.inst).whoami(headers=basic("kelbob", "secret-bob"))[0], 401)


class WorkerAccountTest(unittest.TestCase):
    def test_workers_cannot_read_password_hashes(self):
        import grp
        import pwd
        qxkel = pwd.getpwnam("qxkel")
        groups = os.getgrouplist("qxkel", qxkel.pw_gid)
        shadow = os.stat("/etc/shadow")
        self.assertNotEqual(shadow.st_uid, qxkel.pw_uid)
        if shadow.st_mode & 0o040:
            self.assertNotIn(shadow.st_gid, groups, grp.getgrgid(shadow.st_gid).gr_name)
        self.assertFalse(shadow.st_mode & 0o004)


if __name__ == "__main__":
    unittest.main()
