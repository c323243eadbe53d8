"""The portal's pages in a real browser, walked through as a person would:
signing in, the homepage with registered applications and a legacy agent's
navigation, the settings, the certificates (trusted ones, the signing
request, the authority's reply and the restart), the log, the message page,
the management server's trust flow and the login customisation. Every page
a test shows is kept as a screenshot (KEL_BROWSER_OUT/pages/<class>/)."""
import base64
import os
import shutil
import socket
import ssl
import sys
import tempfile

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from browserharness import BrowserTest, PORTAL, wait_until
from kelharness import Client, FIXTURES, ReservedAgentPorts, Server, Service

import kelcerts

sys.path.insert(0, FIXTURES)
from legacy_agent import LegacyAgent  # noqa: E402
from management_server import ManagementServer  # noqa: E402
from test_legacy import AGENT_GONE, SERVER_LOG, acl_file  # noqa: E402
from test_pkcs import NAME_MISMATCH, RESTARTED_LOGGER  # noqa: E402

ACCOUNTS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
            "user-group": "kelusers", "allow-default-os-admin": "False"}
APPS = {
    "storage.xml": "<webapp name='storage'><marketname>Storage Manager</marketname><chpurl>/nav/storage.js</chpurl>"
                   "<entryurl>/storage/</entryurl></webapp>",
    "network.xml": "<webapp name='network'><marketname>Network Manager</marketname><chpurl>/nav/network.js</chpurl>"
                   "<entryurl>/network/</entryurl><helpurl>/network/help/</helpurl></webapp>",
    # Its navigation script does not even parse: the others' must still run.
    "broken.xml": "<webapp name='broken'><marketname>Broken Tool</marketname><chpurl>/nav/broken.js</chpurl>"
                  "<entryurl>/broken/</entryurl></webapp>",
    "hidden.xml": "<webapp name='hidden'><marketname>Hidden Tool</marketname><hidden value='yes'/>"
                  "<entryurl>/hidden/</entryurl></webapp>",
}
NAV = {"storage.js": 'chpAddItem("Storage", "Disks", "/storage/disks");\n',
       "network.js": 'chpAddItem("Network", "Interfaces", "/network/if");\n',
       "broken.js": 'chpAddItem("Broken", "Half", \n'}
LOGIN_MESSAGE = 'Authorised use only.\nAsk "ops" first.'
MANAGER = "127.0.0.21"  # the fixture management server's address

# Every code the modules send, with what its page must say and how.
MESSAGES = [
    ("200&4", "not signed in as an administrator", "error"),
    ("200&4a.pem", "not signed in as an administrator", "error"),
    ("201&4", "could not be restarted", "error"),
    ("202&2", "The settings were saved.", "ok"),
    ("203&4", "must be sent as a form", "error"),
    ("204&4", "a value was refused", "error"),
    ("205&2", "added to the trusted certificates", "ok"),
    ("206&4", "could not be stored", "error"),
    ("207&4", "not a certificate the portal can trust", "error"),
    ("209&4", "expired or is not valid yet", "error"),
    ("210&4", "named no format", "error"),
    ("211&4", "named no format", "error"),
    ("212&4", "named no setting", "error"),
    ("301&3&a.pem", "No trusted certificate has the file name a.pem.", "warn"),
    ("302&2&a.pem", "The trusted certificate a.pem was removed.", "ok"),
    ("303&4&a.pem", "a.pem could not be removed", "error"),
    ("310&3&/x", "could not be fetched", "warn"),
    ("311&3&/home", "not as an administrator", "warn"),
    ("312&2&/home", "is now trusted", "ok"),
    ("2&4", "Only administrators may create signing requests", "error"),
    ("501&4", "signing request could not be created", "error"),
    ("511&2&/opt/qx/data/req_cr.pem", "signing request was created (/opt/qx/data/req_cr.pem)", "ok"),
    ("512&2", "signed certificate was imported", "ok"),
    ("513&2", "is restarting", "ok"),
    ("514&4", "could not be restarted", "error"),
    ("520&4", "malformed escape", "error"),
    ("521&4", "could not be taken from the reply", "error"),
    ("522&4", "could not be read from the request", "error"),
    ("523&4", "sent as a form", "error"),
    ("524&4", "sent with POST", "error"),
    ("525&4", "at most 64 characters", "error"),
    ("530&4", "No reply was given", "error"),
]


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class PagesTest(BrowserTest):
    """What the pages share in the tests."""

    def settle(self, css, text, timeout=15):
        """The element once its text holds text."""
        return wait_until(lambda: text in self.text(css) and self.browser.find_element(By.CSS_SELECTOR, css), timeout)

    def fetch_post(self, url, body):
        """A form post from the page's own script; where it ended."""
        return self.browser.execute_async_script(
            "var done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {method: 'POST', credentials: 'same-origin', body: arguments[1],"
            " headers: {'Content-Type': 'application/x-www-form-urlencoded'}})"
            ".then(function (r) { done(r.url); }, function (e) { done('failed: ' + e); });", url, body)

    def has_no_sideways_scroll(self):
        return self.browser.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth + 1;")


