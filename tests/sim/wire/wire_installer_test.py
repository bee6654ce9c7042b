"""Applications on the wire, checked by Debian's ideviceinstaller run as it is
against `devicesim serve`: listing, install, upgrade and uninstall of built
archives, refusals, and one farm shared with the stand-in library (orvexctl
sees what ideviceinstaller installed, and the reverse).

Needs the server (wire_harness and `devicesim serve`); exits 77 (skipped)
where it is not built."""
import io
import json
import os
import plistlib
import shutil
import sys
import tempfile
import unittest
import zipfile

SKIPPED = 77

try:
    from wire_harness import Server, harness
except ImportError:
    print("wire_harness is not here: the server is not built; skipped")
    sys.exit(SKIPPED)

IDEVICEINSTALLER = shutil.which("ideviceinstaller") or "/usr/bin/ideviceinstaller"


def build_ipa(path, bundle_id, name, version, binary_info=False):
    """An application archive: Payload/<name>.app with its Info.plist and an executable."""
    info = {"CFBundleIdentifier": bundle_id, "CFBundleName": name, "CFBundleDisplayName": name,
            "CFBundleExecutable": name, "CFBundleVersion": version, "CFBundleShortVersionString": version}
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Payload/%s.app/Info.plist" % name,
                   plistlib.dumps(info, fmt=plistlib.FMT_BINARY if binary_info else plistlib.FMT_XML))
        z.writestr("Payload/%s.app/%s" % (name, name), os.urandom(4096))
        z.writestr("Payload/%s.app/en.lproj/InfoPlist.strings" % name, b"\"CFBundleDisplayName\" = \"%s\";"
                   % name.encode())


def listed(output):
    """bundle id -> version from `ideviceinstaller -l`."""
    apps = {}
    for line in output.splitlines()[1:]:
        parts = [p.strip() for p in line.split(",")]
        if len(parts) >= 2:
            apps[parts[0]] = parts[1].strip('"')
    return apps


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.farm = harness.Farm()
        cls.local = tempfile.mkdtemp(prefix="wire-ipa-")
        try:
            cls.phone = cls.farm.create(harness.IPHONE4S)
            cls.server = Server(cls.farm)
        except BaseException:
            cls.farm.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
        finally:
            cls.farm.close()
            shutil.rmtree(cls.local, ignore_errors=True)

    def setUp(self):
        self.farm.sim("fault", "--device", self.phone, "clear")

    def installer(self, *args):
        result = self.server.tool(IDEVICEINSTALLER, "-u", self.phone, *args)
        return result.returncode, result.stdout.decode("utf-8", "replace") + result.stderr.decode("utf-8", "replace")

    def ipa(self, name, *recipe, **options):
        path = os.path.join(self.local, name)
        build_ipa(path, *recipe, **options)
        return path

    def applications(self):
        return self.farm.description(self.phone).get("Applications", {})

    def test_list_shows_the_farms_user_applications(self):
        code, output = self.installer("-l")
        self.assertEqual(code, 0, output)
        users = {k: v.get("CFBundleVersion") for k, v in self.applications().items()
                 if v.get("ApplicationType") == "User"}
        self.assertTrue(users)
        self.assertEqual(listed(output), users)
        code, output = self.installer("-l", "-o", "list_system")
        self.assertIn("com.apple.mobilesafari", listed(output))

    def test_install_upgrade_uninstall_on_the_shared_farm(self):
        code, output = self.installer("-i", self.ipa("v1.ipa", "com.example.wire", "Wire", "1.0"))
        self.assertEqual(code, 0, output)
        self.assertIn("Complete", output)
        app = self.applications()["com.example.wire"]
        self.assertEqual(app["CFBundleVersion"], "1.0")
        self.assertEqual(listed(self.installer("-l")[1]).get("com.example.wire"), "1.0")
        # The stand-in library, through orvexctl, lists what the wire installed.
        result = self.farm.ctl("-u", self.phone, "apps", "--json")
        self.assertEqual(result.code, 0, result)
        self.assertIn("com.example.wire", result.out)

        code, output = self.installer("-g", self.ipa("v2.ipa", "com.example.wire", "Wire", "2.0"))
        self.assertEqual(code, 0, output)
        upgraded = self.applications()["com.example.wire"]
        self.assertEqual(upgraded["CFBundleVersion"], "2.0")
        self.assertEqual(upgraded["Container"], app["Container"])

        code, output = self.installer("-U", "com.example.wire")
        self.assertEqual(code, 0, output)
        self.assertNotIn("com.example.wire", self.applications())
        self.assertNotIn("com.example.wire", listed(self.installer("-l")[1]))

    def test_an_archive_with_a_binary_info_plist(self):
        code, output = self.installer("-i", self.ipa("b.ipa", "com.example.binary", "Binary", "4.0", binary_info=True))
        self.assertEqual(code, 0, output)
        self.assertEqual(self.applications()["com.example.binary"]["CFBundleVersion"], "4.0")

    def test_an_app_installed_through_the_stand_in_is_listed_on_the_wire(self):
        result = self.farm.ctl("-u", self.phone, "install", self.ipa("s.ipa", "com.example.standin", "StandIn", "3.1"))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(listed(self.installer("-l")[1]).get("com.example.standin"), "3.1")

    def test_refusals_are_reported_by_the_tool(self):
        code, output = self.installer("-U", "com.example.never")
        self.assertNotEqual(code, 0, output)
        self.assertIn("ApplicationNotInstalled", output)
        code, output = self.installer("-U", "com.apple.mobilesafari")
        self.assertNotEqual(code, 0, output)
        self.assertIn("com.apple.mobilesafari", self.applications())
        self.farm.sim("fault", "--device", self.phone, "install", "on")
        code, output = self.installer("-i", self.ipa("f.ipa", "com.example.fault", "Fault", "1.0"))
        self.assertNotEqual(code, 0, output)
        self.assertIn("InstallProhibited", output)
        self.assertNotIn("com.example.fault", self.applications())
        self.farm.sim("fault", "--device", self.phone, "lookup", "on")
        code, output = self.installer("-l")
        self.assertNotEqual(code, 0, output)


if __name__ == "__main__":
    unittest.main()
