"""The help in a real browser, as an administrator uses it: sign in, open the
help, follow a contents link to a legacy agent's page, search. A screenshot
of every help page visited is kept in the test output directory."""
import os
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from browserharness import OUT, BrowserTest
from kelharness import Client, ReservedAgentPorts, Server

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
from legacy_agent import start_help_agents  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
            "user-group": "kelusers", "allow-default-os-admin": "False"}
SERVER_LOG = [r"\[kel_bc:emerg\] .*reload ini file called: portNum=\d+, dataRecv:"]


class HelpInBrowserTest(BrowserTest):
    @classmethod
    def start_portal(cls):
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        cls.inst.use_fake_accounts()
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.server = Server(cls.inst, SERVER_LOG).__enter__()
        for agent in start_help_agents(cls.inst).values():
            cls.addClassCleanup(agent.stop)
        r = Client(cls.inst, port=2301, timeout=120).request("GET", "/Proxy/Registration")
        assert (r.status, r.body) == (200, ""), (r.status, r.body)

    def shot(self, name):
        """Keeps what the page looks like now, for a reviewer."""
        where = os.path.join(OUT, self.id())
        os.makedirs(where, exist_ok=True)
        self.browser.save_screenshot(os.path.join(where, name + ".png"))

    def search(self, words):
        field = self.wait_for("#help-query")
        field.clear()
        field.send_keys(words + Keys.ENTER)
        # A search from a search page keeps "query=" in the address, so wait
        # for the old page to go rather than for the address.
        self.wait_until_gone(field)
        self.wait_for_url("query=")
        return self.text("main [role=status]")

    def test_open_the_help_follow_a_contents_link_and_search(self):
        self.sign_in("kelalice", "secret-alice")
        self.wait_for_page("/")
        self.open("/help")
        self.assertEqual(self.text("main h1"), "QX Kel Portal help")
        self.assertEqual(self.browser.title, "QX Kel Portal help - QX Kel Portal help")
        # The first stop of the keyboard skips to the help text.
        self.browser.find_element(By.TAG_NAME, "body").send_keys(Keys.TAB)
        self.assertEqual(self.browser.switch_to.active_element.text, "Skip to the help text")
        self.shot("01-help-start")

        self.browser.find_element(By.LINK_TEXT, "Agent help contents").click()
        self.wait_for_url("topic=contents")
        self.assertEqual(self.text("main h1"), "Agent help contents")
        # The hostile agent's name is shown as text, and nothing of it ran.
        self.assertIn("<img src=x onerror=window.pwned=1", self.text("main"))
        self.assertIsNone(self.browser.execute_script("return window.pwned"))
        self.shot("02-agent-help-contents")

        link = self.wait_for("main a[href='/Alpha/help/start.htm']")
        self.assertEqual(link.text, "Start")
        link.click()
        self.wait_for_page("/Alpha/help/start.htm")
        self.assertEqual(self.text("body"), "page /Alpha/help/start.htm of Alpha")
        self.shot("03-agent-page")

        self.browser.back()
        self.wait_for_url("topic=contents")
        self.assertEqual(self.search("printer"), "3 topics match.")
        hits = self.browser.find_elements(By.CSS_SELECTOR, "ol.help-hits a")
        self.assertEqual([(h.text, h.get_attribute("pathname")) for h in hits],
                         [("Overview", "/Alpha/help/overview.htm"), ("Tasks", "/Alpha/help/tasks.htm"),
                          ("Printers", "/Beta/printers.htm")])
        self.shot("04-search-printer")

        self.assertEqual(self.search("session-timeout"), "1 topic matches.")
        self.browser.find_element(By.CSS_SELECTOR, "ol.help-hits a").click()
        self.wait_for_url("topic=setting-session-timeout")
        self.assertEqual(self.text("main h1"), "Setting: Session Time-out")
        self.shot("05-setting-session-timeout")

        self.assertEqual(self.search("zzqx yyqx"),
                         "No help topic matches \u201czzqx yyqx\u201d. Check the spelling, or try fewer or other "
                         "words.")
        self.shot("06-search-without-hits")

        self.open("/help?topic=setting-nosuch")
        self.assertEqual(self.text("main h1"), "No such help topic")
        self.shot("07-unknown-topic")

        self.open("/help?topic=index")
        self.assertEqual(self.text("main h1"), "Agent help index")
        self.shot("08-agent-help-index")
        self.assertIsNone(self.browser.execute_script("return window.pwned"))
