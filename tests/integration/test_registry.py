"""The URL maps of registration files on real requests."""
import os
import shutil
import unittest

from kelharness import InstallationTest, Server

FIXTURES = os.path.join(os.path.dirname(__file__), "..", "fixtures", "webapp")
PAGES = {"foo/index.html": "foo index", "foo/target.html": "foo target", "bar/real.html": "bar real",
         "bar/fallback.html": "bar fallback", "baz/target.html": "baz target"}


class UrlMapTest(InstallationTest):

    def test_maps_redirect_real_requests(self):
        for name in ("maps.xml", "missing.xml", "exact.xml"):
            shutil.copy(os.path.join(FIXTURES, name), self.inst.path("webapp", name))
        for page, text in PAGES.items():
            os.makedirs(os.path.dirname(self.inst.path("data", "htdocs", page)), exist_ok=True)
            with open(self.inst.path("data", "htdocs", page), "w") as f:
                f.write(text)
        self.inst.write_settings({"ip-binding": "True", "ip-binding-list": "", "anonymous-access": "True", "log-level": "warn"})
        self.inst.prepare()
        with Server(self.inst) as server:
            cases = [
                ("/foo/anything", "foo index"),        # star map
                ("/foo/index.html", "foo index"),      # the target itself, no loop
                ("/bar/real.html", "bar real"),        # ** map: an existing file as it is
                ("/bar/gone.html", "bar fallback"),    # ** map: a missing one redirected
                ("/baz/a?b=1", "baz target"),          # exact map with a query string
            ]
            for path, text in cases:
                self.assertEqual(server.https(path), (200, text), path)
            self.assertEqual(server.https("/baz/b")[0], 404)


if __name__ == "__main__":
    unittest.main()
