"""The address watch in a private network namespace: a new address on an
interface restarts the web server with that address bound."""
import os
import subprocess
import time
import unittest

from kelharness import Installation, check_error_log

ADDRESS = "10.231.7.9"


def ns(name, *cmd, check=True):
    return subprocess.run(["ip", "netns", "exec", name] + list(cmd), check=check, capture_output=True, text=True)


def listening(name):
    return ns(name, "ss", "-Hltn").stdout


class AddressWatchTest(unittest.TestCase):
    def setUp(self):
        self.ns = "kelwatch%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", self.ns], check=True)
        ns(self.ns, "ip", "link", "set", "lo", "up")
        self.inst = Installation()
        # Every local address, and a watch that reacts within half a second.
        self.inst.write_settings({"monitor-ip-changes": "1", "log-level": "warn"})
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        subprocess.run(["ip", "netns", "del", self.ns], check=False)
        self.inst.remove()

    def wait_for(self, text, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if text in listening(self.ns):
                return True
            time.sleep(0.2)
        return False

    def test_new_address_is_bound_after_the_change(self):
        env = dict(self.inst.env, KELSVC_TEST_WATCH_DELAY_MS="500")
        # ip netns exec runs kelstart itself, so its standard input is ours.
        self.proc = subprocess.Popen(["ip", "netns", "exec", self.ns, self.inst.bin("kelstart"), "/d"],
                                     env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.assertTrue(self.wait_for("127.0.0.1:2381"), listening(self.ns))
        self.assertNotIn(ADDRESS, listening(self.ns))

        ns(self.ns, "ip", "link", "add", "kel0", "type", "veth", "peer", "name", "kel1")
        ns(self.ns, "ip", "addr", "add", ADDRESS + "/24", "dev", "kel0")
        self.assertTrue(self.wait_for(ADDRESS + ":2381"), listening(self.ns))
        self.assertIn(ADDRESS + ":2301", listening(self.ns))
        self.assertIn("listen %s:2381" % ADDRESS, self.inst.read("conf", "kelpd.conf"))

        out, err = self.proc.communicate(b"\n", timeout=30)
        self.assertEqual(self.proc.returncode, 0, err)
        check_error_log(self.inst, [
            # The certificate names 127.0.0.1, not the new address's host.
            r"AH01909: %s:2381:0 server certificate does NOT include an ID" % ADDRESS,
            # Apache reaps the access log's rotatelogs that the restart replaced.
            r"AH00291: long lost child came home!"])


if __name__ == "__main__":
    unittest.main()
