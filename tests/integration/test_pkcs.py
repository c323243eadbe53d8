"""Certificate requests and PKCS#7 imports on the real qxkeld. The login
layer gives 127.0.0.1 the local administrator and 127.0.0.2 the anonymous
level; the server key is root's alone, so its operations go through the
module's key helper."""
import datetime
import os
import pwd
import socket
import ssl
import subprocess
import unittest
import urllib.parse

from cryptography.hazmat.primitives import hashes

import kelcerts
from kelharness import Client, InstallationTest, Server, ServerTest, Service, wait_until

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "anonymous-access": "True",
            "localaccess-enabled": "True", "localaccess-type": "Administrator"}
GEN, IMP, RESTART = "/proxy/kelgen_c.htm", "/proxy/kelimp_c.htm", "/proxy/kelrestart_c.htm"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}
DEFAULT_UNIT = "Varnholt Network Management Software (KEL)"
# The virtual hosts are named by address while a certificate for the host
# names the host: mod_ssl says so once per TLS host.
NAME_MISMATCH = r"AH01909: .* server certificate does NOT include an ID which matches the server name"
# Apache reaps the access log's rotatelogs that a graceful restart replaced.
RESTARTED_LOGGER = r"AH00291: long lost child came home!"


def key_helper_of(parent):
    """The key helper among the web server's children (by its name)."""
    with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
        children = [int(p) for p in f.read().split()]
    for pid in children:
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == "kelkey":
                    return pid
        except OSError:
            continue
    return None


