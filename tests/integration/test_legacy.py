"""Legacy agents behind the real qxkeld: discovery on the agent ports, the
map file, pages reached by name, the legacy cookie and headers, the
navigation file's liveness checks and tags. The agents are the fixture
agents of tests/fixtures/legacy_agent.py. 127.0.0.1 is the local
administrator; the probe module sets another level when a test asks."""
import hashlib
import os
import shutil
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from kelharness import Client, ReservedAgentPorts, Server, ServerTest, wait_until  # noqa: E402
from legacy_agent import LegacyAgent, Agents  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "anonymous-access": "True",
            "localaccess-enabled": "True", "localaccess-type": "Administrator"}
# What every discovery of an agent writes, and the module's debug lines
# (category kel_bc is on in these tests).
SERVER_LOG = [r"\[kel_bc:emerg\] .*reload ini file called: portNum=\d+, dataRecv:",
              r"\[kel_bc:error\] .*(getVEXOs|addVEXOtoWebAppList|DATArecv|ExtensionBAse|GenerateOrvCookie|addOrvCookie|"
              r"VEXOACLFile|could not open acl file|bcss->orvAdministratorHash)"]
# An agent that stopped answering, as the proxy reports it.
AGENT_GONE = [r"AH00957", r"AH00959", r"AH01114", r"AH00898", r"AH00940"]

MAP_HEADER = "#This mapfile is required for backwards compatibility.\n\n"
NAV_HEADER = "//Navfile needed for backwards compatibility.\n\n"
HELP_FIXTURES = os.path.join(os.path.dirname(__file__), "..", "fixtures", "legacy_help")
STATUS_REQUEST = b"GET /proxy/zqstatusreport HTTP/1.0 \r\nDornik-HTTPServerVersion: 99990000 \r\n\r\n\0"
RELOAD_REQUEST = b"GET /Proxy/ReloadIniFile HTTP/1.0\r\n\0"
HASHES = {"anonymous": "A" * 32, "user": "B" * 32, "operator": "C" * 32, "administrator": "D" * 32}


def md5hex(text):
    return hashlib.md5(text.encode()).hexdigest().upper()


def legacy_cookie(hash_text):
    seed = "Dornik-VEXD=%08X%04X%08X%08X%s" % (4, 3, 12345678, 0x0100007F, hash_text)
    head = "Dornik-VEXD=%08X%04X%08X%04X%s%08X%08X" % (4, 3, 12345678, 3, md5hex(seed), 12345678, 0x0100007F)
    return head + md5hex(head + hash_text)


def acl_file():
    data = b"Dornik-WBEM-AclFile, 1.1\0"
    for i, (group, h) in enumerate(HASHES.items()):
        record = struct.pack("<ii", i + 1, 0) + group.encode().ljust(192, b"\0") + h.encode().ljust(66, b"\0")
        data += record
    return data


def map_lines(name, port):
    line = "%s http://127.0.0.1:%d \n" % (name, port)
    return line + line.lower() + line.upper()


class LegacyTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        wbem = os.path.join(cls.inst.root, "wbem")
        os.makedirs(wbem)
        with open(os.path.join(wbem, "DRKVEXD.ACL"), "wb") as f:
            f.write(acl_file())
        cls.inst.env = dict(cls.inst.env, KELSVC_WBEM_DIR=wbem)
        cls.inst.write_settings(SETTINGS)
        cls.inst.prepare()
        with open(cls.inst.path("conf", "debug.ini"), "w") as f:
            f.write("kel_bc\n")
        # The tag filter then gets the navigation file in 8000-byte buckets.
        cls.inst.load_probe("EnableMMAP off\n")
        cls.start_server(Server(cls.inst, SERVER_LOG))

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        super().tearDownClass()

    # Helpers.
    def discover(self, uri="/Proxy/Registration"):
        r = Client(self.inst, port=2301, timeout=120).request("GET", uri)
        self.assertEqual((r.status, r.body), (200, ""))

    def map_file(self):
        return self.inst.read("conf", "vexolist.map")

    def webapps(self):
        _, body = Client(self.inst).get("/kelprobe/webapps")
        return {line.split("|")[0]: line.split("|") for line in body.splitlines()}

    def page(self, path, port=2301, **kw):
        return Client(self.inst, port=port).request(kw.pop("method", "GET"), path, **kw)

    def debug_lines(self, since):
        return [line.split("] ", 3)[-1] for line in self.server.error_log()[since:].splitlines()
                if "[kel_bc:error]" in line]

    # Discovery.
    def test_registration_in_any_case_registers_maps_and_proxies(self):
        with LegacyAgent(49400, name="MyAgent") as a, LegacyAgent(49402, name="Second") as b:
            for uri in ("/proxy/registration", "/PROXY/REGISTRATION", "/Proxy/Registration"):
                self.discover(uri)
                self.assertEqual(self.map_file(), MAP_HEADER + map_lines("MyAgent", 49400) + map_lines("Second", 49402))
            apps = self.webapps()
            self.assertEqual(apps["MyAgent"], ["MyAgent", "49400", "1", "0", "1", "MyAgent Agent", "/MyAgent/",
                                               "/MyAgent/cimom", "Dornik HTTP Server", "/opt/agents/MyAgent/html/",
                                               "/opt/agents/MyAgent", "alive"])
            # The bytes of each exchange, byte for byte: status and reload on one
            # connection, the lookup on its own.
            self.assertEqual(bytes(a.connections[0]), STATUS_REQUEST + RELOAD_REQUEST)
            self.assertEqual(bytes(a.connections[1]),
                             b"GET /Proxy/LookupTag/MyAgent?StringWorkingSet=ExtensionBase HTTP/1.0 \r\n"
                             b"Dornik-HTTPServerVersion: 99990000 \r\n\r\n")
            for port in (2301, 2381):
                for path in ("/MyAgent/x.htm", "/myagent/x.htm", "/MYAGENT/x.htm?q=1"):
                    r = self.page(path, port)
                    self.assertEqual((r.status, r.body), (200, "page %s of MyAgent" % path))
            self.assertEqual(self.page("/second/y").body, "page /second/y of Second")

    def test_no_agent_probes_twenty_ports_and_leaves_the_header(self):
        mark = self.server.error_log_size()
        self.discover()
        self.assertEqual(self.map_file(), MAP_HEADER)
        lines = self.server.error_log_with("Port 49419 available")
        probed = [l for l in self.debug_lines(mark) if "available.  Moving on" in l]
        self.assertEqual(probed, ["getVEXOs: Port %d available.  Moving on to next port." % p
                                  for p in range(49400, 49420)])
        self.assertNotIn("Port 49420", lines[mark:])

    def test_free_port_count(self):
        cases = [
            # An agent behind 20 free ports is not found.
            ({49420: "Far"}, []),
            # The 11th port resets the count: the scan reaches the 31st.
            ({49410: "Eleventh", 49430: "ThirtyFirst"}, [("Eleventh", 49410), ("ThirtyFirst", 49430)]),
        ]
        for agents, found in cases:
            with Agents([LegacyAgent(p, name=n) for p, n in agents.items()]) as group:
                self.discover()
                self.assertEqual(self.map_file(), MAP_HEADER + "".join(map_lines(n, p) for n, p in found))
                if not found:
                    self.assertEqual(group.agents[0].requests, [])

    def test_short_report_is_retried_once(self):
        with LegacyAgent(49400, name="Late", mode="short", short_times=1) as late, \
                LegacyAgent(49401, name="Never", mode="short") as never:
            before = self.inst.read("logs", "kel.log").count("Unable to get ZQStatusReport.")
            start = time.monotonic()
            self.discover()
            # Both replies end with the connection: nothing waits its full time.
            self.assertLess(time.monotonic() - start, 3)
            self.assertEqual(self.map_file(), MAP_HEADER + map_lines("Late", 49400))
            self.assertEqual(len(late.received("/proxy/zqstatusreport")), 2)
            self.assertEqual(len(never.received("/proxy/zqstatusreport")), 2)
            self.assertNotIn("Never", self.webapps())
            self.assertEqual(self.inst.read("logs", "kel.log").count("Unable to get ZQStatusReport.") - before, 3)

    def test_report_entries(self):
        entries = {
            49400: ("Single", "VEXOName=x\r\n", False),  # only the leading block's ISAPIExtension
            49401: ("Two", "ISAPIExtension=/First\r\nVEXOName=One\r\nISAPIExtension=/Other\r\nVEXOName=Late\r\n",
                    True),
            49402: ("HidYes", "ISAPIExtension=/HidYes\r\nHidden=yes\r\n", True),
            49403: ("HidOne", "ISAPIExtension=/HidOne\r\nHidden=1\r\n", True),
            # A name that would put another target into the map is refused.
            49404: ("Bad", "ISAPIExtension=/bad http://10.1.2.3:80\r\n", True),
            49405: ("proxy", "ISAPIExtension=/Proxy\r\n", True),
        }
        agents = [LegacyAgent(port, name=name, entry=entry, leading=leading)
                  for port, (name, entry, leading) in entries.items()]
        with Agents(agents):
            self.discover()
            apps = self.webapps()
            self.assertEqual(self.map_file(), MAP_HEADER + map_lines("First", 49401) + map_lines("HidYes", 49402)
                             + map_lines("HidOne", 49403))
            self.assertEqual(apps["First"][5], "One")
            self.assertNotIn("Other", apps)
            self.assertEqual(apps["HidYes"][3], "1")
            self.assertEqual(apps["HidOne"][3], "0")
            for name in ("Single", "bad", "Proxy"):
                self.assertNotIn(name, apps)
            log = self.inst.read("logs", "kel.log")
            self.assertIn('calls itself "bad http://10.1.2.3:80", which cannot be a key of the map file', log)
            self.assertIn('calls itself "Proxy"', log)

    def test_lock_ports(self):
        # A listener on 127.0.0.2 holds the port for a bind to every address
        # (exclusive-port mode) but not for one to 127.0.0.1.
        holder = socket.socket()
        holder.bind(("127.0.0.2", 49405))
        holder.listen(1)
        try:
            for value, occupied in (("1", True), ("2", False), ("0", False)):
                self.assertEqual(Client(self.inst).get("/kelprobe/set?lock-ports=" + value), (200, "1"))
                mark = self.server.error_log_size()
                self.discover()
                self.server.error_log_with("Port 49419 available")
                lines = self.debug_lines(mark)
                self.assertEqual("getVEXOs: port 49405 occupied, attempting ZQStatusReport." in lines, occupied, value)
                self.assertEqual("getVEXOs: Port 49405 available.  Moving on to next port." in lines, not occupied)
        finally:
            holder.close()
            Client(self.inst).get("/kelprobe/set?lock-ports=0")

    # What an agent receives.
    def test_cookie_and_identification_headers_for_each_level(self):
        with LegacyAgent(49400, name="Ident") as agent:
            self.discover()
            sent = {"Cookie": "QXKELSESSION=" + "a" * 64 + "; other=1", "QXKEL-SessionDir": "/etc",
                    "Authorization": "Basic dXNlcjpwYXNz", "Dornik-WBEM-UserName": "administrator",
                    "Dornik-Other": "x"}
            for level, group, text in (("none", "anonymous", "anonymous"), ("4", "administrator", "administrator"),
                                       ("0", "anonymous", "invalid"), ("2", "user", "user"),
                                       ("12", "anonymous", "invalid")):
                for port in (2301, 2381):
                    r = self.page("/Ident/page", port, headers=dict(sent, **{"KelProbe-Level": level}))
                    self.assertEqual(r.status, 200)
                    # No cookie of the agent's own: one blank.
                    self.assertEqual(r.headers.get("Set-Cookie"), "")
                    got = agent.received("/Ident/page")[-1]
                    self.assertEqual(got.headers["cookie"], legacy_cookie(HASHES[group]), level)
                    self.assertEqual(got.headers["dornik-wbem-username"], text)
                    self.assertEqual(got.headers["dornik-httpserverversion"], "99990000")
                    self.assertEqual(got.headers["dornik-original-protocol"], "HTTPS")
                    names = [n.lower() for n in got.header_names]
                    for absent in ("qxkel-sessiondir", "authorization", "kelprobe-level", "dornik-other"):
                        self.assertNotIn(absent, names)
                    self.assertEqual(names.count("cookie"), 1)
                    self.assertNotIn("QXKELSESSION", str(got.raw))

    def test_cimom_and_post(self):
        with LegacyAgent(49400, name="Cim") as agent:
            self.discover()
            r = self.page("/Cim/cimom/x?y=1", method="POST", body="<CIM/>", headers={"Content-Type": "text/xml"})
            self.assertEqual((r.status, r.body), (200, "cimom of Cim"))
            got = agent.received("/cimom")[-1]
            self.assertEqual((got.path, got.method, got.body), ("/cimom", "POST", b"<CIM/>"))
            r = self.page("/Cim/form", method="POST", body="a=1",
                          headers={"Content-Type": "application/x-www-form-urlencoded"})
            self.assertEqual(r.status, 200)
            got = agent.received("/Cim/form")[-1]
            self.assertEqual((got.method, got.body), ("POST", b"a=1"))

    def test_reconnect_is_400_without_a_body(self):
        for uri in ("/proxy/Reconnect?Version=99.99.0.0", "/Proxy/Reconnect", "/PROXY/RECONNECT"):
            r = self.page(uri)
            self.assertEqual((r.status, r.body), (400, ""), uri)

    # A running discovery does not hold agent traffic.
    def test_agents_stay_reachable_during_a_discovery(self):
        with LegacyAgent(49400, name="Known") as known, LegacyAgent(49401, name="Mute", mode="silent"):
            self.discover()
            runner = threading.Thread(target=self.discover)
            runner.start()
            try:
                self.assertTrue(wait_until(lambda: len(known.received("/proxy/zqstatusreport")) == 2, 10))
                start = time.monotonic()
                r = self.page("/Known/during")
                self.assertEqual((r.status, r.body), (200, "page /Known/during of Known"))
                self.assertLess(time.monotonic() - start, 1.0)
                self.assertTrue(runner.is_alive())  # the silent agent is still being waited for
            finally:
                runner.join(30)
            self.assertEqual(self.map_file(), MAP_HEADER + map_lines("Known", 49400))

    def test_an_agent_is_asked_whether_it_lives_once_for_many_reports(self):
        with LegacyAgent(49400, name="Busy") as busy:
            self.discover()
            asked = len(busy.received("/Busy"))
            for _ in range(10):
                self.assertIn("ISAPIExtension=/Busy\r\n", self.page("/proxy/zqstatusreport").body)
                self.assertEqual(self.page("/navfile.htm", 2381).status, 200)
            # Twenty reports ask it once, twice if a second went by meanwhile.
            self.assertIn(len(busy.received("/Busy")) - asked, (1, 2))
            # A discovery forgets: the next report asks again.
            self.discover()
            asked = len(busy.received("/Busy"))
            self.page("/proxy/zqstatusreport")
            self.assertEqual(len(busy.received("/Busy")) - asked, 1)

    def test_a_crowd_of_reports_asks_an_agent_once_when_its_answer_is_old(self):
        # Each check takes the agent half a second: without one check at a
        # time, every report arriving meanwhile would send its own.
        with LegacyAgent(49400, name="Busy", page_delay=0.5) as busy:
            self.discover()
            self.page("/proxy/zqstatusreport")
            asked = len(busy.received("/Busy"))
            deadline = time.monotonic() + 2.5
            bodies = []

            def reports():
                while time.monotonic() < deadline:
                    bodies.append(self.page("/proxy/zqstatusreport").body)

            crowd = [threading.Thread(target=reports) for _ in range(8)]
            for t in crowd:
                t.start()
            for t in crowd:
                t.join(30)
            self.assertTrue(all("ISAPIExtension=/Busy\r\n" in b for b in bodies))
            # The answer went stale at most twice (three times at a stretch).
            self.assertLessEqual(len(busy.received("/Busy")) - asked, 3)
            self.assertGreater(len(bodies), 16)

    # The navigation file.
    def write_navfile(self, text):
        with open(self.inst.path("data", "htdocs", "navfile.htm"), "w") as f:
            f.write(text)

    def test_navfile_unlists_an_agent_that_stopped_and_discovers_again(self):
        self.allow_log(*AGENT_GONE)
        with LegacyAgent(49400, name="Stays"):
            gone = LegacyAgent(49401, name="Goes").start()
            self.discover()
            self.assertEqual(self.map_file(), MAP_HEADER + map_lines("Stays", 49400) + map_lines("Goes", 49401))
            self.write_navfile("nav")
            gone.stop()
            # The discovery that follows rebuilt the file before it was served.
            r = self.page("/navfile.htm", 2381)
            self.assertEqual((r.status, r.body), (200, NAV_HEADER))
            apps = self.webapps()
            self.assertEqual(apps["Goes"][2:4], ["0", "1"])
            self.assertEqual(apps["Stays"][2:4], ["1", "0"])
            self.assertEqual(self.map_file(), MAP_HEADER + map_lines("Stays", 49400))

    def test_navfile_tags(self):
        self.allow_log(*AGENT_GONE)
        with LegacyAgent(49400, name="tagger"):
            self.discover()
            # Tags split across the 8000-byte buckets: inside the tag, and
            # inside its opener.
            fill = "x" * (8000 - 5)
            text = fill + "<!./tagger/Split>" + "y" * (16000 - len(fill) - 17 - 1) + "<!./tagger/Opener>end"
            self.assertEqual(text.index("<!./tagger/Opener>"), 15999)
            cases = [
                ("head <!./tagger/Status> tail", "head [tagger Status] tail"),
                ("no tags at all < ! . > <! .", "no tags at all < ! . > <! ."),
                (text, text.replace("<!./tagger/Split>", "[tagger Split]").replace("<!./tagger/Opener>",
                                                                                    "[tagger Opener]")),
                ("kept <!./tagger/Unfinished", "kept "),
            ]
            for source, expected in cases:
                self.write_navfile(source)
                r = self.page("/navfile.htm", 2381)
                self.assertEqual(r.status, 200)
                self.assertEqual(r.body, expected, source[:40])

    # The agents' INI files: the merged navigation and help.
    def test_ini_files_give_the_merged_navigation_and_help(self):
        agents = os.path.join(self.inst.root, "agents")
        shutil.copytree(os.path.join(HELP_FIXTURES, "agents"), agents, dirs_exist_ok=True)
        oldhelp = os.path.join(HELP_FIXTURES, "oldhelp")
        for name in os.listdir(oldhelp):
            shutil.copy(os.path.join(oldhelp, name), self.inst.path("data", "help"))
        alpha, beta = agents + "/Alpha/html/", agents + "/Beta/ravlend/html/"
        with LegacyAgent(49400, name="Alpha", base=alpha), LegacyAgent(49401, name="Beta", base=beta):
            self.discover()

            def block(name, source, description):
                return ("\r\n//%s\r\n//VEXONAME = /%s \r\n//NAVIGATION FILE = %s\r\n//DESCRIPTION = %s\r\n"
                        % ("-" * 50, name, source, description))
            r = self.page("/navfile.htm", 2381)
            self.assertEqual((r.status, r.body), (200, NAV_HEADER
                             + block("Alpha", alpha + "nav/alpha.js", "Alpha agent pages")
                             + 'addNav("Alpha", "[Alpha Status]");\r\n'
                             + block("Beta", agents + "/Beta/ravlend/sm/beta.js", "Beta agent pages")
                             + 'addNav("Beta", "[Beta Status]");\r\n'))

            contents = self.inst.read("data", "help", "drkhelp.hhc")
            self.assertTrue(contents.startswith("<html><head><title>Portal help</title></head><body>\n<ul>\n"))
            self.assertLess(contents.index('"Portal Help"'), contents.index('"Overview"'))
            # The two agents' Overview entries, one folder deeper.
            self.assertIn('  <li><object type="text/sitemap">\n    <param name="Name" value="Overview">\n'
                          '  </object>\n  <ul>\n    <li><object type="text/sitemap">\n'
                          '      <param name="Name" value="Overview">\n'
                          '      <param name="Local" value="/Alpha/help/overview.htm">\n', contents)
            self.assertIn('<param name="Local" value="/Beta/intro.htm">', contents)
            self.assertTrue(contents.endswith("</ul>\n</body></html>\n"))
            index = self.inst.read("data", "help", "drkhelp.hhk")
            self.assertLess(index.index('value="alpha"'), index.index('value="Beta"'))
            self.assertIn('<param name="Local" value="/Alpha/help/beta.htm">', index)
            search = self.inst.read("data", "help", "drkhelp.hhs")
            self.assertIn('[TOPICS=6]\n"Portal Help","/index.html"\n"Overview","/Alpha/help/overview.htm"\n', search)
            self.assertIn('"printer", 6, 4, 2\n', search)
            self.assertTrue(search.endswith("[STOPWORDS=3]\nand\nof\nthe\n"))
            # The merged links reach the agents through the map.
            self.assertEqual(self.page("/Alpha/help/overview.htm", 2381).body,
                             "page /Alpha/help/overview.htm of Alpha")

        # Without agents only the portal's own help is left.
        self.discover()
        self.assertEqual(self.page("/navfile.htm", 2381).body, NAV_HEADER)
        self.assertNotIn("Overview", self.inst.read("data", "help", "drkhelp.hhc"))


if __name__ == "__main__":
    unittest.main()
