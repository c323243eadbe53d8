"""The set-up's check of the installed web server: it passes on this
machine and stops, with its message, on a start that logs a warning."""
import os
import subprocess
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(ROOT, "scripts", "check-webserver")


def check(*args):
    r = subprocess.run([CHECK] + list(args), capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


class CheckWebServerTest(unittest.TestCase):
    def test_installed_web_server_starts_cleanly(self):
        code, out, err = check()
        self.assertEqual(code, 0, err)
        self.assertIn("starts cleanly with the portal's modules", out)

    def test_a_warning_at_start_stops_the_setup(self):
        code, out, err = check("--include", os.path.join(ROOT, "tests", "fixtures", "webserver", "warns.conf"))
        self.assertEqual(code, 1)
        self.assertIn("does not start cleanly with the portal's modules", err)
        self.assertIn("[core:warn]", err)
        self.assertIn("AH00117: Ignoring deprecated use of DefaultType", err)


if __name__ == "__main__":
    unittest.main()
