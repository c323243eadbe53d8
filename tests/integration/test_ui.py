"""The UI module on the real qxkeld: the data tags of getuiinfo and
getlogininfo, the log download, the certificate text, view and removal,
the navigation tree page and the management-server trust steps, with
fixture management servers on port 280 of loopback addresses.

127.0.0.1 is the local administrator (local access), 127.0.0.2 anonymous;
signed-in users come from 127.0.0.3 with a session of the login layer."""
import base64
import os
import re
import shutil
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))

import kelcerts  # noqa: E402
from kelharness import Client, Server, ServerTest  # noqa: E402
from management_server import ManagementServer  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "anonymous-access": "True",
            "localaccess-enabled": "True", "localaccess-type": "Administrator", "admin-group": "kelops",
            "user-group": "kelusers", "allow-default-os-admin": "False"}
TAGS = ["systemname", "kelversion", "kelcopyright", "username", "localaccess", "debugurl", "webapplist",
        "kelconfigauth", "kelmonth", "orvlog", "orvhelp", "navigation", "certlist", "servercert", "loginmsg",
        "loginjpg"]
HOSTILE = '"</script><script>window.pwned=1</script>'
APPS = {
    "alpha.xml": "<webapp name='alpha'><marketname>Alpha &quot;&lt;/script&gt;</marketname><chpurl>/nav/alpha.js</chpurl>"
                 "<entryurl>/alpha/</entryurl><helpurl>/alpha/help/</helpurl><namazu value='yes'/></webapp>",
    "beta.xml": "<webapp name='beta'><marketname>Beta</marketname><hidden value='yes'/><chpurl>/nav/alpha.js</chpurl>"
                "<entryurl>/beta/</entryurl></webapp>",
    "gamma.xml": "<webapp name='gamma'><marketname>Gamma</marketname><entryurl>/gamma/</entryurl></webapp>",
    "delta.xml": "<webapp name='delta'><marketname>Delta</marketname><chpurl>/nav/missing.js</chpurl></webapp>",
}
NAV_SCRIPT = 'chpAddItem("Alpha", "Home", "/alpha/");\n'
# Fixture management servers, one per loopback address.
WITH_CERT, WITHOUT_CERT, SILENT, NOBODY = "127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"
LF_CERT, CRLF_CERT = "127.0.0.15", "127.0.0.16"
TIMEOUT_LINE = r"\[kel_ui:emerg\].*QXKEL:  mod_kel_ui/OutputNavigationFilesInJS UI Timeout"


