"""Many sessions at once on the real qxkeld: administrators change the
settings (SetKELData) while other sessions read them (GetKELData and
getuiinfo) and while legacy agents are discovered again and again.

Every write is one version of the settings, recognisable in every part: the
server-name list names it ("v<N>.example"), the trust mode and the
local-access type follow from its number, and it carries two trusted
certificates named after it ("v<N>-a.example", "v<N>-b.example"), which
replace those of the version before. No answer may show parts of two
versions, and no request may wait a second."""
import os
import pwd
import re
import sys
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))

import kelcerts  # noqa: E402
from kelharness import Client, ReservedAgentPorts, Server, ServerTest  # noqa: E402
from legacy_agent import Agents  # noqa: E402

SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "log-level": "warn", "admin-group": "kelops",
            "user-group": "kelusers", "allow-default-os-admin": "False"}
MODES = ("TrustByCert", "TrustByName", "TrustByAll")
TYPES = ("Anonymous", "Administrator")
WRITERS = 3
VERSIONS_PER_WRITER = 8
READERS = (("kelalice", "secret-alice"), ("kelalice", "secret-alice"), ("kelbob", "secret-bob"),
           ("keleve", "p/a+ss&x=y%"))
AGENT_PORTS = range(49400, 49403)
LONGEST_WAIT = 1.0
# The whole test ends within this time whatever happens.
DEADLINE = 90
# Written at every reload notice to an agent.
AGENT_LOG = [r"\[kel_bc:emerg\] .*reload ini file called: portNum=\d+, dataRecv:"]
SETTINGS_QUERY = "/proxy/GetKELData?Jscript&zqnamelist&trustmode&localaccess-type"
SETTINGS_ANSWER = re.compile(r'^zqnamelist="v(\d+)\.example";\ntrustmode="(\w+)";\nlocalaccess_type="(\w+)";\n$')
CERT_NAME = re.compile(r'certlist\[\d+\]\.cn = "([^"]*)";')


def version_settings(n):
    return {"zqnamelist": "v%d.example" % n, "trustmode": MODES[n % len(MODES)],
            "localaccess-type": TYPES[n % len(TYPES)]}


def version_certificates(n):
    return ["v%d-a.example" % n, "v%d-b.example" % n]


