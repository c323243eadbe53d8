"""A pair made by the service's certificate check, served by a real qxkeld
and verified by a TLS 1.2 client that trusts the certificate."""
import os
import socket
import ssl
import unittest

from kelharness import InstallationTest, Server

# The virtual hosts are named by address (ServerName 127.0.0.1:2381) while
# the certificate names the host: mod_ssl says so once per TLS host.
NAME_MISMATCH = r"AH01909: .* server certificate does NOT include an ID which matches the server name"


class SelfSignedCertificateTest(InstallationTest):
    certificate = False

    def test_client_verifies_the_made_pair_for_the_host_name(self):
        self.inst.write_settings({"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"})
        self.inst.prepare()
        cert = os.path.join(self.inst.ssl, "cert.pem")
        self.assertTrue(os.path.exists(cert))
        with Server(self.inst, expected_log=[NAME_MISMATCH]):
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_verify_locations(cert)
            host = socket.gethostname()
            with socket.create_connection(("127.0.0.1", 2381), 10) as raw:
                with ctx.wrap_socket(raw, server_hostname=host) as tls:
                    self.assertEqual(tls.version(), "TLSv1.2")
                    tls.sendall(b"GET / HTTP/1.0\r\nHost: %s\r\n\r\n" % host.encode())
                    answer = b""
                    while chunk := tls.recv(4096):
                        answer += chunk
            self.assertTrue(answer.startswith(b"HTTP/1.1 200 "), answer[:80])
            self.assertIn(b"QX Kel Portal", answer)


if __name__ == "__main__":
    unittest.main()