def write(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    if mode:
        os.chmod(path, mode)


def prepare(inst, settings=None, apps=APPS):
    inst.use_fake_accounts()
    for name, text in apps.items():
        write(inst.path("webapp", name), text)
    write(inst.path("data", "htdocs", "nav", "alpha.js"), NAV_SCRIPT)
    inst.write_settings(dict(SETTINGS, **(settings or {})))
    inst.prepare()
    inst.load_probe()


class UiTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.mgmt_cert = kelcerts.make("mgmt.example")[0]
        cls.trusted = kelcerts.make("one.example")[0]
        kelcerts.write(cls.inst.path("certs", "one.example.pem"), cls.trusted)
        prepare(cls.inst)
        cls.fixtures = [ManagementServer(WITH_CERT, "cert", cls.mgmt_cert.replace("\n", "\r\n")),
                        ManagementServer(WITHOUT_CERT, "nocert"),
                        ManagementServer(SILENT, "silent"),
                        ManagementServer(LF_CERT, "cert", cls.mgmt_cert),
                        ManagementServer(CRLF_CERT, "cert", cls.mgmt_cert.replace("\n", "\r\n"))]
        cls.start_server(Server(cls.inst))
        cls.admin = Client(cls.inst, "127.0.0.3")
        assert cls.admin.login("kelalice", "secret-alice").status == 303
        cls.user = Client(cls.inst, "127.0.0.3")
        assert cls.user.login("kelbob", "secret-bob").status == 303

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        for f in cls.fixtures:
            f.stop()
        super().tearDownClass()

    def get(self, path, source="127.0.0.1", client=None, headers=None):
        return (client or Client(self.inst, source)).request("GET", path, headers=headers)

    def post(self, path, client=None, source="127.0.0.1", headers=None):
        return (client or Client(self.inst, source)).request("POST", path, body="", headers=headers)

    def tags(self, query, **kw):
        return self.get("/proxy/kelui/getuiinfo" + query, **kw).body

    def session_dir(self, client):
        return self.get("/kelprobe/whoami", client=client).body.split(" ", 2)[2]

    # ---- what the portal's own pages read -------------------------------

    def test_the_pages_reads_settings_server_certificate_and_signing_request(self):
        r = self.get("/proxy/kelui/getsettings", client=self.admin)
        self.assertEqual((r.status, r.body),
                         (200, 'lock_ports = "0";\nsession_timeout = "15";\nsession_maximum = "128";\n'))
        self.assertTrue(r.content_type.startswith("text/javascript"), r.content_type)
        for path in ("/proxy/kelui/getsettings", "/proxy/kelui/getcertreq"):
            r = self.get(path, client=self.user)
            self.assertEqual((r.status, r.location), (302, "/message.php?200&4"), path)
        r = self.get("/proxy/kelui/getservercert", client=self.user)
        self.assertIn('servercert_known = true;\nservercert_subject = "CN = 127.0.0.1";\n', r.body)
        self.assertRegex(r.body, r'servercert_sha256 = "([0-9A-F]{2}:){31}[0-9A-F]{2}";')
        request = self.inst.path("data", "req_cr.pem")
        if os.path.exists(request):
            os.unlink(request)
        r = self.get("/proxy/kelui/getcertreq", client=self.admin)
        self.assertEqual(r.status, 404)
        write(request, "-----BEGIN CERTIFICATE REQUEST-----\nx\n-----END CERTIFICATE REQUEST-----\n")
        r = self.get("/proxy/kelui/getcertreq", client=self.admin)
        self.assertEqual((r.status, r.headers["Content-Disposition"]), (200, 'attachment; filename="req_cr.pem"'))
        self.assertEqual(r.body, self.inst.read("data", "req_cr.pem"))

    # ---- getuiinfo and getlogininfo -------------------------------------

    def test_all_tags_in_table_order_as_javascript(self):
        r = self.get("/proxy/kelui/getuiinfo?JS")
        self.assertEqual(r.status, 200)
        self.assertTrue(r.content_type.startswith("text/javascript"), r.content_type)
        names = []
        for m in re.finditer(r"^(\w+)(?:\[\d+\])?(?:\.\w+)? = ", r.body, re.M):
            if m.group(1) not in names and m.group(1) != "this":
                names.append(m.group(1))
        # navigation writes comments only here: its place is its begin line.
        at = {name: r.body.index("\n%s = " % name) if name != "navigation" else r.body.index("begin navigation")
              for name in TAGS if name != "systemname"}
        self.assertEqual([n for n in names if n != "navigation"], [t for t in TAGS if t != "navigation"])
        self.assertEqual(sorted(at, key=at.get), TAGS[1:])
        self.assertTrue(r.body.startswith('systemname = "%s";\n' % socket.gethostname()))
        self.assertIn('kelversion = "QX Kel Portal v2.1.10.186";\n', r.body)
        self.assertIn('debugurl = "";\n', r.body)
        self.assertIn("kelmonth = %d;\n" % (time.gmtime().tm_mon - 1), r.body)
        self.assertIn("orvlog = false;\norvhelp = false;\n", r.body)

    def test_named_tags_unknown_tokens_and_repeats(self):
        cases = [
            ("?javascript&USERNAME", 'username = "qxkel_local_administrator";\n'),
            ("?JS&username=abc&nosuchtag", 'username = "qxkel_local_administrator";\n'),
            ("?JS&kelconfigauth&kelconfigauth", "kelconfigauth = true;\nkelconfigauth = true;\n"),
            ("?Js&&debugurl&", 'debugurl = "";\n'),
            ("?XML&username", ""),
            ("", ""),
            ("?JS&nosuchtag", ""),
        ]
        for query, body in cases:
            self.assertEqual(self.tags(query), body, query)

    def test_user_names_and_local_access(self):
        cases = [  # (probe user note or None, username line, localaccess)
            (None, "qxkel_local_administrator", "true"),
            ("qxkel_local_anonymous", "qxkel_local_anonymous", "true"),
            ("QXKEL_LOCAL_ADMINISTRATOR", "QXKEL_LOCAL_ADMINISTRATOR", "false"),
            ("DOMAIN\\user", "DOMAIN\\\\user", "false"),
            ("", "", "false"),
        ]
        for note, shown, local in cases:
            headers = {"KelProbe-User": note} if note is not None else None
            self.assertEqual(self.tags("?JS&username&localaccess", headers=headers),
                             'username = "%s";\nlocalaccess = "%s";\n' % (shown, local), note)
        self.assertEqual(self.tags("?JS&username&localaccess&kelconfigauth", client=self.admin),
                         'username = "kelalice";\nlocalaccess = "false";\nkelconfigauth = true;\n')
        self.assertEqual(self.tags("?JS&kelconfigauth", client=self.user), "kelconfigauth = false;\n")
        self.assertEqual(self.tags("?JS&username&kelconfigauth", source="127.0.0.2"),
                         'username = "anonymous";\nkelconfigauth = false;\n')

    def test_webapplist_escapes_display_names(self):
        body = self.tags("?JS&webapplist")
        self.assertTrue(body.startswith("function webappobj( name, marketingname, hidden, entryurl, integrated, port, "
                                        "helpurl, namazu )\n{\nthis.name = name;\n"), body)
        self.assertIn("this.namazu = namazu;\n}\n\nwebapplist = new Array;\n\n", body)
        self.assertIn('webapplist[0] = new webappobj("alpha", "Alpha \\"\\x3C/script\\x3E", "false", "/alpha/", '
                      '"1", "0", "/alpha/help/", "true");\n', body)
        self.assertIn('new webappobj("beta", "Beta", "true", "/beta/", "1", "0", "", "false");\n', body)
        self.assertIn('new webappobj("gamma", "Gamma", "false", "/gamma/", "0", "0", "", "false");\n', body)
        self.assertNotIn("</script", body)

    def test_navigation_merges_each_url_once(self):
        body = self.tags("?JS&navigation")
        self.assertTrue(body.startswith("</script>\n<script>\n//------------- begin navigation ----------------\n\n"))
        self.assertEqual(body.count(NAV_SCRIPT), 1)
        self.assertIn(NAV_SCRIPT + "//----- subrequest /nav/alpha.js  (0/200) (time: 0s) ----------------\n"
                      "</script>\n<script>\n\n//----- duplicate CHP URL /nav/alpha.js skipped ----------------\n", body)
        # The lookup finds nothing wrong; running it answers 404.
        self.assertIn("//----- subrequest /nav/missing.js  (404/200) (time: 0s)", body)
        self.assertNotIn("gamma", body)
        self.assertIn("\n//------------- trying BC stuff ----------------\n\n", body)
        self.assertIn("\n//-------------  BC stuff done (time: 0s) ----------------\n\n", body)
        self.assertTrue(body.endswith("\n\n//------------- end navigation (total time: 0s) ----------------\n\n"
                                      "</script>\n<script>\n"), body[-200:])

    def test_certlist(self):
        self.assertEqual(self.tags("?JS&certlist"), 'certlist = new Array;\ncertlist[0] = new Object;\n'
                                                    'certlist[0].cn = "one.example";\n'
                                                    'certlist[0].fname = "one.example.pem";\n')

    def test_servercert_names_and_answers(self):
        self.assertEqual(self.tags("?JS&servercert"), 'servercert = new Object;\nservercert.servername = "";\n'
                                                      'servercert.getrc = -1;\n')
        self.assertEqual(self.tags("?JS&servercert="), 'servercert = new Object;\nservercert.servername = "";\n'
                                                       'servercert.getrc = 305;\n')
        self.assertEqual(self.tags("?JS&servercert=%s&certlist" % WITHOUT_CERT),
                         'servercert = new Object;\nservercert.servername = "%s";\nservercert.httprc = 200;\n'
                         'servercert.getrc = 309;\ncertlist = new Array;\ncertlist[0] = new Object;\n'
                         'certlist[0].cn = "one.example";\ncertlist[0].fname = "one.example.pem";\n' % WITHOUT_CERT)
        self.assertIn("servercert.getrc = 307;\n", self.tags("?JS&servercert=" + NOBODY))
        lines = self.mgmt_cert.rstrip("\n").split("\n")
        expected = ('servercert = new Object;\nservercert.servername = "%s";\nservercert.httprc = 200;\n'
                    'servercert.rawdata = new Array;\nservercert.rawdata[servercert.rawdata.length] = "'
                    + '";\nservercert.rawdata[ servercert.rawdata.length ] = "'.join(lines + [""])
                    + '";\nservercert.getrc = 0;\n')
        for server in (LF_CERT, CRLF_CERT):
            self.assertEqual(self.tags("?JS&servercert=" + server), expected % server, server)

    def test_hostile_server_name_is_escaped(self):
        # A raw request line, as a crafted link would send it.
        r = self.get('/proxy/kelui/getuiinfo?JS&servercert=";alert(document.cookie);//')
        self.assertEqual(r.body, 'servercert = new Object;\nservercert.servername = "\\";alert(document.cookie);//";\n'
                                 'servercert.getrc = 305;\n')
        r = self.get('/proxy/kelui/getuiinfo?JS&servercert=</script><script>alert(1)</script>')
        self.assertNotIn("<", r.body)

    def test_silent_management_server_times_out_and_the_portal_keeps_serving(self):
        answers = {}

        def slow():
            start = time.monotonic()
            answers["body"] = self.tags("?JS&servercert=" + SILENT)
            answers["time"] = time.monotonic() - start

        t = threading.Thread(target=slow)
        t.start()
        deadline = time.monotonic() + 5
        while not self.fixtures[2].connections and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.fixtures[2].connections, 1)
        served = self.get("/proxy/kelui/getuiinfo?JS&debugurl")
        self.assertEqual(served.body, 'debugurl = "";\n')
        t.join(15)
        self.assertFalse(t.is_alive())
        self.assertLess(answers["time"], 11)
        self.assertIn("servercert.getrc = 308;\n", answers["body"])

    def test_login_message_and_picture(self):
        custom = self.inst.path("data", "htdocs", "custom.txt")
        picture = self.inst.path("data", "htdocs", "custom.jpg")
        login = lambda: self.get("/proxy/kelui/getlogininfo?JS&username", source="127.0.0.2")
        r = login()
        self.assertTrue(r.content_type.startswith("text/javascript"))
        self.assertEqual(r.body, 'systemname = "%s";\nkelversion = "QX Kel Portal v2.1.10.186";\n'
                                 'kelcopyright = "Copyright (c) QX. All rights reserved.";\n'
                                 'loginmsg = null;\nloginjpg = null;\n' % socket.gethostname())
        write(custom, 'Welcome to "the" portal\r\nNo <b>tags</b> \\ here\n')
        write(picture, "jpeg")
        try:
            body = login().body
            self.assertIn('loginmsg = ""\n+"Welcome to  the  portal"\n+"No \\x3Cb\\x3Etags\\x3C/b\\x3E \\\\ here"\n;\n'
                          'loginjpg = "/custom.jpg"\n', body)
        finally:
            os.unlink(custom)
            os.unlink(picture)

    def test_ui_urls_in_other_letter_case_and_unknown_ones(self):
        self.assertEqual(self.get("/proxy/KELUI/GETUIINFO?JS&debugurl").body, 'debugurl = "";\n')
        r = self.get("/proxy/KELUI/GETCERTDATA?one.example.pem")
        self.assertEqual((r.status, r.body), (200, "<PRE>%s</PRE>" % self.trusted))
        r = self.get("/proxy/kelui/nosuchpage")
        self.assertEqual((r.status, r.body), (200, ""))

    # ---- the request handlers -------------------------------------------

    def test_log_download(self):
        self.get("/kelprobe/log?a<marked>line")
        cases = [("?text&kellog", True), ("?TEXT&KELLOG", True), ("?text&orvlog", False), ("?text", False),
                 ("?html&kellog", False), ("", False)]
        for query, has_log in cases:
            r = self.get("/proxy/kelui/getkellog" + query)
            self.assertEqual(r.status, 200, query)
            self.assertEqual("a&lt;marked&gt;line" in r.body, has_log, query)
        self.assertEqual(self.get("/proxy/kelui/getkellog?text&kellog", client=self.user).location,
                         "/message.php?200&4")
        self.assertEqual(self.get("/proxy/kelui/getkellog?text&kellog", source="127.0.0.2").location,
                         "/message.php?200&4")

    def test_certificate_text_and_view(self):
        self.assertEqual(self.get("/proxy/kelui/getcertdata?one%2Eexample.pem").body, "<PRE>%s</PRE>" % self.trusted)
        self.assertEqual(self.get("/proxy/kelui/getcertdata?none.pem").body, "")
        view = self.get("/proxy/kelui/getcertinfo?one.example.pem").body
        self.assertTrue(view.startswith("<pre>") and "Subject: CN=one.example" in view, view[:300])
        # Not trusted: the session's fetched certificate is shown.
        self.assertEqual(self.get("/proxy/kelui/getcertinfo?none.pem", client=self.admin).body, "")
        self.assertIn("certAvail=\"TRUE\"", self.get("/proxy/kelui/getaiccert?x&ZQ=%s&y" % WITH_CERT,
                                                     client=self.admin).body)
        view = self.get("/proxy/kelui/getcertinfo?none.pem", client=self.admin).body
        self.assertIn("Subject: CN=mgmt.example", view)
        with open(os.path.join(self.session_dir(self.admin), "keluicrt.pem"), newline="") as f:
            self.assertEqual(f.read(), self.mgmt_cert.replace("\n", "\r\n"))

    def test_certificate_removal(self):
        cert = kelcerts.make("two.example")[0]
        kelcerts.write(self.inst.path("certs", "gone.pem"), cert)
        self.assertEqual(self.get("/proxy/kelui/removecert?a.pem").status, 405)
        cases = [  # (client or source, query, location)
            (self.user, "a.pem", "/message.php?200&4a.pem"),
            ("127.0.0.2", "a.pem", "/message.php?200&4a.pem"),
            ("127.0.0.1", "a.pem", "/message.php?301&3&a.pem"),
            ("127.0.0.1", "a%0d%0aX:%20y", "/message.php?301&3&a%0D%0AX:%20y"),
        ]
        for who, query, location in cases:
            kw = {"client": who} if isinstance(who, Client) else {"source": who}
            r = self.post("/proxy/kelui/removecert?" + query, **kw)
            self.assertEqual((r.status, r.location), (302, location), query)
        self.assertNotIn("X", self.post("/proxy/kelui/removecert?a%0d%0aX:%20y").headers)

    def test_management_probe_and_fetch(self):
        probe = lambda q, **kw: self.get("/proxy/kelui/getaiccert" + q, **kw).body
        self.assertEqual(probe("?ZQ=%s" % WITH_CERT), 'certAvail="FALSE";\n')
        self.assertEqual(probe("?a=b&ZQ=%s" % WITH_CERT), 'certAvail="FALSE";\n')
        self.assertEqual(probe("?a=b&ZQ=%s&" % WITHOUT_CERT), 'certAvail="FALSE";\n')
        self.assertEqual(probe("?a=b&ZQ=%s&" % WITH_CERT), 'certAvail="TRUE";\n')
        r = self.get("/proxy/kelui/getaiclogininfo?ZQName=%s&RedirectSsoUrl=/x" % NOBODY)
        self.assertEqual((r.status, r.location), (302, "/message.php?310&3&/x"))
        r = self.get("/proxy/kelui/getaiclogininfo?a=b&ZQName=%s&" % WITH_CERT)
        self.assertEqual((r.status, r.body, r.set_cookie), (200, "", None))
        r = self.get("/proxy/kelui/getaiclogininfo?ZQName=%s&RedirectSsoUrl=/x" % WITH_CERT, client=self.admin)
        self.assertEqual(r.status, 200)
        self.assertIn("Subject: CN=mgmt.example", r.body)
        value = base64.b64encode(self.mgmt_cert.replace("\n", "\r\n").encode()).decode()
        self.assertEqual(r.set_cookie, "ZQCert=%s; path=/" % value)

    def test_trusting_a_management_server(self):
        pem = kelcerts.make("trust.example")[0]
        cookie = "a=b; ZQCert=%s; c=d" % base64.b64encode(pem.encode()).decode()
        trust = lambda q, client, cookies=cookie: self.post(
            "/proxy/kelui/doaicafterlogin" + q, client=client,
            headers={"Cookie": "%s; %s" % (client.cookie, cookies) if client.cookie else cookies})
        self.assertEqual(self.get("/proxy/kelui/doaicafterlogin?RedirectSsoUrl=%2Fhome", client=self.admin).status, 405)
        r = trust("?RedirectSsoUrl=%2Fhome", self.user)
        self.assertEqual((r.status, r.location), (302, "/message.php?311&3&/home"))
        r = trust("?x&RedirectSsoUrl=%2Fhome", self.admin, "a=b")
        self.assertEqual((r.status, r.location, r.body), (200, None, ""))
        r = trust("", self.admin)
        self.assertEqual((r.status, r.location), (200, None))
        r = trust("?RedirectSsoUrl=%2Fhome", self.admin)
        self.assertEqual((r.status, r.location), (302, "/message.php?312&2&/home"))
        self.assertIn("trust.example", self.get("/kelprobe/certs").body)
        self.assertTrue(os.path.exists(self.inst.path("certs", "trust.example.pem")))

    def test_navigation_tree_page(self):
        r = self.get("/proxy/kelui/chptree.htm")
        self.assertEqual(r.status, 200)
        self.assertTrue(r.content_type.startswith("text/html"))
        for piece in ("treehead.htm", "chpif.js", "treebody.js", "treetail.htm"):
            with open(self.inst.path("data", "htdocs", piece)) as f:
                self.assertIn(f.read(), r.body, piece)
        head = r.body.index("var chpTree")
        self.assertLess(head, r.body.index("orvlog = false;\nkelconfigauth = true;\n"))
        self.assertLess(r.body.index("kelconfigauth = true;\n"), r.body.index("if (kelconfigauth)"))
        self.assertLess(r.body.index("if (kelconfigauth)"), r.body.index("begin navigation"))
        self.assertLess(r.body.index(NAV_SCRIPT), r.body.index('chpRender(document'))

    def test_homepage_is_one_document_with_the_tree_scripts_and_tags(self):
        r = self.get("/")
        self.assertEqual((r.status, r.headers.get("Cache-Control")), (200, "no-store"))
        self.assertTrue(r.content_type.startswith("text/html"))
        order = [r.body.index(piece) for piece in ("<title>", "--accent:", "<main", "var chpTree", "kelconfigauth = true;",
                                                   "begin navigation", NAV_SCRIPT, "systemname = ", "webapplist",
                                                   "var Kel =", "Kel.frame(\"home\")", "</html>")]
        self.assertEqual(order, sorted(order))