class ConcurrencyTest(ServerTest):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        reserved = ReservedAgentPorts().__enter__()
        cls.addClassCleanup(reserved.__exit__, None, None, None)
        inst = cls.inst
        inst.use_fake_accounts()
        inst.write_settings(dict(SETTINGS, **version_settings(0)))
        qxkel = pwd.getpwnam("qxkel")
        for cn in version_certificates(0):
            path = inst.path("certs", cn + ".pem")
            kelcerts.write(path, kelcerts.make(cn, bits=1024)[0])
            os.chown(path, qxkel.pw_uid, qxkel.pw_gid)  # as if the portal had imported them
        inst.prepare()
        # Made before the server starts: the writers only send them.
        cls.certificates = {n: [kelcerts.make(cn, bits=1024)[0] for cn in version_certificates(n)]
                            for n in range(1, WRITERS * VERSIONS_PER_WRITER + 1)}
        cls.start_server(Server(inst, AGENT_LOG))

    def signed_in(self, user, password):
        client = Client(self.inst, timeout=10)
        r = client.login(user, password)
        self.assertTrue(r.status == 303 and client.cookie, "the sign-in of %s" % user)
        return client

    def test_readers_see_one_version_whole_while_writers_and_a_discovery_run(self):
        writers = [self.signed_in("kelalice", "secret-alice") for _ in range(WRITERS)]
        readers = [self.signed_in(user, password) for user, password in READERS]
        stop = threading.Event()
        end = time.monotonic() + DEADLINE
        lock = threading.Lock()
        waits = []      # (seconds, what)
        mixed = []      # answers that show more than one version
        failures = []   # answers that are not what the request must get
        seen = {"settings": set(), "certificates": set()}
        counts = {"reads": 0, "writes": 0, "discoveries": 0}
        discoveries = []  # how long each took (it waits for the agents; it is no request of a session)

        def timed(what, call):
            started = time.monotonic()
            try:
                r = call()
            except OSError as e:
                with lock:
                    failures.append("%s: %s" % (what, e))
                return None
            with lock:
                waits.append((time.monotonic() - started, what))
            return r

        def write(client, n):
            form = dict(version_settings(n))
            for i, pem in enumerate(self.certificates[n]):
                form["ZQCert%d" % (i + 1)] = pem
            r = timed("SetKELData v%d" % n, lambda: client.post_form("/proxy/SetKELData", urllib.parse.urlencode(form)))
            if r is None:
                return
            with lock:
                counts["writes"] += 1
                if r.location != "/message.php?202&2":
                    failures.append("SetKELData v%d answered %d %s" % (n, r.status, r.location))

        def writer(index, client):
            for k in range(VERSIONS_PER_WRITER):
                if stop.is_set() or time.monotonic() > end:
                    return
                write(client, 1 + index + k * WRITERS)

        def check_settings(client):
            r = timed("GetKELData", lambda: client.request("GET", SETTINGS_QUERY))
            if r is None:
                return
            m = SETTINGS_ANSWER.match(r.body)
            if r.status != 200 or not m:
                with lock:
                    failures.append("GetKELData answered %d: %r" % (r.status, r.body))
                return
            n = int(m.group(1))
            expected = version_settings(n)
            with lock:
                seen["settings"].add(n)
                if (m.group(2), m.group(3)) != (expected["trustmode"], expected["localaccess-type"]):
                    mixed.append("GetKELData: %r" % r.body)

        def check_ui(client):
            r = timed("getuiinfo", lambda: client.request("GET", "/proxy/kelui/getuiinfo?JS"))
            if r is None:
                return
            names = sorted(CERT_NAME.findall(r.body))
            versions = {re.match(r"v(\d+)-", cn).group(1) if re.match(r"v\d+-", cn) else cn for cn in names}
            with lock:
                if r.status != 200 or "webapplist = new Array;" not in r.body:
                    failures.append("getuiinfo answered %d: %r" % (r.status, r.body[:300]))
                elif len(versions) != 1 or names != version_certificates(int(versions.pop())):
                    mixed.append("getuiinfo certificates: %s" % names)
                else:
                    seen["certificates"].add(names[0])

        def reader(index, client):
            while not stop.is_set() and time.monotonic() < end:
                (check_settings if index % 2 == 0 else check_ui)(client)
                (check_ui if index % 2 == 0 else check_settings)(client)
                with lock:
                    counts["reads"] += 2

        def discoverer():
            legacy = Client(self.inst, port=2301, timeout=30)
            while not stop.is_set() and time.monotonic() < end:
                started = time.monotonic()
                r = legacy.request("GET", "/Proxy/Registration")
                with lock:
                    counts["discoveries"] += 1
                    if r.status != 200:
                        failures.append("discovery answered %d" % r.status)
                    discoveries.append(time.monotonic() - started)

        with Agents(AGENT_PORTS):
            threads = ([threading.Thread(target=writer, args=(i, c)) for i, c in enumerate(writers)] +
                       [threading.Thread(target=reader, args=(i, c)) for i, c in enumerate(readers)] +
                       [threading.Thread(target=discoverer)])
            for t in threads:
                t.start()
            try:
                for t in threads[:WRITERS]:
                    t.join(max(0.0, end - time.monotonic()))
            finally:
                stop.set()
                for t in threads:
                    t.join(max(1.0, end + 30 - time.monotonic()))
            self.assertFalse(any(t.is_alive() for t in threads), "a client thread did not end")

        self.assertEqual(failures, [])
        self.assertEqual(mixed, [])
        self.assertEqual(counts["writes"], WRITERS * VERSIONS_PER_WRITER, counts)
        self.assertGreater(counts["discoveries"], 0)
        self.assertLess(max(discoveries), 10, discoveries)
        longest = max(waits)
        self.assertLess(longest[0], LONGEST_WAIT, "the longest wait: %.2f s for %s" % longest)
        # The readers saw the versions change under them, and the last
        # version is what is read afterwards.
        self.assertGreater(len(seen["settings"]), 1, seen)
        self.assertGreater(len(seen["certificates"]), 1, seen)
        final = SETTINGS_ANSWER.match(readers[0].request("GET", SETTINGS_QUERY).body)
        self.assertIsNotNone(final)
        n = int(final.group(1))
        self.assertEqual(sorted(CERT_NAME.findall(readers[1].request("GET", "/proxy/kelui/getuiinfo?JS&certlist").body)),
                         version_certificates(n))
        settings_file = self.inst.read("conf", "kelpd.xml")
        for name, value in version_settings(n).items():
            self.assertIn("<%s>%s</%s>" % (name, value, name), settings_file)


if __name__ == "__main__":
    unittest.main()