class PortalPagesTest(PagesTest):
    """Signed-in people on the portal with fake accounts (kelalice an
    administrator, kelbob a user), two registered applications and a hidden
    one, one legacy agent and a management server."""

    @classmethod
    def start_portal(cls):
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        cls.inst.use_fake_accounts()
        wbem = os.path.join(cls.inst.root, "wbem")
        os.makedirs(wbem)
        with open(os.path.join(wbem, "DRKVEXD.ACL"), "wb") as f:
            f.write(acl_file())
        cls.inst.env = dict(cls.inst.env, KELSVC_WBEM_DIR=wbem)
        for name, text in APPS.items():
            write(cls.inst.path("webapp", name), text)
        for name, text in NAV.items():
            write(cls.inst.path("data", "htdocs", "nav", name), text)
        write(cls.inst.path("data", "htdocs", "custom.txt"), LOGIN_MESSAGE + "\n")
        cls.inst.write_settings(ACCOUNTS)
        cls.inst.prepare()
        agents = os.path.join(cls.inst.root, "agents")
        shutil.copytree(os.path.join(FIXTURES, "legacy_help", "agents"), agents)
        cls.agent = LegacyAgent(49400, name="Alpha", base=agents + "/Alpha/html/").start()
        cls.addClassCleanup(cls.agent.stop)
        cls.manager = ManagementServer(MANAGER, "cert", kelcerts.make("manager.example")[0])
        cls.addClassCleanup(cls.manager.stop)
        cls.server = Server(cls.inst, SERVER_LOG + AGENT_GONE).__enter__()
        r = Client(cls.inst, port=2301, timeout=120).request("GET", "/Proxy/Registration")
        if r.status != 200:
            raise AssertionError("the legacy agent was not discovered: %s" % r.status)

    def sign_in_as(self, user, password, page="/"):
        self.sign_in(user, password)
        self.wait_for_page(page)

    def test_homepage_lists_the_applications_and_the_legacy_navigation(self):
        self.sign_in_as("kelalice", "secret-alice")
        self.settle("#tree", "Legacy agents")
        apps = [a.text for a in self.browser.find_elements(By.CSS_SELECTOR, "#apps li a:first-child")]
        self.assertIn("Storage Manager", apps)
        self.assertIn("Network Manager", apps)
        self.assertNotIn("Hidden Tool", apps)
        link = self.browser.find_element(By.CSS_SELECTOR, "#apps li[data-app='storage'] a")
        self.assertEqual(link.get_attribute("href"), PORTAL + "/storage/")
        self.assertEqual(self.text("#home-system"), socket.gethostname())
        self.assertIn("QX Kel Portal v2.1.10.186", self.text("#home-version"))
        self.assertEqual(self.text("#kel-user"), "Signed in as kelalice")
        tree = self.text("#tree")
        for expected in ("Storage", "Disks", "Network", "Interfaces", "Legacy agents", "Alpha", "[Alpha Status]"):
            self.assertIn(expected, tree)
        self.assertNotIn("Half", tree)
        self.assertIn("Broken Tool", apps)
        legacy = self.browser.find_element(By.XPATH, "//div[@id='tree']//a[text()='Alpha']")
        self.assertEqual(legacy.get_attribute("href"), PORTAL + "/Alpha/")
        for href in ("/settings.html", "/certificates.html", "/log.html", "/help?topic=home"):
            self.browser.find_element(By.CSS_SELECTOR, "#portal-links a[href='%s']" % href)
        self.assertEqual(self.browser.find_element(By.CSS_SELECTOR, "nav a[href='/help?topic=home']").text, "Help")
        self.keep_page("home")
        self.browser.set_window_size(380, 900)
        try:
            self.assertTrue(self.has_no_sideways_scroll())
            self.keep_page("home-narrow")
        finally:
            self.browser.set_window_size(1280, 900)
        # The settings path of the configuration URL opens the settings page.
        self.open("/Proxy/configui")
        self.wait_for_page("/settings.html")
        # The legacy agent's page through the portal.
        self.open("/Alpha/")
        self.assertIn("page /Alpha/ of Alpha", self.text("body"))

    def test_a_setting_is_stored_and_a_refused_value_shows_the_servers_message(self):
        self.sign_in_as("kelalice", "secret-alice")
        self.open("/settings.html")
        field = self.wait_for("#setting-session-timeout")
        wait_until(lambda: field.get_attribute("value") == "15")
        self.assertEqual(self.browser.find_element(By.ID, "setting-session-maximum").get_attribute("value"), "128")
        self.assertEqual(Select(self.browser.find_element(By.ID, "setting-trustmode")).first_selected_option.text,
                         "By certificate")
        help_link = self.browser.find_element(By.CSS_SELECTOR, "#setting-session-timeout-hint a")
        self.assertEqual(help_link.get_attribute("href"), PORTAL + "/help?topic=setting-session-timeout")
        self.keep_page("settings")
        field.clear()
        field.send_keys("30")
        self.browser.find_element(By.ID, "save").click()
        self.assertIn("The settings were saved.", self.settle("#outcome", "saved").text)
        self.assertIn("<session-timeout>30</session-timeout>", self.inst.read("conf", "kelpd.xml"))
        self.keep_page("settings-saved")
        self.browser.refresh()
        field = self.wait_for("#setting-session-timeout")
        self.assertTrue(wait_until(lambda: field.get_attribute("value") == "30"))

        # A change that needs a restart says so before anything is saved.
        ui = self.browser.find_element(By.ID, "setting-ui-timeout")
        ui.clear()
        ui.send_keys("40")
        self.browser.find_element(By.ID, "save").click()
        self.assertIn("Saving restarts the web server.", self.text("#restart-warning"))
        self.assertIn("Navigation time-out", self.text("#restart-names"))
        self.keep_page("settings-restart-warning")
        self.browser.find_element(By.ID, "restart-cancel").click()
        self.assertNotIn("<ui-timeout>40</ui-timeout>", self.inst.read("conf", "kelpd.xml"))
        self.browser.find_element(By.ID, "undo").click()

        # The page's own check, then the server's verdict when the form is
        # sent without it (as a browser without script sends it).
        field.clear()
        field.send_keys("90")
        self.assertEqual(self.text("#setting-session-timeout-error"), "Enter a number from 1 to 60.")
        self.assertEqual(field.get_attribute("aria-invalid"), "true")
        self.browser.find_element(By.ID, "save").click()
        self.assertEqual(self.browser.switch_to.active_element, field)
        self.keep_page("settings-invalid")
        self.browser.execute_script("document.getElementById('settings').submit();")
        self.wait_for_url("/message.php?204&4")
        self.assertIn("Nothing was changed: a value was refused.", self.text("#message"))
        self.keep_page("settings-refused")
        self.assertIn("<session-timeout>30</session-timeout>", self.inst.read("conf", "kelpd.xml"))
        self.browser.find_element(By.ID, "message-back").click()
        self.wait_for_page("/settings.html")

    def test_a_user_sees_no_settings_controls_and_is_refused_when_posting(self):
        self.sign_in_as("kelbob", "secret-bob")
        self.assertNotIn("Settings", self.text(".kel-nav"))
        self.open("/settings.html")
        self.settle("#settings-state", "Only administrators")
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "main input, main select, main button"), [])
        self.keep_page("settings-user")
        before = self.inst.read("conf", "kelpd.xml")
        where = self.fetch_post("/proxy/SetKELData", "trustmode=TrustByAll")
        self.assertTrue(where.endswith("/message.php?200&4"), where)
        self.assertEqual(self.inst.read("conf", "kelpd.xml"), before)
        self.open("/certificates.html")
        self.wait_for("#trusted")
        self.assertTrue(self.browser.find_element(By.ID, "add-section").get_attribute("hidden"))

    def test_every_message_code_renders_its_text(self):
        for query, text, kind in MESSAGES:
            self.open("/message.php?" + query)
            box = self.settle("#message", text)
            self.assertIn("kel-outcome " + kind, box.get_attribute("class"), query)
            self.wait_for("#message-back")
            self.keep_page("message-" + query.split("&")[0])
        # The way on that the management server's sign-in sent, and one that
        # is no web address.
        self.open("/message.php?312&2&%2Fhome")
        self.assertEqual(self.wait_for("#message-on").get_attribute("href"), PORTAL + "/home")
        self.open("/message.php?312&2&javascript:alert(1)")
        self.settle("#message-more", "was not used")
        self.assertEqual(self.browser.find_elements(By.ID, "message-on"), [])
        self.open("/message.php?511&2&/opt/qx/data/req_cr.pem")
        self.assertEqual(self.wait_for("#message-download").get_attribute("href"), PORTAL + "/proxy/kelui/getcertreq")

    def test_the_management_server_trust_flow_and_the_way_back_after_sign_in(self):
        start = "/trust.html?ZQName=%s&RedirectSsoUrl=%%2Fhelp%%3Ftopic%%3Dtrust" % MANAGER
        self.open(start)
        self.wait_for_url("/drklogin.php?next=")
        self.wait_for('input[name="user"]').send_keys("kelalice")
        self.browser.find_element(By.CSS_SELECTOR, 'input[name="password"]').send_keys("secret-alice")
        self.browser.find_element(By.CSS_SELECTOR, 'button[type="submit"]').click()
        self.wait_for_page(start)
        self.assertEqual(self.text("#trust-server"), MANAGER)
        self.assertIn("manager.example", self.settle("#trust-detail", "Subject").text)
        self.keep_page("trust")
        self.wait_for("#trust-button").click()
        self.wait_for_url("/message.php?312&2&")
        self.assertIn("is now trusted", self.text("#message"))
        self.assertEqual(self.wait_for("#message-on").get_attribute("href"), PORTAL + "/help?topic=trust")
        self.keep_page("trust-done")
        self.assertTrue(os.path.exists(self.inst.path("certs", "manager.example.pem")))

    def test_login_customisation_and_the_legacy_ports_pointer(self):
        # A picture the browser itself encodes.
        data = self.browser.execute_script(
            "var c = document.createElement('canvas'); c.width = 40; c.height = 20;"
            "var g = c.getContext('2d'); g.fillStyle = '#1f4e79'; g.fillRect(0, 0, 40, 20);"
            "return c.toDataURL('image/jpeg');")
        with open(self.inst.path("data", "htdocs", "custom.jpg"), "wb") as f:
            f.write(base64.b64decode(data.split(",", 1)[1]))
        self.addCleanup(os.unlink, self.inst.path("data", "htdocs", "custom.jpg"))
        self.open("/drklogin.php")
        # Each line as a piece of text; the module turns double quotes into blanks.
        self.assertEqual(self.settle("#loginmsg", "Authorised").get_attribute("textContent"),
                         'Authorised use only.\nAsk  ops  first.')
        picture = self.wait_for("#loginjpg")
        self.assertTrue(wait_until(lambda: self.browser.execute_script(
            "var i = document.getElementById('loginjpg'); return !i.hidden && i.complete && i.naturalWidth === 40;")))
        self.keep_page("login")
        self.assertIsNotNone(picture)
        self.browser.get("http://127.0.0.1:2301/drklogin.htm")
        link = self.wait_for("#secure")
        self.assertEqual(link.get_attribute("href"), "https://127.0.0.1:2381/")
        self.keep_page("legacy-port")