def openssl(*args, stdin=None):
    r = subprocess.run(["openssl"] + list(args), input=stdin, capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise AssertionError("openssl %s: %s" % (" ".join(args), r.stderr))
    return r.stdout


def read(path):
    with open(path) as f:
        return f.read()


def import_body(text):
    return "pkcs7_data=" + urllib.parse.quote_plus(text)


class PkcsTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.start_server(Server(cls.inst))
        if not wait_until(lambda: key_helper_of(cls.server.proc.pid) is not None, 20):
            raise AssertionError("the key helper did not start")
        cls.request_file = cls.inst.path("data", "req_cr.pem")
        cls.cert_file = os.path.join(cls.inst.ssl, "cert.pem")
        cls.key = read(os.path.join(cls.inst.ssl, "file.pem"))
        cls.ca = kelcerts.Authority()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.old_cert = read(self.cert_file)

    def tearDown(self):
        # The server serves the old certificate until a restart: the
        # harness's client trusts what cert.pem holds.
        with open(self.cert_file, "w") as f:
            f.write(self.old_cert)
        os.chmod(self.cert_file, 0o660)
        super().tearDown()

    def call(self, method, path, body=None, headers=None, source="127.0.0.1"):
        r = Client(self.inst, source).request(method, path, body=body, headers=headers)
        return r.status, r.location

    def generate(self, query, source="127.0.0.1"):
        return self.call("GET", GEN + "?" + query, source=source)[1]

    def import_reply(self, body, headers=FORM, method="POST", source="127.0.0.1"):
        return self.call(method, IMP, body=body, headers=headers, source=source)[1]

    def subject(self):
        return openssl("req", "-in", self.request_file, "-noout", "-subject").strip()

    def expected_subject(self, org="Varnholt Company", unit=DEFAULT_UNIT):
        return "subject=C = US, ST = Vendria, L = Tolsburg, O = %s, OU = %s, CN = %s" % (org, unit,
                                                                                        socket.gethostname())

    def log(self):
        return self.inst.read("logs", "kel.log")

    def test_head_does_nothing(self):
        def files():
            found = {}
            for d in (self.inst.path("data"), self.inst.ssl):
                for name in os.listdir(d):
                    st = os.stat(os.path.join(d, name))
                    found[os.path.join(d, name)] = (st.st_mtime_ns, st.st_ino)
            return found
        before = files()
        for path in (GEN + "?orgz=X", IMP):
            status, location = self.call("HEAD", path)
            self.assertEqual((status, location), (200, None), path)
        self.assertEqual(files(), before)

    def test_request_for_the_server_key(self):
        self.assertEqual(self.generate("orgz=ACME%20Corp&org_unit=IT+Dept"), "/message.php?511&2&" + self.request_file)
        self.assertEqual(self.subject(), self.expected_subject("ACME Corp", "IT Dept"))
        text = openssl("req", "-in", self.request_file, "-noout", "-text", "-verify")
        self.assertIn("sha256WithRSAEncryption", text)
        self.assertNotIn("X509v3", text)  # no extensions
        # The key of the request is the server's.
        self.assertEqual(openssl("req", "-in", self.request_file, "-noout", "-pubkey"),
                         openssl("pkey", "-pubout", stdin=self.key))
        st = os.stat(self.request_file)
        self.assertEqual((pwd.getpwuid(st.st_uid).pw_name, st.st_mode & 0o777), ("qxkel", 0o640))

        cases = [("orgz=&org_unit=Unit", self.expected_subject(unit="Unit")),
                 ("orgz=" + "o" * 64, self.expected_subject("o" * 64)),
                 ("orgz=A&pkcs7_data=x&org_unit=Ignored", self.expected_subject("A")),
                 ("", self.expected_subject())]
        for query, subject in cases:
            self.assertEqual(self.generate(query), "/message.php?511&2&" + self.request_file, query)
            self.assertEqual(self.subject(), subject, query)
        before = read(self.request_file)
        for query in ("orgz=" + "o" * 65, "org_unit=" + "u" * 65):
            self.assertEqual(self.generate(query), "/message.php?525&4", query)
        self.assertEqual(read(self.request_file), before)
        # Nobody but an administrator.
        self.assertEqual(self.generate("orgz=Evil", source="127.0.0.2"), "/message.php?2&4")
        self.assertEqual(read(self.request_file), before)
        self.assertIn("Unauthorized PKCS#7 request attempted.\n", self.log())

    def test_import_refusals(self):
        stranger = kelcerts.make("stranger.example")[0]
        other_key = kelcerts.make("other.example")[1]
        cases = [
            ("GET", FORM, "", "/message.php?524&4", "Unsupported HTTP request type for PKCS #7 import.\n"),
            ("POST", {"Content-Type": "multipart/form-data; boundary=x"}, "pkcs7_data=x", "/message.php?523&4",
             "Unsupported encryption type for PKCS #7 import request.\n"),
            ("POST", {"Content-Type": "application/x-www-form-urlencoded; charset=UTF-8"}, "pkcs7_data=x",
             "/message.php?523&4", "Unsupported encryption type for PKCS #7 import request.\n"),
            ("POST", FORM, "other=1", "/message.php?530&4", "No PKCS #7 data provided.\n"),
            ("POST", FORM, "pkcs7_data=&other=1", "/message.php?530&4", "No PKCS #7 data provided.\n"),
            ("POST", FORM, "pkcs7_data=%zz", "/message.php?520&4", "The PKCS #7 data holds a malformed URL escape.\n"),
            ("POST", FORM, import_body(stranger), "/message.php?521&4", "Could not load the PKCS #7 object.\n"),
            ("POST", FORM, import_body(kelcerts.pkcs7_reply(self.ca.cert, self.ca.issue(other_key, "other"))),
             "/message.php?521&4", "The Certificate does not match the Private Key.\n"),
        ]
        for method, headers, body, location, line in cases:
            mark = len(self.log())
            self.assertEqual(self.import_reply(body, headers, method), location, (method, headers, body[:40]))
            self.assertIn(line, self.log()[mark:], body[:40])
            self.assertEqual(read(self.cert_file), self.old_cert)
        good = kelcerts.pkcs7_reply(self.ca.issue(self.key, "server"))
        self.assertEqual(self.import_reply(import_body(good), source="127.0.0.2"), "/message.php?2&4")
        self.assertEqual(read(self.cert_file), self.old_cert)

    def test_import_installs_the_certificate_of_the_key_and_keeps_it_read_only(self):
        server = self.ca.issue(self.key, "server.example")
        owner = os.stat(self.cert_file).st_uid
        os.chmod(self.cert_file, 0o440)
        reply = kelcerts.pkcs7_reply(self.ca.cert, server)
        self.assertEqual(self.import_reply(import_body(reply)), "/message.php?512&2")
        self.assertEqual(read(self.cert_file), server + "\n")
        st = os.stat(self.cert_file)
        self.assertEqual((st.st_uid, st.st_mode & 0o777), (owner, 0o440))
        # The work files are for the workers' account alone.
        self.assertEqual(read(self.inst.path("data", "certxyz.tmp")), reply)
        self.assertEqual(read(self.inst.path("data", "cert_tmp.tmp")), server + "\n")
        for name in ("certxyz.tmp", "cert_tmp.tmp"):
            self.assertEqual(os.stat(self.inst.path("data", name)).st_mode & 0o777, 0o600, name)

    def test_certificates_the_web_server_would_refuse(self):
        sha1 = self.ca.issue(self.key, "server.example", digest=hashes.SHA1)
        past = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=10)
        expired = self.ca.issue(self.key, "server.example", not_before=past, not_after=past + datetime.timedelta(days=1))
        for cert, line in ((sha1, "The Certificate cannot be used by the web server: "),
                           (expired, "The Certificate has expired (")):
            mark = len(self.log())
            self.assertEqual(self.import_reply(import_body(kelcerts.pkcs7_reply(cert))), "/message.php?521&4")
            self.assertIn(line, self.log()[mark:])
            self.assertEqual(read(self.cert_file), self.old_cert)

    def test_restart_needs_an_administrator_and_a_post(self):
        self.assertEqual(self.call("POST", RESTART, body="", headers=FORM, source="127.0.0.2")[1], "/message.php?2&4")
        self.assertEqual(self.call("GET", RESTART)[1], "/message.php?524&4")
        # No service here: the restart cannot be asked for.
        self.assertEqual(self.call("POST", RESTART, body="", headers=FORM)[1], "/message.php?514&4")
        self.assertIn("Restarting KEL process failed.\n", self.log())


