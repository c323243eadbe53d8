"""Group configuration over CIM-XML on the real qxkeld: management servers'
requests in their own shapes, a real CIM client (wbemcli) over HTTPS with
HTTP Basic, and one portal configured from another. The login layer gives
127.0.0.1 the local administrator and 127.0.0.2 the anonymous level."""
import os
import pwd
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))

import kelcerts  # noqa: E402
import cim_requests as ms  # noqa: E402
from control_service import ControlService  # noqa: E402
from kelharness import Client, Installation, Server, ServerTest, Service, wait_until  # noqa: E402

# Bound to 127.0.0.1 alone: the test certificate names no other address.
SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "anonymous-access": "True",
            "localaccess-enabled": "True",
            "localaccess-type": "Administrator", "admin-group": "R&amp;D", "trustmode": "TrustByName",
            "zqnamelist": "a.example;b.example"}
RESTART_ALERT = r"\[kel_config:alert\].*A group configuration task requested a graceful restart\."
RESTARTED_LOGGER = r"AH00291: long lost child came home!"
LIMIT = 2 * 1024 * 1024
QXKEL = pwd.getpwnam("qxkel")


def os_escape_path(text):
    """The web server's path escaping for the operating system."""
    safe = set(b"$-_.+!*'(),:;@&=/~")
    return "".join(chr(c) if chr(c).isalnum() and c < 128 or c in safe else "%%%02x" % c for c in text.encode())


def certificate_value(pem):
    return os_escape_path(pem).replace("+", "%2B").replace("=", "%3D").replace("%20", "+")


def plus_and_equals_certificate(cn):
    """A certificate whose PEM text holds both "+" and "=" (a few tries; the
    padding "=" depends on the length, so on the name): (PEM, its CN)."""
    for i in range(60):
        name = cn + "x" * (i % 3)
        pem = kelcerts.make(name, days=30)[0]
        if "+" in pem and "=" in pem:
            return pem, name
    raise AssertionError("no certificate with + and = in 60 tries")


def write_certificate(inst, name, pem):
    """As the portal's own imports leave them: owned by the workers' account."""
    path = inst.path("certs", name)
    kelcerts.write(path, pem)
    os.chown(path, QXKEL.pw_uid, QXKEL.pw_gid)


def certificates(found):
    """An enumeration's certificates as (CN, PEM text) in name order; line
    ends as LF (imports store them as CR LF)."""
    return sorted((display, urllib.parse.unquote(value.replace("+", " ")).replace("\r", ""))
                  for _, value, display in found["Trusted Certificate"])


def store(inst):
    return sorted(os.listdir(inst.path("certs")))


class CimTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pem, cls.cn = plus_and_equals_certificate("Mgmt.Example")
        write_certificate(cls.inst, "mgmt.example.pem", cls.pem)
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.inst.load_probe()
        cls.server = Server(cls.inst).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    def cim(self, method, body, source="127.0.0.1", cim_object=ms.OBJECT, **kw):
        return Client(self.inst, source).request("POST", "/cimom", body=body.encode() if isinstance(body, str) else body,
                                                 headers=ms.headers(method, cim_object, **kw))

    def settings_file(self):
        return self.inst.read("conf", "kelpd.xml")

    def test_enumeration_in_any_case_with_the_message_identifier(self):
        for method in ("EnumerateInstances", "enumerateinstances", "ENUMERATEINSTANCES"):
            r = self.cim(method, ms.enumerate_body(4711))
            self.assertEqual(r.status, 200)
            self.assertEqual(ms.message_ids(r.body), [4711])
            found = ms.instances(r.body)
            self.assertEqual(list(found), ["OS Group", "Configuration Options", "Trusted Certificate"])
            self.assertEqual([p[0] for p in found["OS Group"]], ["admin-group", "operator-group", "user-group"])
            config = dict((n, v) for n, v, _ in found["Configuration Options"])
            self.assertEqual(list(config)[0], "allow-default-os-admin")
            self.assertEqual(list(config)[-1], "ui-timeout")
            self.assertEqual(len(config), 13)
            self.assertEqual((config["TrustMode"], config["ZQNameList"]), ("TrustByName", "a.example,b.example"))
            # A value with "&" reaches the client intact: the answer is XML.
            self.assertEqual(found["OS Group"][0][1], "R&D")
        self.assertEqual(ms.message_ids(self.cim("EnumerateInstances", ms.enumerate_body(None)).body), [0])

    def test_certificate_values_are_encoded(self):
        found = ms.instances(self.cim("EnumerateInstances", ms.enumerate_body(1)).body)
        [(name, value, display)] = found["Trusted Certificate"]
        self.assertEqual((name, display), ("ZQCert0", self.cn))
        self.assertEqual(value, certificate_value(self.pem))
        self.assertIn("%2B", value)
        self.assertIn("%3D", value)
        self.assertIn("-----BEGIN+CERTIFICATE-----%0a", value)
        self.assertNotIn("=", value.replace("%3D", ""))

    def test_each_enumeration_shows_the_changes_before_it(self):
        form = {"Content-Type": "application/x-www-form-urlencoded"}

        def enumerate_now():
            found = ms.instances(self.cim("EnumerateInstances", ms.enumerate_body(1)).body)
            return dict((n, v) for n, v, _ in found["Configuration Options"])["ZQNameList"], certificates(found)

        def post(path, body):
            return Client(self.inst).request("POST", path, body=body, headers=form).location

        names, certs = enumerate_now()
        self.assertEqual(enumerate_now(), (names, certs))
        extra = kelcerts.make("extra.example")[0]
        try:
            self.assertIn("message.php?", post("/proxy/SetKELData", urllib.parse.urlencode({"zqnamelist": "c.example"})))
            self.assertEqual(enumerate_now(), ("c.example", certs))
            self.assertIn("?205&2", post("/proxy/AddZQCert", "AddZQCert=" + urllib.parse.quote_plus(extra)))
            now = enumerate_now()
            self.assertEqual(len(now[1]), len(certs) + 1)
            self.assertIn(("extra.example", extra.replace("\r", "")), now[1])
        finally:
            post("/proxy/SetKELData", urllib.parse.urlencode({"zqnamelist": "a.example;b.example"}))
            for name in set(store(self.inst)) - {"mgmt.example.pem"}:
                post("/proxy/kelui/removecert?" + name, "")
        self.assertEqual(enumerate_now(), (names, certs))

    def test_body_limit(self):
        self.allow_log()
        body = ms.enumerate_body(5)
        body += " " * (LIMIT - len(body))
        r = self.cim("EnumerateInstances", body)
        self.assertEqual((r.status, ms.message_ids(r.body)), (200, [5]))
        # One byte more is refused before it is read (curl waits for the
        # server's go-ahead, so it sees the answer without sending it all).
        big = os.path.join(self.inst.root, "big.xml")
        with open(big, "w") as f:
            f.write(body + " ")
        args = ["curl", "-sk", "-m", "30", "-o", "/dev/null", "-w", "%{http_code}", "--data-binary", "@" + big]
        for k, v in ms.headers("EnumerateInstances").items():
            args += ["-H", "%s: %s" % (k, v)]
        r = subprocess.run(args + ["https://127.0.0.1:2381/cimom"], capture_output=True, text=True)
        self.assertEqual(r.stdout, "413")
        self.assertIn("Group config POST exceeded 2MB in size.", self.inst.read("logs", "kel.log"))

    def test_modify_instance_answers_and_forms(self):
        foreign = ms.modify_body([ms.instance([("TrustMode", "TrustByAll")], classname="CIM_Other")], 8)
        r = self.cim("ModifyInstance", foreign)
        self.assertEqual(ms.errors(r.body), [(1, "Invalid Instance Classname\n")] * 2)
        self.assertEqual(r.body.count("<?xml"), 2)
        before = self.settings_file()
        r = self.cim("ModifyInstance", ms.modify_body([ms.instance([("TrustMode", "TrustByAll"),
                                                                    ("ui-timeout", "0")])], 9))
        self.assertEqual(ms.errors(r.body), [(1, "Invalid CIMXML parameter(s) \n")])
        self.assertIn('<IMETHODRESPONSE NAME="ModifyInstance">\r\n<ERROR CODE="1" DESCRIPTION="Invalid CIMXML '
                      'parameter(s) \n"> \r\n</IMETHODRESPONSE>', r.body)
        self.assertEqual(self.settings_file(), before)
        # Framing decides how later answers look.
        with ControlService(self.inst.path("run", "kelsvc.sock"), 4) as service:
            os.chmod(service.path, 0o777)
            for framing, element in (("IMETHODCALL", "IMETHODRESPONSE"), ("METHODCALL", "METHODRESPONSE")):
                self.allow_log(RESTART_ALERT)
                r = self.cim("ModifyInstance", ms.modify_body([ms.instance([("ZQNameList", "c.example")])], 10,
                                                              framing))
                self.assertEqual(r.body, '<?xml version="1.0" encoding="utf-8"?>\r\n<CIM CIMVERSION="2.0" '
                                 'DTDVERSION="2.0">\r\n<MESSAGE ID="10" PROTOCOLVERSION="1.0">\r\n<SIMPLERSP>\r\n'
                                 '<%s NAME="ModifyInstance"/>\r\n</SIMPLERSP>\r\n</MESSAGE>\r\n</CIM>\n' % element)
                r = self.cim("ApplyToAll", ms.apply_body(11))
                self.assertIn('<%s NAME="ApplyToAll"/>' % element, r.body)
                r = self.cim("Frobnicate", ms.apply_body(12))
                self.assertEqual(ms.errors(r.body), [(1, "Method call is not supported\n")])
                self.assertIn('<%s NAME="UnknownMethod">' % element, r.body)
            # ApplyToAll without staged certificates: the store stays, the
            # line is logged and the restart asked for.
            self.assertEqual(store(self.inst), ["mgmt.example.pem"])
            self.assertEqual(service.controls, ["CONTROL 128"] * 2)
        self.assertIn("<zqnamelist>c.example</zqnamelist>", self.settings_file())
        self.assertEqual(self.inst.read("logs", "kel.log").count("The KEL has been group configured."), 2)
        self.assertIn("A group configuration task requested a graceful restart.", self.server.error_log())
        # Framed as neither: the older clients hear nothing.
        r = self.cim("ModifyInstance", ms.modify_body([ms.instance([("ZQNameList", "a.example")])], 13, None))
        self.assertEqual((r.status, r.body), (200, ""))
        self.cim("ModifyInstance", ms.modify_body([ms.instance([("TrustMode", "TrustByName")])], 14))

    def test_refusals(self):
        before = self.settings_file()
        body = ms.modify_body([ms.instance([("TrustMode", "TrustByAll")])], 3)
        for method in ("ModifyInstance", "ApplyToAll"):
            r = self.cim(method, body, source="127.0.0.2")
            self.assertEqual((r.status, r.location), (302, "/message.php?200&4"))
        self.assertEqual(self.settings_file(), before)
        self.assertIn("Group configuration ApplyToAll from 127.0.0.2 refused", self.inst.read("logs", "kel.log"))
        # Another object path, or another operation: an empty answer.
        for kw in ({"cim_object": "root/qx/proxy"}, {"cim_object": "root%2Fqx%2Fproxy"},
                   {"operation": "MethodResponse"}):
            r = self.cim("EnumerateInstances", ms.enumerate_body(2), **kw)
            self.assertEqual((r.status, r.body), (200, ""), kw)
        # A document that cannot be read.
        r = self.cim("ModifyInstance", "<CIM><MESSAGE ID=\"1\">")
        self.assertEqual((r.status, r.body), (400, ""))
        self.assertNotIn("CIMError", r.headers)
        r = self.cim("EnumerateInstances", "<CIM", cim_object="root%2Fdornik%2Fproxy")
        self.assertEqual((r.status, r.headers.get("CIMError")), (400, "request-not-well-formed"))
        self.assertFalse(os.path.exists(self.inst.path("conf", "cimom.xml")))
        self.assertEqual(self.settings_file(), before)


