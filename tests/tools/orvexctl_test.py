#!/usr/bin/python3
"""orvexctl through its Linux wrapper (scripts/orvexctl) against simulated
device farms: devices, selection, device information, applications, archives,
failures and usage. The file commands are in orvexctl_files_test.py.
"""
import json
import os
import plistlib
import shutil
import sys
import subprocess
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "ipa"))
import ipa_fixtures  # noqa: E402
from orvexctl_harness import BACKEND, BUILD, BUILTIN, IPAD2, IPHONE4S, Farm, record_fields, unix_path  # noqa: E402

EDITION = os.environ.get("ORVEX_EDITION", "32")

FLAGS = {"IsJailbroken", "QuillonIsSystemApp", "QuillonHDIsSystemApp", "ActivationStateAcknowledged",
         "PasswordProtected", "TelephonyCapability"}
DATA_TEXT = {"ActivationPublicKey", "DevicePublicKey"}
DISK_USAGE = ["TotalDataAvailable", "TotalDataCapacity", "TotalDiskCapacity", "TotalSystemAvailable",
              "TotalSystemCapacity", "CalendarUsage", "CameraUsage", "MobileApplicationUsage", "NotesUsage",
              "PhotoUsage", "MediaCacheUsage", "WebAppCacheUsage"]


def write_ipa(path, identifier, version, name, metadata=None):
    """An application archive as the device and the archive reader take it."""
    info = {"CFBundleIdentifier": identifier, "CFBundleVersion": version, "CFBundleDisplayName": name,
            "CFBundleExecutable": "Demo", "CFBundleIconFile": "Icon"}
    icon = ipa_fixtures.cgbi_png(ipa_fixtures.pattern(8, 8), 8, 8)
    entries = [("Payload/Demo.app/Info.plist", plistlib.dumps(info)), ("Payload/Demo.app/Icon.png", icon),
               ("Payload/Demo.app/Demo", b"\xca\xfe\xba\xbe" + b"\0" * 64)]
    if metadata is not None:
        entries.insert(0, ("iTunesMetadata.plist", plistlib.dumps(metadata)))
    ipa_fixtures.make_zip(path, entries)