class WholeRoadTest(InstallationTest):
    """A request, a real CA made with the openssl tool, its PKCS#7 reply,
    the import, the restart; then a client that trusts only that CA."""

    def verified_by_ca(self, ca_file):
        """The certificate the portal serves, when a client that trusts only
        ca_file verifies it for the host name; None when it does not."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(ca_file)
        host = socket.gethostname()
        try:
            with socket.create_connection(("127.0.0.1", 2381), 10) as raw:
                with ctx.wrap_socket(raw, server_hostname=host) as tls:
                    return ssl.DER_cert_to_PEM_cert(tls.getpeercert(True))
        except (ssl.SSLError, OSError):
            return None

    def test_request_sign_import_restart_and_verify(self):
        self.inst.write_settings(SETTINGS)
        work = os.path.join(self.inst.root, "ca")
        os.makedirs(work)
        ca_key, ca_cert = os.path.join(work, "ca.key"), os.path.join(work, "ca.pem")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-subj", "/CN=Kel Road CA",
                "-keyout", ca_key, "-out", ca_cert)
        host = socket.gethostname()
        ext = os.path.join(work, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s,IP:127.0.0.1\n" % host)

        def sign(digest, out):
            openssl("x509", "-req", "-in", self.inst.path("data", "req_cr.pem"), "-CA", ca_cert, "-CAkey", ca_key,
                    "-set_serial", str(abs(hash(out)) % 100000 + 2), "-days", "2", "-" + digest, "-extfile", ext,
                    "-out", out)
            return read(out)

        with Service(self.inst, expected_log=[NAME_MISMATCH, RESTARTED_LOGGER]) as service:
            if not wait_until(lambda: service.server_pid() and key_helper_of(service.server_pid()), 20):
                raise AssertionError("the key helper did not start")
            # The client trusts the certificate served until the restart.
            old_cert = os.path.join(work, "old.pem")
            with open(old_cert, "w") as f:
                f.write(read(os.path.join(self.inst.ssl, "cert.pem")))
            client = Client(self.inst, cafile=old_cert)
            r = client.request("GET", GEN + "?orgz=Road%20Co")
            self.assertEqual(r.location, "/message.php?511&2&" + self.inst.path("data", "req_cr.pem"))
            server = sign("sha256", os.path.join(work, "server.pem"))
            reply = openssl("crl2pkcs7", "-nocrl", "-certfile", ca_cert, "-certfile", os.path.join(work, "server.pem"))
            self.assertEqual(client.post_form(IMP, import_body(reply)).location, "/message.php?512&2")
            self.assertEqual(read(os.path.join(self.inst.ssl, "cert.pem")), server.rstrip("\n") + "\n\n")
            self.assertIsNone(self.verified_by_ca(ca_cert))  # not served before the restart
            self.assertEqual(client.post_form(RESTART, "").location, "/message.php?513&2")
            served = wait_until(lambda: self.verified_by_ca(ca_cert), 30)
            self.assertIsNotNone(served)
            self.assertEqual(openssl("x509", "-noout", "-fingerprint", stdin=served),
                             openssl("x509", "-noout", "-fingerprint", stdin=server))

            # Refused, and the portal keeps serving the CA's certificate.
            sha1 = sign("sha1", os.path.join(work, "sha1.pem"))
            csr = read(self.inst.path("data", "req_cr.pem"))
            past = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=10)
            authority = kelcerts.Authority()
            expired = authority.issue(csr, host, dns=[host], not_before=past, not_after=past + datetime.timedelta(days=1))
            own = Client(self.inst, cafile=ca_cert)
            for refused in (openssl("crl2pkcs7", "-nocrl", "-certfile", os.path.join(work, "sha1.pem")),
                            kelcerts.pkcs7_reply(authority.cert, expired)):
                self.assertEqual(own.post_form(IMP, import_body(refused)).location, "/message.php?521&4")
                self.assertEqual(read(os.path.join(self.inst.ssl, "cert.pem")), server.rstrip("\n") + "\n\n")
            self.assertIsNotNone(self.verified_by_ca(ca_cert))
            self.assertNotEqual(sha1, server)


if __name__ == "__main__":
    unittest.main()
