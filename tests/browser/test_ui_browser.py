"""The UI module's data in a real browser: hostile display names, common
names and server names stay data, and the navigation tree page shows the
web applications' navigation."""
import os

from browserharness import BrowserTest, wait_until
from kelharness import Server

import kelcerts

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "localaccess-enabled": "True",
            "localaccess-type": "Administrator"}
MARKET = 'x", window.pwned=1, "</script><script>window.pwned=2</script>'
CN = 'y", window.pwned=3, "'
# What a page of the portal would do: embed the tags it needs.
PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>tags</title>
<script src="/proxy/kelui/getuiinfo?JS&webapplist&certlist&servercert=%22;window.pwned=4;//"></script>
</head><body><pre id="out"></pre>
<script>
document.getElementById("out").textContent = JSON.stringify({
  pwned: window.pwned === undefined ? "no" : "yes",
  market: webapplist[0].marketingname,
  cn: certlist[0].cn,
  server: servercert.servername
});
</script></body></html>
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class UiInBrowserTest(BrowserTest):
    @classmethod
    def start_portal(cls):
        market = MARKET.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")
        write(cls.inst.path("webapp", "evil.xml"), "<webapp name='evil'><marketname>%s</marketname>"
                                                   "<chpurl>/nav/evil.js</chpurl></webapp>" % market)
        write(cls.inst.path("data", "htdocs", "nav", "evil.js"), 'chpAddItem("Evil", "Evil home", "/evil/");\n')
        write(cls.inst.path("data", "htdocs", "tagpage.html"), PAGE)
        kelcerts.write(cls.inst.path("certs", "evil.pem"), kelcerts.make(CN)[0])
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        cls.server = Server(cls.inst).__enter__()

    def test_hostile_values_stay_data(self):
        self.open("/tagpage.html")
        out = wait_until(lambda: self.text("#out"), 15)
        self.assertIn('"pwned":"no"', out)
        self.assertIn('"market":%s' % __import__("json").dumps(MARKET), out)
        self.assertIn('"cn":%s' % __import__("json").dumps(CN), out)
        self.assertIn('"server":"%22;window.pwned=4;//"', out)
        self.assertIsNone(self.browser.execute_script("return window.pwned"))

    def test_navigation_tree_page_shows_the_applications_links(self):
        self.open("/proxy/kelui/chptree.htm")
        link = self.wait_for("#chptree a[href='/evil/']")
        self.assertEqual(link.text, "Evil home")
        self.assertIsNone(self.browser.execute_script("return window.pwned"))
