"""The trusted certificate store loaded by the real qxkeld at start-up."""
import os
import unittest

import kelcerts
from kelharness import InstallationTest, Server



def certificate(path, cn):
    kelcerts.write(path, kelcerts.make(cn, organization="Management")[0])


class CertStoreTest(InstallationTest):

    def test_store_is_loaded_at_start(self):
        certs = self.inst.path("certs")
        certificate(os.path.join(certs, "mgmt1.example.pem"), "mgmt1.example")
        certificate(os.path.join(certs, "mgmt2.example.pem"), "mgmt2.example")
        certificate(os.path.join(certs, "half.pem.ras"), "half.example")
        with open(os.path.join(certs, "readme.txt"), "w") as f:
            f.write("not a certificate")
        self.inst.write_settings({"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"})
        self.inst.prepare()
        self.inst.load_probe()
        with Server(self.inst) as server:
            status, cns = server.https("/kelprobe/certs")
            self.assertEqual(status, 200)
            self.assertEqual(sorted(cns.split(",")), ["mgmt1.example", "mgmt2.example"])
        self.assertEqual(sorted(os.listdir(certs)), ["mgmt1.example.pem", "mgmt2.example.pem"])
        log = self.inst.read("logs", "kel.log")
        self.assertIn("Leftover cert file from incomplete Replicate Agent Settings task removed: %s/half.pem.ras"
                      % certs, log)


if __name__ == "__main__":
    unittest.main()
