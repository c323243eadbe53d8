"""mod_kel_config in the real qxkeld: the settings it reads and repairs,
its diagnostic log, and which servers share a configuration."""
import http.client
import os
import unittest

from kelharness import InstallationTest, Server

# What the tests add to the generated configuration besides the probe: a
# third port whose virtual host names the module's directive.
THIRD_PORT = """Listen 127.0.0.1:2399
<VirtualHost 127.0.0.1:2399>
ServerName 127.0.0.1:2399
KELConfig own configuration
</VirtualHost>
"""


class SettingsModuleTest(InstallationTest):

    def test_module_reads_repairs_logs_and_shares(self):
        self.inst.write_settings({"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn",
                                  "session-timeout": "90", "ui-timeout": "256"})
        self.inst.prepare()
        self.inst.load_probe(THIRD_PORT)
        with Server(self.inst) as server:
            self.assertIn("<session-timeout>15</session-timeout>", self.inst.read("conf", "kelpd.xml"))
            self.assertEqual(server.http("/kelprobe/setting?session-timeout"), (200, "15"))
            self.assertEqual(server.https("/kelprobe/setting?ui-timeout"), (200, "256"))
            self.assertEqual(server.http("/kelprobe/setting?no-such-setting"), (200, "(none)"))

            self.assertEqual(server.https("/kelprobe/log?probe-record-1"), (200, "14"))
            log = self.inst.read("logs", "kel.log")
            self.assertIn("INFORMATION LOG (severity=0)", log)
            self.assertIn("probe-record-1", log)

            # A worker (user qxkel) writes the settings file.
            self.assertEqual(server.https("/kelprobe/set?trustmode=TrustByName"), (200, "1"))
            self.assertIn("<trustmode>TrustByName</trustmode>", self.inst.read("conf", "kelpd.xml"))
            self.assertEqual(server.http("/kelprobe/setting?trustmode"), (200, "TrustByName"))

            legacy = server.http("/kelprobe/config")[1]
            main = server.https("/kelprobe/config")[1]
            conn = http.client.HTTPConnection("127.0.0.1", 2399, timeout=10)
            conn.request("GET", "/kelprobe/config")
            third = conn.getresponse().read().decode()
            conn.close()
            self.assertEqual(legacy, main)
            self.assertNotEqual(third, main)


class SeparateWriteDirectoryTest(InstallationTest):
    """KELSVC_WRITE_DIR apart from KELSVC_BASE_DIR: the service program and
    the module still read and write one settings file."""

    def test_service_and_module_use_one_settings_file(self):
        write = os.path.join(self.inst.root, "write")
        for sub in ("conf", "logs", "webapp"):
            os.makedirs(os.path.join(write, sub))
        os.chmod(write, 0o755)
        self.inst.env["KELSVC_WRITE_DIR"] = write
        settings = os.path.join(write, "conf", "kelpd.xml")
        with open(settings, "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<kel-portal>\n<ip-binding>True</ip-binding>\n'
                    "<ip-binding-list></ip-binding-list>\n<log-level>warn</log-level>\n"
                    "<max-threads>100</max-threads>\n<trustmode>TrustByName</trustmode>\n"
                    "<anonymous-access>True</anonymous-access>\n</kel-portal>")
        self.inst.prepare()
        conf = self.inst.read("conf", "kelpd.conf")
        self.assertIn("ThreadsPerChild     100\n", conf)  # the service read the write directory's file
        self.assertIn("RewriteMap map1 txt:%s/conf/vexolist.map\n" % write, conf)
        self.assertTrue(os.path.exists(os.path.join(write, "conf", "vexolist.map")))
        self.inst.load_probe(THIRD_PORT)
        with Server(self.inst) as server:
            self.assertEqual(server.https("/kelprobe/setting?trustmode"), (200, "TrustByName"))
            self.assertEqual(server.https("/kelprobe/set?zqnamelist=shared"), (200, "1"))
        with open(settings) as f:
            self.assertIn("<zqnamelist>shared</zqnamelist>", f.read())
        self.assertFalse(os.path.exists(self.inst.path("conf", "kelpd.xml")))
        with open(os.path.join(write, "logs", "kel.log"), errors="replace") as f:
            self.assertIn("LOG (severity=", f.read())  # the service program's records
        self.assertFalse(os.path.exists(self.inst.path("logs", "kel.log")))


def conf_path(inst):
    return inst.path("conf", "kelpd.conf")


if __name__ == "__main__":
    unittest.main()
