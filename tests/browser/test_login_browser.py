"""Signing in and out with a real browser, and forms of other sites refused."""
import os
import subprocess
import sys
import tempfile

from browserharness import BrowserTest, wait_until
from kelharness import FIXTURES, Server

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
            "user-group": "kelusers", "allow-default-os-admin": "False", "trustmode": "TrustByName"}


class LoginInBrowserTest(BrowserTest):
    @classmethod
    def start_portal(cls):
        cls.inst.use_fake_accounts()
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.server = Server(cls.inst).__enter__()

    def test_the_homepage_sends_a_stranger_to_the_login_page(self):
        self.open("/")
        self.assertTrue(self.wait_for_url("/drklogin.php").endswith("/drklogin.php"))
        self.assertEqual(self.browser.title, "QX Kel Portal - Sign in")
        self.wait_for('input[name="user"]')

    def test_an_administrator_signs_in_and_out(self):
        self.sign_in("kelalice", "secret-alice")
        self.wait_for_page("/")
        self.assertEqual(self.text("h1"), "QX Kel Portal")
        cookie = self.browser.get_cookie("QXKELSESSION")
        self.assertTrue(cookie["secure"] and cookie["httpOnly"])
        self.assertEqual(cookie["sameSite"], "Strict")

        self.wait_for("#signout").click()
        self.wait_for_url("/drklogin.php")
        self.assertIsNone(self.browser.get_cookie("QXKELSESSION"))
        # The session is over on the server too: the homepage wants a login again.
        self.open("/")
        self.wait_for_url("/drklogin.php")

    def test_a_wrong_password_shows_why(self):
        self.sign_in("kelalice", "not-her-password")
        self.wait_for_url("/drklogin.php?error=1")
        self.assertEqual(self.text("#error"),
                         "The user name or password is not right, or the account may not use the portal.")
        self.assertIsNone(self.browser.get_cookie("QXKELSESSION"))


class OtherSitesInBrowserTest(LoginInBrowserTest):
    """A page of another origin posts to the portal in the same browser."""

    fixture = None

    @classmethod
    def start_portal(cls):
        super().start_portal()
        portfile = os.path.join(tempfile.mkdtemp(dir=cls.inst.root), "port")
        cls.fixture = subprocess.Popen([sys.executable, os.path.join(FIXTURES, "cross_site_page.py"), portfile])
        port = wait_until(lambda: os.path.exists(portfile) and open(portfile).read())
        if not port:
            raise AssertionError("the page of another origin did not start")
        cls.other = "http://127.0.0.1:%s" % port

    @classmethod
    def tearDownClass(cls):
        if cls.fixture:
            cls.fixture.terminate()
            cls.fixture.wait(10)
        super().tearDownClass()

    def visit_other_site(self, path):
        self.browser.get(self.other + path)
        # The browser follows the form to the portal and shows its answer.
        self.wait_for_url(":2381/proxy/")
        return self.text("body")

    def test_a_forged_sign_in_is_refused(self):
        self.assertIn("Forbidden", self.visit_other_site("/login"))
        self.assertIsNone(self.browser.get_cookie("QXKELSESSION"))
        self.assertIn("kel_aa [client 127.0.0.1]: a cross-site POST to /proxy/kellogin was refused (Origin: %s,"
                      % self.other, self.inst.read("logs", "kel.log"))

    def test_a_forged_settings_change_is_refused_for_a_signed_in_administrator(self):
        self.sign_in("kelalice", "secret-alice")
        self.wait_for("#signout")
        self.assertIn("Forbidden", self.visit_other_site("/settings"))
        self.assertIn("<trustmode>TrustByName</trustmode>", self.inst.read("conf", "kelpd.xml"))
        # The administrator's own session goes on.
        self.open("/")
        self.wait_for("#signout")

    # The inherited tests run once, in the class above.
    test_the_homepage_sends_a_stranger_to_the_login_page = None
    test_an_administrator_signs_in_and_out = None
    test_a_wrong_password_shows_why = None