class WbemcliTest(ServerTest):
    """Debian's wbemcli, logging in with HTTP Basic over HTTPS."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.inst.use_fake_accounts()
        cls.inst.write_settings({"log-level": "warn", "admin-group": "kelops", "user-group": "kelusers",
                                 "reject-prog-admin-login": "False"})
        cls.inst.prepare()
        cls.server = Server(cls.inst).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    def wbemcli(self, *args, user="kelalice:secret-alice", path=""):
        url = "https://%s@127.0.0.1:2381/root/dornik/proxy:Drk_Proxy%s" % (user, path)
        r = subprocess.run(["wbemcli", args[0], "-cacert", os.path.join(self.inst.ssl, "cert.pem"), url] + list(args[1:]),
                           capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        return r.returncode, r.stdout, r.stderr

    def test_enumerate_modify_and_apply(self):
        code, out, err = self.wbemcli("ei")
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(len(lines), 3, out)
        self.assertIn('Drk_Proxy.OS Group=Properties admin-group="kelops",operator-group="",user-group="kelusers"',
                      lines[0])
        self.assertIn("Drk_Proxy.Configuration Options=Properties allow-default-os-admin=True,", lines[1])
        self.assertIn('TrustMode="TrustByCert"', lines[1])
        self.assertIn(",ui-timeout=20", lines[1])
        self.assertIn("Drk_Proxy.Trusted Certificate=Properties", lines[2])
        # A user may read but not change.
        self.assertEqual(self.wbemcli("ei", user="kelbob:secret-bob")[0], 0)
        code, _, _ = self.wbemcli("mi", "user-group=", user="kelbob:secret-bob", path='.OS Group="Properties"')
        self.assertNotEqual(code, 0)
        # An administrator changes a setting: GetInstance, then ModifyInstance.
        code, out, err = self.wbemcli("mi", "operator-group=kelusers", path='.OS Group="Properties"')
        self.assertEqual(code, 0, err)
        settings = self.inst.read("conf", "kelpd.xml")
        self.assertIn("<operator-group>kelusers</operator-group>", settings)
        self.assertIn("<admin-group>kelops</admin-group>", settings)
        code, out, err = self.wbemcli("gi", path='.OS Group="Properties"')
        self.assertEqual(code, 0, err)
        self.assertIn('operator-group=""', out)  # memory waits for the restart
        with ControlService(self.inst.path("run", "kelsvc.sock"), 4) as service:
            os.chmod(service.path, 0o777)
            self.allow_log(RESTART_ALERT)
            code, out, err = self.wbemcli("cm", "ApplyToAll")
            self.assertEqual(code, 0, err)
            self.assertEqual(service.controls, ["CONTROL 128"])
        self.assertIn("Group configuration ModifyInstance from 127.0.0.1 refused: kelbob is not an administrator.",
                      self.inst.read("logs", "kel.log"))


class GroupConfigurationTest(unittest.TestCase):
    """The settings and trusted certificates of one portal, enumerated and
    sent to a second one, which serves them after its restart."""

    def test_second_portal_takes_the_first_ones_configuration(self):
        first, second = Installation(), Installation()
        try:
            self.replicate(first, second)
        finally:
            first.remove()
            second.remove()

    def replicate(self, first, second):
        pems = [plus_and_equals_certificate("one.example")[0], kelcerts.make("two.example", days=30)[0]]
        for i, pem in enumerate(pems):
            write_certificate(first, "c%d.pem" % i, pem)
        first.write_settings(dict(SETTINGS, **{"ui-timeout": "45", "ip-restricted-exclude": "10.0.0.1;10.0.0.2"}))
        first.prepare()
        with Server(first):
            enumerated = Client(first).request("POST", "/cimom", body=ms.enumerate_body(1),
                                               headers=ms.headers("EnumerateInstances")).body
        source = ms.instances(enumerated)
        self.assertEqual(len(source["Trusted Certificate"]), 2)

        write_certificate(second, "old.example.pem", kelcerts.make("old.example", days=30)[0])
        second.write_settings({"ip-binding": "True", "ip-binding-list": "", "log-level": "warn",
                               "localaccess-enabled": "True", "localaccess-type": "Administrator"})
        with Service(second, expected_log=[RESTARTED_LOGGER, RESTART_ALERT]) as svc:
            client = Client(second)
            r = client.request("POST", "/cimom", body=ms.modify_body(ms.replicate(enumerated), 2),
                               headers=ms.headers("ModifyInstance"))
            self.assertIn('<IMETHODRESPONSE NAME="ModifyInstance"/>', r.body)
            self.assertEqual(len([n for n in store(second) if n.endswith(".pem.ras")]), 2)
            parent = svc.server_pid()
            r = client.request("POST", "/cimom", body=ms.apply_body(3), headers=ms.headers("ApplyToAll"))
            self.assertIn('<IMETHODRESPONSE NAME="ApplyToAll"/>', r.body)

            def now():
                try:
                    return ms.instances(Client(second).request("POST", "/cimom", body=ms.enumerate_body(4),
                                                               headers=ms.headers("EnumerateInstances")).body)
                except Exception:  # noqa: BLE001 - the server is restarting
                    return None
            def same():
                found = now()
                return found and [found[k] for k in keys] == [source[k] for k in keys] and \
                    certificates(found) == certificates(source)
            keys = ("OS Group", "Configuration Options")
            self.assertEqual(wait_until(same, 60), True, now())
            self.assertEqual(store(second), sorted(cn.lower() + ".pem" for cn, _ in certificates(source)))
            self.assertEqual(svc.server_pid(), parent)  # a graceful restart
        settings = second.read("conf", "kelpd.xml")
        self.assertIn("<ip-restricted-exclude>10.0.0.1;10.0.0.2</ip-restricted-exclude>", settings)
        self.assertIn("<ui-timeout>45</ui-timeout>", settings)


if __name__ == "__main__":
    unittest.main()
