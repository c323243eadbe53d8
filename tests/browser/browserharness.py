"""One way to test pages in a real browser: the portal on a real qxkeld
(kelharness), Debian's headless Chromium driven by selenium. A failing test
leaves a screenshot and the page's source in KEL_BROWSER_OUT/<test>/; the
pages a test keeps for a reviewer are in KEL_BROWSER_OUT/pages/<class>/."""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from kelharness import ServerTest, wait_until  # noqa: E402,F401  (wait_until for the tests)

PORTAL = "https://127.0.0.1:2381"
OUT = os.environ.get("KEL_BROWSER_OUT", os.path.join(tempfile.gettempdir(), "kel-browser-out"))

# The flags this machine needs: no sandbox as root, no network beyond the
# loopback (Chromium's own background connections would be refused).
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-quic",
                  "--no-first-run", "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--window-size=1280,900"]


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    # The portal's certificate is self-signed for the test.
    options.accept_insecure_certs = True
    driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    return driver


class BrowserTest(ServerTest):
    """A test class with one installation, one browser and (started by the
    class as cls.server) one portal for all its tests; each test starts with
    no cookies, and its error-log lines are checked after it."""

    @classmethod
    def start_portal(cls):
        """Sets cls.server to a started portal on cls.inst."""
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.profile = tempfile.mkdtemp(prefix="kel-chromium-")
        cls.browser = None
        try:
            cls.start_portal()
            cls.browser = start_browser(cls.profile)
        except BaseException:
            cls.tearDownClass()  # unittest does not, when this fails
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.browser:
            cls.browser.quit()
        if cls.server:
            cls.server.__exit__(None, None, None)
            cls.server = None
        shutil.rmtree(cls.profile, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.browser.delete_all_cookies()
        self.addCleanup(self._keep_evidence)

    def _keep_evidence(self):
        # Failures are on the result as soon as they happen (cleanups run after).
        result = self._outcome.result
        if not any(test is self for test, _ in result.failures + result.errors):
            return
        where = os.path.join(OUT, self.id())
        os.makedirs(where, exist_ok=True)
        try:
            self.browser.save_screenshot(os.path.join(where, "screenshot.png"))
            with open(os.path.join(where, "page.html"), "w") as f:
                f.write(self.browser.current_url + "\n" + self.browser.page_source)
        except Exception as e:  # the browser itself may be what failed
            with open(os.path.join(where, "browser-error.txt"), "w") as f:
                f.write(repr(e))
        print("\nevidence of the failure: %s" % where, file=sys.stderr)

    # What tests do in the page.
    def keep_page(self, name):
        """A screenshot of the page as it is now, kept whatever the outcome,
        so that a reviewer can look at every page the tests showed."""
        where = os.path.join(OUT, "pages", type(self).__name__)
        os.makedirs(where, exist_ok=True)
        self.browser.save_screenshot(os.path.join(where, name + ".png"))

    def open(self, path):
        self.browser.get(PORTAL + path)

    def wait_for(self, css, timeout=15):
        return WebDriverWait(self.browser, timeout).until(
            expected_conditions.presence_of_element_located((By.CSS_SELECTOR, css)))

    def wait_for_url(self, fragment, timeout=15):
        WebDriverWait(self.browser, timeout).until(expected_conditions.url_contains(fragment))
        return self.browser.current_url

    def wait_for_page(self, path, timeout=15):
        """Until the browser shows exactly that page of the portal."""
        WebDriverWait(self.browser, timeout).until(expected_conditions.url_to_be(PORTAL + path))

    def wait_until_gone(self, element, timeout=15):
        """Until the browser has left the document that held element: after a
        submit whose next address looks like the current one."""
        WebDriverWait(self.browser, timeout).until(expected_conditions.staleness_of(element))

    def text(self, css):
        return self.wait_for(css).text

    def sign_in(self, user, password):
        self.open("/")
        self.wait_for_url("/drklogin.php")
        self.wait_for('input[name="user"]').send_keys(user)
        self.browser.find_element(By.CSS_SELECTOR, 'input[name="password"]').send_keys(password)
        self.browser.find_element(By.CSS_SELECTOR, 'button[type="submit"]').click()
