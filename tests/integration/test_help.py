"""The help at /help behind the real qxkeld: the portal's own topics, the
legacy agents' merged help (contents, index, search) with links that reach
the fixture agents through the rewrite map, the answers for unknown topics
and searches without hits, and the login in front of it all. 127.0.0.1 is
the local administrator; 127.0.0.2 is a stranger."""
import html
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from kelharness import Client, ReservedAgentPorts, Server, ServerTest  # noqa: E402
from legacy_agent import help_agent, start_help_agents  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn",
            "localaccess-enabled": "True", "localaccess-type": "Administrator"}
# What every discovery of an agent writes.
SERVER_LOG = [r"\[kel_bc:emerg\] .*reload ini file called: portNum=\d+, dataRecv:"]
PAGES = ["home", "settings", "certificates", "log", "messages", "trust"]
SETTING_NAMES = ["admin-group", "operator-group", "user-group", "allow-default-os-admin", "reject-prog-admin-login",
                 "allow-old-style-login", "anonymous-access", "localaccess-enabled", "localaccess-type", "trustmode",
                 "zqnamelist", "ip-restricted-logins", "ip-restricted-include", "ip-restricted-exclude", "lock-ports",
                 "session-timeout", "session-maximum", "ip-binding", "ip-binding-list", "win32-disable-acceptex",
                 "disable-sslv2", "ui-timeout"]


def hrefs(body):
    return [html.unescape(h) for h in re.findall(r'<a href="([^"]*)"', body)]


def main_of(body):
    return body[body.index("<main"):body.index("</main>")]


class HelpTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.start_server(Server(cls.inst, SERVER_LOG))
        cls.agents = start_help_agents(cls.inst)
        cls.addClassCleanup(lambda: [a.stop() for a in cls.agents.values()])
        cls.discover()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    @classmethod
    def discover(cls):
        r = Client(cls.inst, port=2301, timeout=120).request("GET", "/Proxy/Registration")
        assert (r.status, r.body) == (200, ""), (r.status, r.body)

    def get(self, path, source="127.0.0.1"):
        return Client(self.inst, source).request("GET", path)

    def page(self, path, status=200):
        r = self.get(path)
        self.assertEqual(r.status, status, path)
        self.assertEqual(r.content_type, "text/html; charset=utf-8")
        return r.body

    def test_start_page_lists_the_topics_and_the_agents_contents(self):
        r = self.get("/help")
        self.assertEqual(r.status, 200)
        # The portal's security headers stay on the help's pages.
        self.assertEqual(r.headers.get("X-Frame-Options"), "SAMEORIGIN")
        self.assertEqual(r.headers.get("X-Content-Type-Options"), "nosniff")
        self.assertIn('<link rel="stylesheet" href="/kel.css">', r.body)
        links = hrefs(r.body)
        for name in PAGES:
            self.assertIn("/help?topic=" + name, links)
        for name in SETTING_NAMES:
            self.assertIn("/help?topic=setting-" + name, links)
        for link in ("/qxhelp/index.html", "/Alpha/help/overview.htm", "/Alpha/help/start.htm", "/Beta/intro.htm"):
            self.assertIn(link, links)
        self.assertEqual(self.page("/help/"), r.body)

    def test_every_topic_has_its_page(self):
        topics = PAGES + ["setting-" + n for n in SETTING_NAMES] + ["contents", "index", "SETTING-UI-TIMEOUT"]
        titles = set()
        for topic in topics:
            body = self.page("/help?topic=" + topic)
            self.assertEqual(body.count("<h1>"), 1, topic)
            titles.add(re.search(r"<h1>(.*)</h1>", body).group(1))
        self.assertEqual(len(titles), len(topics) - 1)  # the last is ui-timeout again
        body = self.page("/help?topic=setting-session-timeout")
        self.assertIn("<code>session-timeout</code>", body)
        self.assertIn("A number of minutes from 1 to 60.", body)

    def test_links_reach_the_agents_through_the_map(self):
        contents = main_of(self.page("/help?topic=contents"))
        agent_links = [h for h in hrefs(contents) if h.startswith(("/Alpha/", "/Beta/"))]
        self.assertEqual(sorted(agent_links), ["/Alpha/help/overview.htm", "/Alpha/help/start.htm", "/Beta/intro.htm"])
        for link in agent_links:
            agent = link.split("/")[1]
            r = self.get(link)
            self.assertEqual((r.status, r.body), (200, "page %s of %s" % (link, agent)))
        # The portal's own old help is served under its alias.
        r = self.get("/qxhelp/index.html")
        self.assertEqual(r.status, 200)
        index = main_of(self.page("/help?topic=index"))
        self.assertIn("/Alpha/help/beta.htm", hrefs(index))
        self.assertLess(index.index(">alpha<"), index.index(">Beta<"))

    def test_search(self):
        body = main_of(self.page("/help?query=printer"))
        self.assertIn("3 topics match.", body)
        self.assertEqual([h for h in hrefs(body) if not h.startswith("/help")],
                         ["/Alpha/help/overview.htm", "/Alpha/help/tasks.htm", "/Beta/printers.htm"])
        body = main_of(self.page("/help?query=session+timeout"))
        self.assertIn("/help?topic=setting-session-timeout", hrefs(body))
        self.assertIn("No help topic matches \u201czzqx%yyqx\u201d.", self.page("/help?query=zzqx%25yyqx"))
        self.assertIn("too common", self.page("/help?query=the"))

    def test_unknown_and_malformed_addresses(self):
        body = self.page("/help?topic=nosuch", 404)
        self.assertIn("There is no help topic called \u201cnosuch\u201d.", body)
        self.assertIn("/help?topic=home", hrefs(body))
        self.assertIn("There is no help topic called \u201c/help/other\u201d.", self.page("/help/other", 404))
        self.assertIn("could not be decoded", self.page("/help?topic=%zz", 400))

    def test_values_from_files_and_addresses_stay_text(self):
        for path in ("/help?topic=contents", "/help?query=hostile",
                     "/help?topic=%22%3E%3Cscript%3Ewindow.pwned%3D1%3C%2Fscript%3E",
                     "/help?query=%22%3E%3Cscript%3Ewindow.pwned%3D1%3C%2Fscript%3E"):
            r = self.get(path)
            self.assertNotIn("<img", r.body, path)
            self.assertNotIn("<script", r.body, path)
            self.assertNotIn('onclick="', r.body, path)

    def test_only_get_is_answered(self):
        r = Client(self.inst).request("POST", "/help", body="query=x", headers={
            "Content-Type": "application/x-www-form-urlencoded", "Origin": "https://127.0.0.1:2381"})
        self.assertEqual(r.status, 405)
        r = Client(self.inst).request("HEAD", "/help?topic=home")
        self.assertEqual((r.status, r.body), (200, ""))

    def test_a_stranger_is_sent_to_the_login_page(self):
        r = self.get("/help?topic=home", source="127.0.0.2")
        self.assertEqual(r.status, 302)
        self.assertEqual(r.location, "/drklogin.php?next=%2fhelp%3ftopic%3dhome")
        self.assertNotIn("The homepage", r.body)

    def test_an_agent_that_goes_away_leaves_the_help(self):
        self.assertIn("/Beta/intro.htm", hrefs(self.page("/help?topic=contents")))
        self.agents["Beta"].stop()
        try:
            self.allow_log(*[r"AH0\d+"])
            self.discover()
            contents = self.page("/help?topic=contents")
            self.assertNotIn("/Beta/intro.htm", hrefs(contents))
            self.assertIn("/Alpha/help/start.htm", hrefs(contents))
        finally:
            self.agents["Beta"] = help_agent(self.inst, "Beta")
            self.addCleanup(self.discover)


if __name__ == "__main__":
    unittest.main()