class CertificatesAndLogTest(PagesTest):
    """The local administrator (the browser on 127.0.0.1) on the portal run by
    its service, which restarts the web server when asked."""

    @classmethod
    def start_portal(cls):
        cls.inst.write_settings({"ip-binding": "True", "ip-binding-list": "", "log-level": "warn",
                                 "localaccess-enabled": "True", "localaccess-type": "Administrator"})
        cls.server = Service(cls.inst, expected_log=[NAME_MISMATCH, RESTARTED_LOGGER]).__enter__()
        cls.work = tempfile.mkdtemp(dir=cls.inst.root)

    def file_of(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def served_by(self, ca_file):
        """The certificate the portal serves, when ca_file's authority signed it."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(ca_file)
        try:
            with socket.create_connection(("127.0.0.1", 2381), 10) as raw:
                with ctx.wrap_socket(raw, server_hostname=socket.gethostname()) as tls:
                    return ssl.DER_cert_to_PEM_cert(tls.getpeercert(True))
        except (ssl.SSLError, OSError):
            return None

    def test_a_trusted_certificate_is_added_by_file_viewed_and_removed(self):
        self.open("/certificates.html")
        self.wait_for("#add-section:not([hidden])")
        path = self.file_of("upload.pem", kelcerts.make("upload.example")[0])
        self.browser.find_element(By.ID, "add-file").send_keys(path)
        self.browser.find_element(By.ID, "add-button").click()
        self.settle("#outcome", "added to the trusted certificates")
        row = self.wait_for("#trusted tr[data-file='upload.example.pem']")
        self.assertIn("upload.example", row.text)
        self.keep_page("certificates-added")
        row.find_element(By.XPATH, ".//button[text()='View']").click()
        detail = self.settle("#cert-detail", "upload.example")
        self.assertIn("Subject", detail.text)
        self.keep_page("certificates-view")
        row.find_element(By.XPATH, ".//button[text()='Text']").click()
        self.settle("#cert-detail", "-----BEGIN CERTIFICATE-----")
        row.find_element(By.XPATH, ".//button[text()='Remove']").click()
        self.browser.switch_to.alert.accept()
        self.settle("#outcome", "The trusted certificate upload.example.pem was removed.")
        self.assertTrue(wait_until(lambda: not self.browser.find_elements(
            By.CSS_SELECTOR, "#trusted tr[data-file='upload.example.pem']")))
        self.assertFalse(os.path.exists(self.inst.path("certs", "upload.example.pem")))
        self.keep_page("certificates-removed")

    def test_signing_request_reply_and_restart_put_the_authoritys_certificate_into_service(self):
        self.open("/certificates.html")
        self.settle("#server-subject", "CN")
        self.keep_page("certificates")
        self.wait_for("#request-org").send_keys("Road Co")
        self.browser.find_element(By.ID, "request-unit").send_keys("IT Dept")
        self.browser.find_element(By.ID, "request-button").click()
        self.settle("#outcome", "The signing request was created")
        csr = self.settle("#request-text", "-----BEGIN CERTIFICATE REQUEST-----").text
        self.assertEqual(self.browser.find_element(By.ID, "request-download").get_attribute("download"), "req_cr.pem")
        self.keep_page("certificates-request")
        self.assertEqual(csr.strip(), self.inst.read("data", "req_cr.pem").strip())

        ca = kelcerts.Authority("Kel Road CA")
        host = socket.gethostname()
        signed = ca.issue(self.inst.read("data", "req_cr.pem"), host, dns=[host])
        reply = self.file_of("reply.p7b", kelcerts.pkcs7_reply(ca.cert, signed))
        ca_file = self.file_of("ca.pem", ca.cert)
        self.browser.find_element(By.ID, "import-file").send_keys(reply)
        self.browser.find_element(By.ID, "import-button").click()
        self.settle("#outcome", "The signed certificate was imported.")
        self.keep_page("certificates-imported")
        self.assertIsNone(self.served_by(ca_file))

        self.browser.find_element(By.ID, "restart-button").click()
        self.assertIn("restarts now", self.text("#restart-confirm-box"))
        self.browser.find_element(By.ID, "restart-confirm").click()
        self.settle("#outcome", "is restarting")
        self.assertIsNotNone(wait_until(lambda: self.served_by(ca_file), 30))
        self.browser.refresh()
        self.assertIn("Kel Road CA", self.settle("#server-issuer", "Kel Road CA").text)
        self.keep_page("certificates-in-service")

    def test_log_is_read_newest_first_and_filtered(self):
        # Before the restart test: the harness's client trusts the first certificate.
        client = Client(self.inst)
        self.assertEqual(client.post_form("/proxy/SetKELData", {"trustmode": "TrustByAll"},
                                          {"Origin": "https://elsewhere.example"}).status, 403)
        self.assertEqual(client.post_form("/proxy/SetKELData", {"session-timeout": "90"}).location,
                         "/message.php?204&4")
        self.open("/log.html")
        self.settle("#log", "the batch was refused")
        items = [li.text for li in self.browser.find_elements(By.CSS_SELECTOR, "#log li")]
        refused = next(i for i, t in enumerate(items) if "the batch was refused" in t)
        cross = next(i for i, t in enumerate(items) if "a cross-site POST" in t)
        self.assertLess(refused, cross)  # newest first
        self.assertTrue(items[refused].startswith("Error - "), items[refused])
        self.assertTrue(items[cross].startswith("Warning - "), items[cross])
        self.keep_page("log")
        Select(self.browser.find_element(By.ID, "log-severity")).select_by_visible_text("Error")
        shown = self.browser.find_elements(By.CSS_SELECTOR, "#log li")
        self.assertTrue(shown)
        self.assertTrue(all(int(li.get_attribute("data-severity")) >= 2 for li in shown))
        self.assertNotIn("a cross-site POST", self.text("#log"))
        self.browser.find_element(By.ID, "log-text").send_keys("batch was refused")
        shown = self.browser.find_elements(By.CSS_SELECTOR, "#log li")
        self.assertTrue(shown and all("batch was refused" in li.text for li in shown))
        self.assertIn("records shown, newest first", self.text("#log-count"))
        self.keep_page("log-filtered")


if __name__ == "__main__":
    import unittest
    unittest.main()
