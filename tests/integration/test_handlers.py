"""The settings and status requests on the real qxkeld. The login layer
gives 127.0.0.1 the local administrator and 127.0.0.2 the anonymous level."""
import os
import subprocess
import unittest
import urllib.parse

import kelcerts
from kelharness import Client, Server, ServerTest

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "anonymous-access": "True",
            "localaccess-enabled": "True", "localaccess-type": "Administrator"}
RESTART_ALERT = r"\[kel_config:alert\].*IP Binding/IP Restriction page requested a graceful restart\."
APPS = {
    "hidden.xml": "<webapp name='quiet'><marketname>Quiet Tool</marketname><hidden value='yes'/>"
                  "<entryurl>/quiet/</entryurl></webapp>",
    "stat.xml": "<webapp name='stat'><marketname>MarketingName: Status Tool</marketname><cimom value='yes'/>"
                "<statusurl>/cgi-bin/status.cgi</statusurl><cimomurl>/stat/cim.txt</cimomurl></webapp>",
    "nostat.xml": "<webapp name='nostat'/>",
}
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def certificate(days, cn="Mgmt.Example"):
    """A certificate valid for that many days; 0 days ends when it begins."""
    return kelcerts.make(cn, days=days)[0]


class HandlerTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for name, text in APPS.items():
            with open(cls.inst.path("webapp", name), "w") as f:
                f.write(text)
        os.makedirs(cls.inst.path("data", "htdocs", "stat"), exist_ok=True)
        with open(cls.inst.path("data", "htdocs", "stat", "cim.txt"), "w") as f:
            f.write("stat cim answer")
        cgi = cls.inst.path("data", "cgi-bin", "status.cgi")
        with open(cgi, "w") as f:
            f.write("#!/bin/sh\nprintf 'WebAppStatus: 3\\r\\nContent-Type: text/plain\\r\\n\\r\\n'\n")
        os.chmod(cgi, 0o755)
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.inst.load_probe()
        cls.start_server(Server(cls.inst))

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    def request(self, method, path, body=None, headers=None, source="127.0.0.1"):
        r = Client(self.inst, source).request(method, path, body=body, headers=headers)
        return r.status, r.location, r.content_type, r.body

    def get_data(self, query):
        return self.request("GET", "/proxy/GetKELData" + query)

    def set_data(self, form, source="127.0.0.1"):
        return self.request("POST", "/proxy/SetKELData", body=form, headers=FORM, source=source)[1]

    def test_failure_at_the_c_boundary_is_logged_and_answered_500(self):
        self.allow_log(r"kel_probe_handler \[client 127\.0\.0\.1, user qxkel_local_administrator\]: /kelprobe/throw: "
                       r"caught probe failure")
        self.assertEqual(self.request("GET", "/kelprobe/throw")[0], 500)
        self.assertIn("kel_probe_handler [client 127.0.0.1, user qxkel_local_administrator]: /kelprobe/throw: caught "
                      "probe failure", self.server.error_log_with("caught probe failure"))

    def test_settings_read(self):
        status, _, ctype, body = self.get_data("?Jscript&trustmode&ui-timeout")
        self.assertEqual((status, ctype, body), (200, "text/html", 'trustmode="TrustByCert";\nui_timeout=20;\n'))
        self.assertEqual(self.get_data("?Jscript&session-timeout")[3], "")
        self.assertEqual(self.get_data("?Xml&trustmode")[3], "")
        self.assertEqual(self.get_data("")[1], "/message.php?210&4")
        self.assertEqual(self.get_data("?&&")[1], "/message.php?211&4")
        self.assertEqual(self.get_data("?Jscript")[1], "/message.php?212&4")

    def test_settings_write(self):
        self.allow_log(RESTART_ALERT)
        self.assertEqual(self.set_data("zqnamelist=x", source="127.0.0.2"), "/message.php?200&4")
        self.assertEqual(self.set_data("zqnamelist=a%2Cb&trustmode=TrustByAll"), "/message.php?202&2")
        self.assertEqual(self.get_data("?Jscript&zqnamelist&trustmode")[3], 'zqnamelist="a;b";\ntrustmode="TrustByAll";\n')
        self.assertIn("<zqnamelist>a;b</zqnamelist>", self.inst.read("conf", "kelpd.xml"))
        # A value with markup refuses the whole form, pairs before it too.
        self.assertEqual(self.set_data("trustmode=TrustByName&zqnamelist=%3Cb%3E"), "/message.php?204&4")
        self.assertEqual(self.get_data("?Jscript&trustmode")[3], 'trustmode="TrustByAll";\n')
        self.assertEqual(self.set_data("trustmode=Nobody"), "/message.php?204&4")
        # A change that needs a restart: there is no service here, so it fails.
        self.assertEqual(self.set_data("ip-binding=True"), "/message.php?201&4")
        self.assertIn("graceful restart", self.server.error_log_with("graceful restart"))
        # Wrong method or type: an empty answer, nothing changed.
        self.assertEqual(self.request("GET", "/proxy/SetKELData?trustmode=TrustByName")[:2], (200, None))
        # Over 2 MB: refused before it is read (curl waits for the server's
        # go-ahead as browsers do, so it sees the answer without sending it all).
        big = os.path.join(self.inst.root, "big.txt")
        with open(big, "w") as f:
            f.write("zqnamelist=" + "a" * (2 * 1024 * 1024))
        r = subprocess.run(["curl", "-sk", "-m", "30", "-o", "/dev/null", "-w", "%{http_code}", "--interface",
                            "127.0.0.1", "-H", "Content-Type: application/x-www-form-urlencoded", "--data-binary",
                            "@" + big, "https://127.0.0.1:2381/proxy/SetKELData"], capture_output=True, text=True)
        self.assertEqual(r.stdout, "200")
        self.assertIn("Group config POST exceeded 2MB in size.", self.inst.read("logs", "kel.log"))
        status = self.request("POST", "/proxy/SetKELData", body=iter([b"trustmode=TrustByName"]),
                              headers=dict(FORM, **{"Transfer-Encoding": "chunked"}))[0]
        self.assertIn(status, (200, 411))
        self.assertEqual(self.get_data("?Jscript&trustmode")[3], 'trustmode="TrustByAll";\n')

    def test_settings_refused_or_unsaved_change_nothing(self):
        self.allow_log(RESTART_ALERT)
        certs = self.inst.path("certs")
        def store():
            files = {}
            for name in os.listdir(certs):
                with open(os.path.join(certs, name)) as f:
                    files[name] = f.read()
            return files
        listed = lambda: sorted(self.request("GET", "/kelprobe/certs")[3].split(","))
        one, two = certificate(2, "one.example"), certificate(2, "two.example")
        form = "ZQCert1=%s&ZQCert2=%s&zqnamelist=x" % (urllib.parse.quote_plus(one), urllib.parse.quote_plus(two))
        self.assertEqual(self.set_data(form), "/message.php?202&2")
        self.assertEqual(sorted(store()), ["one.example.pem", "two.example.pem"])
        before, settings = store(), self.inst.read("conf", "kelpd.xml")
        for refused in ["ZQCert=garbage", "session-timeout=15&myZQCertx=1", "zqnamelist=y&localaccess-type=Administrator%0A",
                        "session-timeout=9%0A", "ui-timeout=20%0AX", "admin-group=adm%09ins", "zqnamelist=y&ZQCert="
                        + urllib.parse.quote_plus(certificate(2, "three.example")) + "&anonymous-access=maybe"]:
            # A setting that needs a restart asks for one even when refused;
            # there is no service here, so that fails.
            expected = "/message.php?201&4" if refused.startswith("ui-timeout") else "/message.php?204&4"
            self.assertEqual(self.set_data(refused), expected, refused)
            self.assertEqual(store(), before, refused)
            self.assertEqual(listed(), ["one.example", "two.example"], refused)
            self.assertEqual(self.inst.read("conf", "kelpd.xml"), settings, refused)
        self.assertEqual(self.get_data("?Jscript&zqnamelist&localaccess-type")[3],
                         'zqnamelist="x";\nlocalaccess_type="Administrator";\n')
        # A settings file the workers cannot replace: the change fails and
        # memory keeps what the file holds.
        conf = self.inst.path("conf")
        mode = os.stat(conf).st_mode
        os.chmod(conf, 0o550)
        try:
            self.assertEqual(self.set_data("zqnamelist=z"), "/message.php?204&4")
        finally:
            os.chmod(conf, mode)
        self.assertEqual(self.get_data("?Jscript&zqnamelist")[3], 'zqnamelist="x";\n')
        self.assertIn("Saving the KEL configuration file %s failed" % self.inst.path("conf", "kelpd.xml"),
                      self.inst.read("logs", "kel.log"))
        # Quotes stay allowed in a group list, and inside the script's string.
        self.assertEqual(self.set_data("admin-group=" + urllib.parse.quote("a\"b$c'd")), "/message.php?202&2")
        self.assertEqual(self.get_data("?Jscript&admin-group")[3], 'admin_group="a\\"b$c\\\'d";\n')
        self.assertEqual(self.set_data("admin-group="), "/message.php?202&2")

    def test_certificate_import(self):
        def add(text, source="127.0.0.1", headers=FORM, method="POST"):
            body = "AddZQCert=" + urllib.parse.quote_plus(text) if text is not None else "other=1"
            return self.request(method, "/proxy/AddZQCert", body=body, headers=headers, source=source)[1]
        good = certificate(2)
        self.assertEqual(add(good, source="127.0.0.2"), "/message.php?200&4")
        self.assertEqual(add(good, method="PUT"), "/message.php?203&4")
        self.assertEqual(add(good, headers={"Content-Type": "text/plain"}), "/message.php?203&4")
        self.assertEqual(add(None), "/message.php?207&4")
        self.assertEqual(add("not a certificate"), "/message.php?207&4")
        self.assertEqual(add(kelcerts.expired("old.example")), "/message.php?209&4")
        # A store the workers cannot write in.
        certs = self.inst.path("certs")
        mode = os.stat(certs).st_mode
        os.chmod(certs, 0o550)
        try:
            self.assertEqual(add(good), "/message.php?206&4")
        finally:
            os.chmod(certs, mode)
        self.assertEqual(add(good), "/message.php?205&2")
        self.assertEqual(os.listdir(certs), ["mgmt.example.pem"])

    def test_status_reports(self):
        # A legacy agent's record, as agent discovery adds them.
        self.assertEqual(self.request("GET", "/kelprobe/addagent?49431")[3], "1")
        # Agents fetch the registration report on the legacy port.
        r = Client(self.inst, port=2301).request("GET", "/proxy/zqstatusreport")
        status, ctype, body = r.status, r.content_type, r.body
        self.assertEqual((status, ctype), (200, "text/plain"))
        self.assertEqual(body, (
            "SSO=1\r\nSTE=1\r\nCommonHomePage=1\r\nSSORestrictAccess=2.0\r\nISAPIExtension=/Proxy\r\nHidden=no\r\n"
            "Proxy=Yes\r\nROOTUrl=/\r\nState=Running\r\nVEXOName=MarketingName: QX Kel Portal\r\nVEXOType=0\r\n"
            "CIMOM=1\r\nHTTPServer=DornikHTTPServer/99.99 (QX Kel Portal v2.1.10.186)\r\n"
            + "".join(sorted([
                "ISAPIExtension=/quiet\r\nHidden=yes\r\nProxy=No\r\nROOTUrl=/quiet/\r\nState=Running\r\n"
                "VEXOName=MarketingName:Quiet Tool\r\nVEXOType=0\r\nCIMOM=0\r\n",
                "ISAPIExtension=/stat\r\nProxy=No\r\nROOTUrl=/\r\nState=Running\r\n"
                "VEXOName=MarketingName: Status Tool\r\nVEXOType=0\r\nCIMOM=1\r\n",
                "ISAPIExtension=/nostat\r\nProxy=No\r\nROOTUrl=/\r\nState=Running\r\nVEXOName=MarketingName:(None)\r\n"
                "VEXOType=0\r\nCIMOM=0\r\n",
                "ISAPIExtension=/agent49431\r\nProxy=No\r\nROOTUrl=/\r\nState=Running\r\n"
                "VEXOName=MarketingName:Agent 49431\r\nVEXOType=2\r\nCIMOM=0\r\nHTTPServer=LegacyAgent/1.0\r\n"],
                key=lambda b: body.find(b)))))
        status, _, _, body = self.request("GET", "/proxy/kelstatus")
        self.assertEqual(status, 200)
        self.assertTrue(body.startswith("KelOverallStatus=3\r\n"), body)
        self.assertIn("WebAppNameAndStatus=stat,3\r\n", body)
        self.assertIn("WebAppNameAndStatus=nostat,0\r\n", body)

    def test_cim_routing_and_configuration_page(self):
        self.assertEqual(self.request("POST", "/cimom", body="<CIM/>", headers={"CIMObject": "root/dornik/stat"})[3],
                         "stat cim answer")
        self.assertEqual(self.request("POST", "/cimom", body="<CIM/>", headers={"CIMObject": "root/dornik/nostat"})[3],
                         "")
        self.assertEqual(self.request("GET", "/Proxy/configui")[:2], (302, "/?chppath=settings::kel portal::security"))


if __name__ == "__main__":
    unittest.main()