class UiTimeoutTest(ServerTest):
    """A navigation source slower than the lowest ui-timeout (10 s)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        apps = {"slow.xml": "<webapp name='slow'><marketname>Slow</marketname>"
                            "<chpurl>/cgi-bin/slownav.cgi</chpurl></webapp>"}
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "ui", "slownav.cgi"),
                    cls.inst.path("data", "cgi-bin", "slownav.cgi"))
        prepare(cls.inst, {"ui-timeout": "10"}, apps)
        cls.start_server(Server(cls.inst))

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    def test_slow_navigation_is_reported(self):
        self.allow_log(TIMEOUT_LINE)
        body = Client(self.inst).get("/proxy/kelui/getuiinfo?JS&navigation")[1]
        self.assertIn('chpAddItem("Slow", "Slow page", "/slow/");\n', body)
        total = int(re.search(r"end navigation \(total time: (\d+)s\)", body).group(1))
        self.assertGreater(total, 10)
        log = self.server.error_log_with("UI Timeout")
        self.assertRegex(log, r"UI Timeout \(limit: 10s\) -- Nav Load Time:  %ds  \[breakdown:    slow\(Slow\): \d+s  "
                              r"\|\|  orv\(backwards compatibility\): 0s\]" % total)
        self.assertIn("UI Timeout (limit: 10s) -- Nav Load Time:", self.inst.read("logs", "kel.log"))


if __name__ == "__main__":
    unittest.main()
