"""The generated configuration on a real qxkeld: both ports, the legacy
rewrite map, the thread count and the IP restriction."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))

from kelharness import InstallationTest, Server  # noqa: E402
from legacy_agent import LegacyAgent  # noqa: E402

# Bind to 127.0.0.1 alone, serve pages without a login, and let warnings
# reach the error log.
BASE_SETTINGS = {"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"}


class GeneratedConfigurationTest(InstallationTest):

    def start(self, settings, expected_log=()):
        self.inst.write_settings(dict(BASE_SETTINGS, **settings))
        self.inst.prepare()
        return Server(self.inst, expected_log)

    def test_serves_both_ports_and_proxies_mapped_agents(self):
        with LegacyAgent(49400), self.start({"max-threads": "70"}) as server:
            status, body = server.https("/")
            self.assertEqual(status, 200)
            self.assertIn("QX Kel Portal", body)
            status, body = server.http("/")
            self.assertEqual(status, 200)
            self.assertIn("legacy port", body)

            with open(self.inst.path("conf", "vexolist.map"), "w") as f:
                f.write("vexo1 http://127.0.0.1:49400\n")
            for get in (server.http, server.https):
                status, body = get("/vexo1/status.htm?x=1")
                self.assertEqual((status, body), (200, "page /vexo1/status.htm?x=1 of agent49400"))
            # A first segment that is not in the map is not proxied.
            self.assertEqual(server.http("/vexo2/status.htm")[0], 404)

    def test_threads_per_child_follows_max_threads(self):
        for threads in (64, 100):
            with self.start({"max-threads": str(threads)}) as server:
                # The workers, the listener and the main thread.
                self.assertEqual(server.worker_threads(threads + 2), threads + 2)

    def test_ip_restriction_refuses_other_clients(self):
        denied = [r"AH01797: client denied by server configuration"]
        # A range that gives no address is left out rather than stopping the server.
        settings = {"ip-restricted-logins": "True",
                    "ip-restricted-include": "10.0.0.1-10.0.0.6;10.0.0.9-10.0.0.1"}
        with self.start(settings, expected_log=denied) as server:
            self.assertEqual(server.http("/", source="127.0.0.1")[0], 200)
            self.assertEqual(server.http("/", source="127.0.0.2")[0], 403)
            log = server.error_log_with("client 127.0.0.2")
            self.assertIn("client 127.0.0.2", log)
            self.assertNotIn("client 127.0.0.1:", log)

    def test_tls_offers_forward_secrecy_and_aead_only(self):
        def handshake(*args):
            r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:2381", "-servername", "127.0.0.1"]
                               + list(args), input=b"", capture_output=True, timeout=30)
            out = r.stdout.decode(errors="replace")
            return r.returncode == 0 and "Cipher is (NONE)" not in out and "New, " in out
        with self.start({}):
            # Static RSA key exchange, CBC with SHA-1, and TLS 1.0/1.1 are refused.
            for refused in (("-tls1_2", "-cipher", "AES128-GCM-SHA256"),
                            ("-tls1_2", "-cipher", "AES256-SHA"),
                            ("-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA"),
                            ("-tls1_2", "-cipher", "ECDHE-RSA-AES256-SHA384"),
                            ("-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"),
                            ("-tls1", "-cipher", "DEFAULT@SECLEVEL=0")):
                self.assertFalse(handshake(*refused), refused)
            for accepted in (("-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"),
                             ("-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"),
                             ("-tls1_3", "-ciphersuites", "TLS_AES_256_GCM_SHA384")):
                self.assertTrue(handshake(*accepted), accepted)


if __name__ == "__main__":
    unittest.main()