class OneDevice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.farm = Farm()
        cls.udid = cls.farm.create(IPHONE4S)
        cls.work = tempfile.mkdtemp(prefix="orvexctl-work-")

    @classmethod
    def tearDownClass(cls):
        cls.farm.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def ok(self, *args):
        result = self.farm.ctl(*args)
        self.assertEqual(result.code, 0, result)
        return result

    def test_list_shows_the_device_in_text_and_json(self):
        text = self.ok("list")
        rows = text.out.splitlines()
        self.assertEqual(rows[0].split(), ["UDID", "NAME", "PRODUCT", "VERSION", "JAILBROKEN"])
        self.assertEqual(len(rows), 2, text)
        self.assertTrue(rows[1].startswith(self.udid))
        for value in ("王小明的 iPhone", "iPhone4,1", "5.1.1", "yes"):
            self.assertIn(value, rows[1])
        listed = json.loads(self.ok("list", "--json").out)
        self.assertEqual(listed, [{"UniqueDeviceID": self.udid, "DeviceName": "王小明的 iPhone",
                                   "ProductType": "iPhone4,1", "ProductVersion": "5.1.1", "IsJailbroken": True}])

    def test_info_json_equals_the_template(self):
        # Figures beyond what a double holds must come through exactly.
        self.farm.sim("set", "--device", self.udid, "--domain", "com.apple.disk_usage", "--type", "integer",
                      "TotalDataCapacity", "9007199254740993")
        self.farm.sim("set", "--device", self.udid, "--type", "integer", "UniqueChipID", "18446744073709551615")
        self.farm.sim("unset", "--device", self.udid, "--domain", "com.apple.disk_usage", "WebAppCacheUsage")
        info = json.loads(self.ok("-u", self.udid, "info", "--json").out)
        fields = record_fields("__IOS_DEVICE")
        self.assertEqual(list(info), [name for _, name, _ in fields] + ["Backend"],
                         "every field, in record order, then the backend the library bound")
        self.assertEqual(info["Backend"], BACKEND)

        described = self.farm.description(self.udid)
        lockdown, usage = described["Lockdown"], described["Domains"]["com.apple.disk_usage"]
        for kind, name, capacity in fields:
            value = info[name]
            if name in FLAGS:
                self.assertIsInstance(value, bool, name)
            elif kind == "wchar_t" or kind == "uint8_t":
                self.assertIsInstance(value, str, name)
            else:
                self.assertIs(type(value), int, name)
            if name in lockdown and kind == "wchar_t":
                expected = lockdown[name]
                if isinstance(expected, bytes):
                    expected = expected.decode("utf-8")
                elif isinstance(expected, int):
                    expected = str(expected)
                self.assertEqual(value, expected[:capacity - 1], name)
            elif name in lockdown and name in FLAGS:
                self.assertEqual(value, lockdown[name], name)
        self.assertEqual(info["UniqueChipID"], "18446744073709551615")
        self.assertEqual(info["ProximitySensorCalibration"],
                         (lockdown["ProximitySensorCalibration"] + bytes(48))[:48].hex())
        self.assertEqual(len(info["ProximitySensorCalibration"]), 96)
        for name in DISK_USAGE:
            self.assertEqual(info[name], usage.get(name, 0), name)
        self.assertEqual(info["TotalDataCapacity"], 9007199254740993)
        self.assertEqual(info["WebAppCacheUsage"], 0)
        for name in ("FSTotalBytes", "FSFreeBytes", "FSBlockSize", "Model"):
            self.assertEqual(info[name], described["AFCDeviceInfo"][name], name)
        self.assertEqual(info["UniqueDeviceID"], self.udid)
        self.assertIs(info["IsJailbroken"], "com.apple.afc2" in described["Services"])
        with open(self.farm.host_path(self.udid, "/Applications/Cydia.app/Info.plist"), "rb") as f:
            cydia = plistlib.load(f)
        self.assertEqual(info["CydiaVersion"], cydia["CFBundleVersion"])

        # The text form carries the same values, one field a line.
        text = self.ok("-u", self.udid, "info").out
        self.assertIn("DeviceName                             王小明的 iPhone\n", text)
        self.assertIn("TotalDataCapacity                      9007199254740993\n", text)
        self.assertIn("IsJailbroken                           yes\n", text)

    def test_battery_json_has_flags_as_booleans(self):
        battery = json.loads(self.ok("battery", "--json").out)
        domain = self.farm.description(self.udid)["Domains"]["com.apple.mobile.battery"]
        self.assertEqual(battery, {name: domain[name] for name in (
            "FullyCharged", "BatteryCurrentCapacity", "ExternalChargeCapable", "BatteryIsCharging",
            "ExternalConnected")})
        self.assertIs(type(battery["BatteryCurrentCapacity"]), int)

    def test_rename_takes_any_unicode_name(self):
        name = "测试设备 \U0001F600 №1"
        self.ok("rename", name)
        self.assertEqual(self.farm.description(self.udid)["Lockdown"]["DeviceName"], name)
        self.assertEqual(json.loads(self.ok("list", "--json").out)[0]["DeviceName"], name)
        self.ok("rename", "王小明的 iPhone")

    def test_apps_install_upgrade_uninstall(self):
        apps = json.loads(self.ok("apps", "--json").out)
        self.assertEqual(sorted(a["Identifier"] for a in apps),
                         sorted(self.farm.description(self.udid)["Applications"]))
        self.assertEqual(len(apps[0]["SubgenreIds"]), 20)

        ipa = os.path.join(self.work, "应用.ipa")
        write_ipa(ipa, "com.example.ctl", "1.0", "CtlDemo")
        installed = self.ok("install", ipa)
        self.assertRegex(installed.err, r"\d+% ", "progress lines on a redirected stderr")
        self.assertIn("installed", installed.err)
        apps = {a["Identifier"]: a for a in json.loads(self.ok("apps", "--json").out)}
        self.assertEqual(apps["com.example.ctl"]["Version"], "1.0")
        self.assertIs(apps["com.example.ctl"]["IsSystemApp"], False)
        self.assertRegex(self.ok("apps").out, r"\ncom\.example\.ctl +1\.0 +user +CtlDemo\n")

        write_ipa(ipa, "com.example.ctl", "1.1", "CtlDemo")
        quiet = self.ok("-q", "upgrade", ipa)
        self.assertEqual(quiet.err, "", "--quiet")
        apps = {a["Identifier"]: a for a in json.loads(self.ok("apps", "--json").out)}
        self.assertEqual(apps["com.example.ctl"]["Version"], "1.1")

        self.ok("uninstall", "com.example.ctl")
        apps = json.loads(self.ok("apps", "--json").out)
        self.assertNotIn("com.example.ctl", [a["Identifier"] for a in apps])

        refused = self.farm.ctl("uninstall", "com.apple.mobilesafari")
        self.assertEqual(refused.code, 1, refused)
        self.assertIn("软件卸载失败。", refused.err)

    def test_a_failed_call_shows_its_log_line_and_exits_1(self):
        self.farm.sim("fault", "--device", self.udid, "connect", "on")
        try:
            failed = self.farm.ctl("info", "--json")
        finally:
            self.farm.sim("fault", "--device", self.udid, "clear")
        self.assertEqual(failed.code, 1, failed)
        self.assertEqual(failed.out, "")
        self.assertIn("GetDeviceInfo returned 0", failed.err)
        log_lines = [line for line in failed.err.splitlines() if line.startswith("  log: ")]
        self.assertTrue(any(line.endswith(": 连接设备失败！") for line in log_lines), failed)
        # Each is a daily-log line: the local time, then the message.
        self.assertRegex(log_lines[0], r"^  log: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: ")

    def test_missing_local_files_fail_before_the_device_is_asked(self):
        for command in ("install", "upgrade", "profile", "ipa-info"):
            result = self.farm.ctl(command, os.path.join(self.work, "absent.ipa"))
            self.assertEqual(result.code, 1, result)
            self.assertIn("no such file", result.err)
        result = self.farm.ctl("profile", self.work)
        self.assertEqual(result.code, 1, result)
        self.assertIn("is a folder", result.err)

    def test_a_profile_installs(self):
        profile = os.path.join(self.work, "Team.mobileprovision")
        with open(profile, "wb") as f:
            f.write(plistlib.dumps({"UUID": "2F4D1C70-0000-4000-8000-000000000001", "Name": "Team"}))
        self.ok("profile", profile)


    def test_archives_and_profiles_in_awkwardly_named_folders(self):
        for n, folder in enumerate(["游戏 #2", "100% free", "a%20b", "emoji \U0001F600", "L" * 150 + " long"]):
            with self.subTest(folder=folder):
                where = os.path.join(self.work, folder)
                os.makedirs(where)
                ipa = os.path.join(where, "下载 #%d 100%%.ipa" % n)
                write_ipa(ipa, "com.example.awkward", "1.%d" % n, "Awkward")
                self.ok("install", ipa)
                write_ipa(ipa, "com.example.awkward", "2.%d" % n, "Awkward")
                self.ok("upgrade", ipa)
                apps = {a["Identifier"]: a for a in json.loads(self.ok("apps", "--json").out)}
                self.assertEqual(apps["com.example.awkward"]["Version"], "2.%d" % n)
                uuid = "2F4D1C70-0000-4000-8000-0000000001%02d" % n
                profile = os.path.join(where, "Team #1 100%.mobileprovision")
                with open(profile, "wb") as f:
                    f.write(plistlib.dumps({"UUID": uuid, "Name": "Team"}))
                self.ok("profile", profile)
                profiles = self.farm.description(self.udid)["ProvisioningProfiles"]
                self.assertIn(uuid, [p["UUID"] for p in profiles])
                self.ok("uninstall", "com.example.awkward")


@unittest.skipIf(BUILTIN, "runs in a prefix of its own: once is enough")
class NoVendorSoftware(unittest.TestCase):
    """orvexctl in a prefix of its own, without the vendor's software, or
    with a value library that lacks a name: it ends within seconds with one
    line saying why, never waiting on a message box nobody sees."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="orvexctl-prefix-")
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEARCH="win64" if EDITION == "64" else "win32",
                       WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run(["wineboot", "-i"], env=cls.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        # The tool as a user installs it: with the device library, away from
        # the stand-ins of the build folder (which it would load first).
        cls.tool = os.path.join(cls.prefix, "drive_c", "orvexctl")
        os.makedirs(cls.tool)
        for name in ("orvexctl.exe", "OrvexDevice.dll"):
            shutil.copy(os.path.join(BUILD, "bin", name), cls.tool)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, timeout=60)
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def run_ctl(self, *args):
        start = time.monotonic()
        process = subprocess.run(["wine", os.path.join(self.tool, "orvexctl.exe")] + list(args), env=self.env,
                                 capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        return process.returncode, process.stderr.decode("utf-8"), time.monotonic() - start

    def common_files(self):
        # The edition's own common files folder: in a 32-bit prefix the only
        # one, in a 64-bit prefix the 64-bit one.
        return os.path.join(self.prefix, "drive_c", "Program Files", "Common Files")

    def test_missing_software_is_named_and_a_box_is_read_not_waited_on(self):
        apple = os.path.join(self.common_files(), "Apple")
        shutil.rmtree(apple, ignore_errors=True)
        code, err, seconds = self.run_ctl("list")
        self.assertEqual(code, 1, err)
        self.assertRegex(err, r"device support for this (32|64)-bit edition is not installed; install iTunes")
        self.assertIn("orvexctl doctor", err)
        self.assertLess(seconds, 20)

        # A value library that lacks a name: the library shows a box, which
        # orvexctl closes at once and prints.
        support = os.path.join(apple, "Apple Application Support")
        device = os.path.join(apple, "Mobile Device Support")
        os.makedirs(support)
        os.makedirs(device)
        shutil.copy(os.path.join(BUILD, "bin", "variants", "cf-missing-function", "CoreFoundation.dll"), support)
        shutil.copy(os.path.join(BUILD, "bin", "iTunesMobileDevice.dll"), device)
        code, err, seconds = self.run_ctl("list")
        self.assertEqual(code, 1, err)
        self.assertIn("函数CFAllocatorGetContext未能加载", err)
        self.assertLess(seconds, 20)


class TwoDevices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.farm = Farm()
        cls.phone = cls.farm.create(IPHONE4S)
        cls.pad = cls.farm.create(IPAD2)

    @classmethod
    def tearDownClass(cls):
        cls.farm.close()

    def test_list_shows_both(self):
        result = self.farm.ctl("list", "--json")
        self.assertEqual(result.code, 0, result)
        listed = {d["UniqueDeviceID"]: d for d in json.loads(result.out)}
        self.assertEqual(set(listed), {self.phone, self.pad})
        self.assertIs(listed[self.pad]["IsJailbroken"], False)
        self.assertEqual(listed[self.pad]["ProductType"], "iPad2,5")

    def test_a_device_must_be_chosen(self):
        result = self.farm.ctl("info")
        self.assertEqual(result.code, 2, result)
        self.assertEqual(result.out, "")
        self.assertIn("2 devices are attached; choose one with -u UDID", result.err)
        self.assertIn("\n  " + self.phone, result.err)
        self.assertIn("\n  " + self.pad, result.err)

        chosen = self.farm.ctl("-u", self.pad, "info", "--json")
        self.assertEqual(chosen.code, 0, chosen)
        self.assertEqual(json.loads(chosen.out)["ProductType"], "iPad2,5")

        unknown = self.farm.ctl("-u", self.pad.upper(), "battery")
        self.assertEqual(unknown.code, 1, unknown)
        self.assertIn("device %s is not attached" % self.pad.upper(), unknown.err)

    def test_a_device_plugged_in_later_is_waited_for(self):
        late = self.farm.create(IPHONE4S, attach=False)
        try:
            gone = self.farm.ctl("-u", late, "battery")
            self.assertEqual(gone.code, 1, gone)
            self.farm.sim("attach", late)
            waited = self.farm.ctl("--wait", "10", "-u", late, "battery", "--json")
            self.assertEqual(waited.code, 0, waited)
        finally:
            self.farm.sim("remove", late)


class NoDevice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.farm = Farm()
        cls.work = tempfile.mkdtemp(prefix="orvexctl-work-")

    @classmethod
    def tearDownClass(cls):
        cls.farm.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_nothing_to_choose_from(self):
        listed = self.farm.ctl("list", "--json")
        self.assertEqual((listed.code, json.loads(listed.out)), (0, []), listed)
        result = self.farm.ctl("info")
        self.assertEqual(result.code, 1, result)
        self.assertIn("no device is attached", result.err)

    def test_ipa_info_needs_no_device(self):
        ipa = os.path.join(self.work, "Demo.ipa")
        subgenres = [{"genre": "休闲", "genreId": 7003}, {"genre": "Puzzle", "genreId": 7012}]
        write_ipa(ipa, "com.example.ipainfo", "2.5", "信息", {
            "itemId": 412345678, "artistName": "Example Ltd.", "artistId": 300001, "genre": "Games",
            "genreId": 6014, "kind": "software", "subgenres": subgenres, "softwareVersionExternalIdentifier": 9876,
            "releaseDate": "2012-06-25T07:00:00Z"})
        result = self.farm.ctl("ipa-info", ipa, "--json")
        self.assertEqual(result.code, 0, result)
        app = json.loads(result.out)
        self.assertEqual(list(app), [name for _, name, _ in record_fields("__IOS_APP")])
        expected = {"Identifier": "com.example.ipainfo", "Name": "信息", "Version": "2.5", "StoreId": "412345678",
                    "ArtistName": "Example Ltd.", "ArtistId": 300001, "Genre": "Games", "GenreId": 6014,
                    "Kind": "software", "Subgenres": "休闲,Puzzle", "SubgenreIds": [7003, 7012] + [0] * 18,
                    "ExternalVersionId": 9876, "ReleaseDate": "2012-06-25T07:00:00Z", "IsSystemApp": False}
        self.assertEqual({k: app[k] for k in expected}, expected)
        # The icon: a standard PNG in the icon cache, named after identifier and version.
        self.assertTrue(app["IconFile"].endswith("\\Tevrin\\AppIcons\\com.example.ipainfo_2.5.png"), app["IconFile"])
        with open(unix_path(app["IconFile"]), "rb") as f:
            self.assertEqual(f.read(8), ipa_fixtures.PNG_SIG)
        text = self.farm.ctl("ipa-info", ipa)
        self.assertIn("IconFile           " + app["IconFile"] + "\n", text.out)

        broken = os.path.join(self.work, "broken.ipa")
        with open(broken, "wb") as f:
            f.write(b"PK\x03\x04 not an archive")
        failed = self.farm.ctl("ipa-info", broken)
        self.assertEqual(failed.code, 1, failed)
        self.assertIn("IPA文件打开失败。", failed.err)


class Usage(unittest.TestCase):
    COMMANDS = ["list", "info", "battery", "rename", "apps", "install", "upgrade", "uninstall", "profile", "ls",
                "stat", "mkdir", "mv", "rm", "push", "pull", "ipa-info", "doctor"]

    def setUp(self):
        self.farm = Farm()

    def tearDown(self):
        self.farm.close()

    def test_help_names_every_command_and_each_has_examples(self):
        result = self.farm.ctl("--help")
        self.assertEqual(result.code, 0, result)
        listed = [line.split()[0] for line in result.out.split("Commands:\n")[1].split("\n\n")[0].splitlines()]
        self.assertEqual(listed, self.COMMANDS)
        for command in self.COMMANDS:
            for args in (["help", command], [command, "--help"]):
                result = self.farm.ctl(*args)
                self.assertEqual(result.code, 0, result)
                self.assertTrue(result.out.startswith("usage: orvexctl "), result)
                self.assertIn("\nExamples:\n  orvexctl ", result.out)

    def test_bad_usage_exits_2(self):
        for args in ([], ["frobnicate"], ["ls"], ["mv", "/a"], ["rename", "a", "b"], ["--wait", "x", "list"],
                     ["--colour", "list"], ["-u"], ["help", "frobnicate"]):
            result = self.farm.ctl(*args)
            self.assertEqual(result.code, 2, (args, result))
            self.assertEqual(result.out, "")
            self.assertTrue(result.err.startswith("orvexctl: "), result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
