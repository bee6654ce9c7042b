#!/usr/bin/python3
"""orvexctl doctor, and the device library's search behind it, in a Wine
prefix of the test's own laid out as each kind of the vendor's installation
leaves a PC: folders, registry values and package-repository entries, with
the stand-ins under the names each kind uses. For each kind: what doctor
says (text and JSON), and that a command binds the libraries from the place
doctor names, as the daily log says.
"""
import glob
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from orvexctl_harness import BUILD  # noqa: E402

EDITION = int(os.environ.get("ORVEX_EDITION", "32"))
OTHER = 64 if EDITION == 32 else 32
OWN_AMDS = "AMDS%d" % EDITION
OTHER_AMDS = "AMDS%d" % OTHER
BIN = os.path.join(BUILD, "bin")


def project_version():
    """The project's version as a file version: the stand-ins carry it."""
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                           "CMakeLists.txt"), encoding="utf-8") as f:
        for line in f:
            match = re.match(r"project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)", line)
            if match:
                return "%s.%s.%s.0" % match.groups()
    raise AssertionError("no project version")


VERSION = project_version()

SHARED = r"HKEY_LOCAL_MACHINE\SOFTWARE\Apple Inc.\Apple Mobile Device Support\Shared"
SUPPORT_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Apple Inc.\Apple Application Support"
REPOSITORY = (r"HKEY_LOCAL_MACHINE\Software\Classes\Local Settings\Software\Microsoft\Windows\CurrentVersion"
              r"\AppModel\PackageRepository\Packages")
MEDIA_PLAYER = "AppleInc.iTunes_12.13.2.3_x64__nzyj5cx40ttqa"
APPLE_DEVICES = "AppleInc.AppleDevices_1.0.5.0_x64__nzyj5cx40ttqa"

RULE = "common files: Apple Application Support and Mobile Device Support"
NEWER = "common files: Mobile Device Support"
STORE_PLAYER = "iTunes from the Microsoft Store"
STORE_DEVICES = "Apple Devices from the Microsoft Store"


def stand_in(name, bits=EDITION):
    """A stand-in's bytes; for the other bitness its header names the other machine."""
    with open(os.path.join(BIN, name), "rb") as f:
        data = bytearray(f.read())
    if bits != EDITION:
        header = struct.unpack_from("<I", data, 0x3C)[0]
        struct.pack_into("<H", data, header + 4, 0x8664 if bits == 64 else 0x14C)
    return bytes(data)


class Multiplexer:
    """A device multiplexer of the test's on loopback: it answers every
    ListDevices request with `devices` devices."""

    def __init__(self, devices):
        self.devices = devices
        self.requests = []
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(4)
        self.server.settimeout(0.2)
        self.address = "127.0.0.1:%d" % self.server.getsockname()[1]
        self.stop = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stop:
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(5)
                data = b""
                while len(data) < 16 or len(data) < struct.unpack_from("<I", data)[0]:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                if len(data) < 16:
                    continue
                length, version, message, tag = struct.unpack_from("<4I", data)
                self.requests.append((version, message, data[16:length].decode("utf-8")))
                entries = "".join(
                    "<dict><key>DeviceID</key><integer>%d</integer><key>MessageType</key><string>Attached</string>"
                    "<key>Properties</key><dict><key>SerialNumber</key><string>%040d</string></dict></dict>"
                    % (i + 1, i + 1) for i in range(self.devices))
                body = ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>DeviceList</key>'
                        "<array>%s</array></dict></plist>\n" % entries).encode("utf-8")
                conn.sendall(struct.pack("<4I", 16 + len(body), 1, 8, tag) + body)

    def close(self):
        self.stop = True
        self.thread.join()
        self.server.close()


class Installations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="orvexctl-doctor-")
        cls.farm = tempfile.mkdtemp(prefix="orvexctl-doctor-farm-")
        # No multiplexer unless a test starts one: a port nothing listens on.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            cls.closed_port = s.getsockname()[1]
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEARCH="win64" if EDITION == 64 else "win32",
                       WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                       DEVICESIM_FARM="Z:" + cls.farm.replace("/", "\\"),
                       USBMUXD_SOCKET_ADDRESS="127.0.0.1:%d" % cls.closed_port)
        subprocess.run(["wineboot", "-i"], env=cls.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        cls.drive = os.path.join(cls.prefix, "drive_c")
        # A documents folder of the prefix's own: Wine links it to the
        # user's, whose daily log other tests write meanwhile.
        for folder in glob.glob(os.path.join(cls.drive, "users", "*", "*")):
            if os.path.islink(folder):
                os.unlink(folder)
                os.makedirs(folder)
        cls.tool = os.path.join(cls.drive, "orvexctl")
        os.makedirs(cls.tool)
        for name in ("orvexctl.exe", "OrvexDevice.dll"):
            shutil.copy(os.path.join(BIN, name), cls.tool)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, timeout=60)
        shutil.rmtree(cls.prefix, ignore_errors=True)
        shutil.rmtree(cls.farm, ignore_errors=True)

    def setUp(self):
        # A PC without any of the vendor's software.
        for folder in ("Program Files/Common Files/Apple", "Program Files/WindowsApps", "Program Files/Apple 设备",
                       "Program Files/iTunes"):
            shutil.rmtree(os.path.join(self.drive, folder), ignore_errors=True)
        self.regedit("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.]\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Computer, Inc.]\n"
                     "[-%s]\n" % REPOSITORY)

    # ---- the prefix ----------------------------------------------------------------

    def run_wine(self, *args, env=None):
        return subprocess.run(["wine"] + list(args), env=env or self.env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)

    def regedit(self, body):
        with tempfile.NamedTemporaryFile("wb", suffix=".reg", dir=self.drive, delete=False) as f:
            f.write(("Windows Registry Editor Version 5.00\r\n\r\n" + body.replace("\n", "\r\n")).encode("utf-16"))
            name = f.name
        try:
            self.run_wine("regedit", "/S", "C:\\" + os.path.basename(name))
        finally:
            os.unlink(name)

    def publish(self, key, value, text):
        escaped = text.replace("\\", "\\\\")
        self.regedit('[%s]\n"%s"="%s"\n' % (key, value, escaped))

    def unix(self, windows_path):
        return os.path.join(self.drive, windows_path[3:].replace("\\", "/"))

    def place(self, windows_path, name, bits=EDITION):
        path = self.unix(windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(stand_in(name, bits))
        return windows_path

    def common(self, rest):
        return "C:\\Program Files\\Common Files\\Apple\\" + rest

    # Each kind of installation; each returns (device library, value library).

    def rule(self):
        return (self.place(self.common("Mobile Device Support\\iTunesMobileDevice.dll"), "iTunesMobileDevice.dll"),
                self.place(self.common("Apple Application Support\\CoreFoundation.dll"), "CoreFoundation.dll"))

    def registry(self):
        folder = "C:\\Program Files\\Apple 设备\\Mobile Device Support"
        device = self.place(folder + "\\MobileDevice.dll", "iTunesMobileDevice.dll")
        value = self.place(folder + "\\CoreFoundation.dll", "CoreFoundation.dll")
        self.publish(SHARED, "MobileDeviceDLL", device)
        return device, value

    def newer(self, value_beside=True):
        device = self.place(self.common("Mobile Device Support\\MobileDevice.dll"), "iTunesMobileDevice.dll")
        if not value_beside:
            return device, None
        return device, self.place(self.common("Mobile Device Support\\CoreFoundation.dll"), "CoreFoundation.dll")

    def package(self, full_name):
        folder = "C:\\Program Files\\WindowsApps\\" + full_name
        self.publish(REPOSITORY + "\\" + full_name, "Path", folder)
        return folder

    def media_player(self):
        folder = self.package(MEDIA_PLAYER)
        device = self.place(folder + "\\%s\\MobileDevice.dll" % OWN_AMDS, "iTunesMobileDevice.dll")
        value_folder = ("VFS\\ProgramFilesCommonX86\\Apple\\Apple Application Support" if EDITION == 32
                        else OWN_AMDS)
        value = self.place(folder + "\\%s\\CoreFoundation.dll" % value_folder, "CoreFoundation.dll")
        return device, value

    def apple_devices(self):
        folder = self.package(APPLE_DEVICES)
        return (self.place(folder + "\\MobileDevice.dll", "iTunesMobileDevice.dll"),
                self.place(folder + "\\CoreFoundation.dll", "CoreFoundation.dll"))

    # ---- running the tool ----------------------------------------------------------

    def ctl(self, *args, env=None):
        # orvexctl never ends without a word; a run under Wine that does (seen
        # under load, as in orvexctl_harness.py) is said on stderr and made
        # once more, so that a fault of the tool, which prints its reason,
        # still fails the test.
        for attempt in range(2):
            process = self.run_wine(os.path.join(self.tool, "orvexctl.exe"), *args, env=env)
            out, err = process.stdout.decode("utf-8"), process.stderr.decode("utf-8")
            if out or err or attempt == 1:
                return process.returncode, out, err
            sys.stderr.write("orvexctl %s: exit %d with no output; running it once more\n"
                             % (" ".join(args), process.returncode))
        return process.returncode, out, err

    def doctor(self, env=None):
        code, out, err = self.ctl("doctor", "--json", env=env)
        self.assertIn(code, (0, 1), err)
        report = json.loads(out)
        self.assertEqual(report["edition"], EDITION)
        self.assertEqual(code, 0 if report["chosen"] is not None or report["multiplexer"]["answers"] else 1)
        self.assertEqual(report["backend"], "vendor" if report["chosen"] is not None
                         else "built-in" if report["multiplexer"]["answers"] else None)
        return report

    def chosen(self, report):
        self.assertIsNotNone(report["chosen"], json.dumps(report, indent=1, ensure_ascii=False))
        return report["candidates"][report["chosen"]]

    def logs(self):
        # (the documents folder may be reached by several links)
        found = {}
        for path in glob.glob(os.path.join(self.drive, "users", "*", "*", "Tevrin", "Logs", "*.log")):
            with open(path, "rb") as f:
                found[os.path.realpath(path)] = f.read()
        return found

    def bind_and_read_log(self):
        """Runs a command that binds the libraries; the log lines it added."""
        before = self.logs()
        code, out, err = self.ctl("list")
        self.assertEqual(code, 0, err)
        lines = []
        for path, data in self.logs().items():
            lines += data[len(before.get(path, b"")):].decode("utf-8").splitlines()
        return lines

    def expect_used(self, label, device, value):
        report = self.doctor()
        candidate = self.chosen(report)
        self.assertTrue(candidate["label"].startswith(label), candidate)
        self.assertEqual(candidate["status"], "found")
        self.assertEqual(candidate["deviceLibrary"].lower(), device.lower())
        self.assertEqual(candidate["valueLibrary"].lower(), value.lower())
        self.assertFalse(report["wrongBitnessSeen"])
        for library in report["libraries"]:
            self.assertEqual((library["bits"], library["version"], library["wrongBitness"]),
                             (EDITION, VERSION, False), library)
        lines = self.bind_and_read_log()
        used = [line for line in lines if "厂商库来自" in line]
        self.assertEqual(len(used), 1, lines)
        self.assertIn(label, used[0])
        self.assertIn(device.lower(), used[0].lower())
        self.assertIn(value.lower(), used[0].lower())
        return report

    # ---- the cases -----------------------------------------------------------------

    def test_each_kind_is_found_and_used(self):
        for name, lay, label in [("rule", self.rule, RULE), ("registry", self.registry, "registry MobileDeviceDLL"),
                                 ("newer common files", self.newer, NEWER),
                                 ("media player package", self.media_player, STORE_PLAYER),
                                 ("Apple Devices package", self.apple_devices, STORE_DEVICES)]:
            with self.subTest(name):
                self.setUp()
                device, value = lay()
                self.expect_used(label, device, value)

    def test_the_right_one_wins_when_several_exist(self):
        self.expect_used(STORE_DEVICES, *self.apple_devices())
        self.expect_used(STORE_PLAYER, *self.media_player())
        self.expect_used(NEWER, *self.newer())
        self.expect_used("registry MobileDeviceDLL", *self.registry())
        report = self.expect_used(RULE, *self.rule())
        found = [c["label"] for c in report["candidates"] if c["status"] == "found"]
        self.assertEqual(len(found), 5, found)

    def test_nothing_installed(self):
        code, out, err = self.ctl("doctor")
        self.assertEqual(code, 1, err)
        self.assertIn("The device library would use: nothing (none found)", out)
        self.assertIn("Libraries found:\n  none", out)
        self.assertIn("does not answer", out)
        self.assertRegex(out, r"Advice: No vendor device support for this %d-bit edition: install iTunes" % EDITION)
        report = self.doctor()
        self.assertIsNone(report["chosen"])
        self.assertEqual(report["libraries"], [])
        self.assertTrue(all(c["status"] == "missing" for c in report["candidates"]), report["candidates"])
        # A command that needs the libraries says so and points at doctor.
        code, out, err = self.ctl("list")
        self.assertEqual(code, 1)
        self.assertIn("orvexctl doctor", err)

    def test_a_published_path_to_a_missing_file(self):
        self.publish(SHARED, "MobileDeviceDLL", "C:\\Program Files\\Gone\\MobileDevice.dll")
        report = self.doctor()
        self.assertIsNone(report["chosen"])
        # (in a 64-bit prefix, in whichever registry view regedit wrote it)
        published = [c for c in report["candidates"]
                     if c["label"].startswith("registry MobileDeviceDLL") and c["status"] != "missing"]
        self.assertEqual(len(published), 1, report["candidates"])
        published = published[0]
        self.assertEqual(published["status"], "published file missing")
        self.assertEqual(published["place"], "C:\\Program Files\\Gone\\MobileDevice.dll")
        self.expect_used(STORE_PLAYER, *self.media_player())

    def test_mobile_device_without_a_value_library(self):
        device, _ = self.newer(value_beside=False)
        report = self.doctor()
        self.assertIsNone(report["chosen"])
        newer = [c for c in report["candidates"] if c["label"] == NEWER][0]
        self.assertEqual(newer["status"], "no CoreFoundation.dll")
        self.assertEqual(newer["deviceLibrary"], device)
        # The media player's folder, published, holds it.
        value = self.place("C:\\Program Files\\iTunes\\CoreFoundation.dll", "CoreFoundation.dll")
        self.publish(r"HKEY_LOCAL_MACHINE\SOFTWARE\Apple Computer, Inc.\iTunes", "InstallDir",
                     "C:\\Program Files\\iTunes\\")
        self.expect_used(NEWER, device, value)

    def test_a_library_of_the_wrong_bitness_is_refused(self):
        device = self.place(self.common("Mobile Device Support\\MobileDevice.dll"), "iTunesMobileDevice.dll", OTHER)
        self.place(self.common("Mobile Device Support\\CoreFoundation.dll"), "CoreFoundation.dll", OTHER)
        code, out, err = self.ctl("doctor")
        self.assertEqual(code, 1, err)
        self.assertIn("%d-bit, version" % OTHER, out)
        self.assertIn("WRONG BITNESS", out)
        self.assertIn("Advice: Only %d-bit vendor libraries were found: use the %d-bit edition" % (OTHER, OTHER), out)
        report = self.doctor()
        self.assertTrue(report["wrongBitnessSeen"])
        self.assertEqual([(lib["path"], lib["bits"], lib["wrongBitness"]) for lib in report["libraries"]],
                         [(device, OTHER, True)])
        # With a usable installation besides, that one is used and the
        # refusal is a line of the daily log.
        self.media_player()
        report = self.doctor()
        self.assertEqual(self.chosen(report)["label"], STORE_PLAYER + ", " + OWN_AMDS)
        self.assertTrue(report["wrongBitnessSeen"])
        lines = self.bind_and_read_log()
        refused = [line for line in lines if "位数不符" in line]
        self.assertEqual(len(refused), 1, lines)
        self.assertIn(device, refused[0])
        self.assertIn("%d-bit" % OTHER, refused[0])

    def test_the_other_editions_folder_of_a_package(self):
        folder = self.package(MEDIA_PLAYER)
        self.place(folder + "\\%s\\MobileDevice.dll" % OTHER_AMDS, "iTunesMobileDevice.dll", OTHER)
        self.place(folder + "\\%s\\CoreFoundation.dll" % OTHER_AMDS, "CoreFoundation.dll", OTHER)
        report = self.doctor()
        self.assertIsNone(report["chosen"])
        statuses = {c["label"]: c["status"] for c in report["candidates"]}
        self.assertEqual(statuses[STORE_PLAYER + ", " + OTHER_AMDS], "wrong bitness")
        self.assertEqual(statuses[STORE_PLAYER + ", " + OWN_AMDS], "missing")
        self.assertEqual(statuses[STORE_DEVICES], "missing")

    def test_the_multiplexer_is_asked_for_its_devices(self):
        self.rule()
        mux = Multiplexer(devices=2)
        try:
            env = dict(self.env, USBMUXD_SOCKET_ADDRESS=mux.address)
            report = self.doctor(env)
            self.assertEqual(report["multiplexer"],
                             {"address": mux.address, "answers": True, "devices": 2, "problem": None})
            self.assertEqual(report["advice"], "All in place.")
            code, out, err = self.ctl("doctor", env=env)
            self.assertEqual(code, 0, err)
            self.assertIn("Device multiplexer at %s: answers, 2 devices attached" % mux.address, out)
            version, message, body = mux.requests[0]
            self.assertEqual((version, message), (1, 8))
            self.assertIn("<string>ListDevices</string>", body)
        finally:
            mux.close()
        start = time.monotonic()
        report = self.doctor()
        self.assertFalse(report["multiplexer"]["answers"])
        self.assertIn("does not answer", report["advice"])
        self.assertLess(time.monotonic() - start, 20)
        env = dict(self.env)
        env.pop("USBMUXD_SOCKET_ADDRESS")
        self.assertEqual(self.doctor(env)["multiplexer"]["address"], "127.0.0.1:27015")

        # Without any vendor library, an answering multiplexer is what the
        # device library uses: its built-in backend.
        self.setUp()
        mux = Multiplexer(devices=0)
        try:
            env = dict(self.env, USBMUXD_SOCKET_ADDRESS=mux.address)
            report = self.doctor(env)
            self.assertEqual(report["backend"], "built-in")
            self.assertIn("built-in backend", report["advice"])
            self.assertIn("No device is attached", report["advice"])
            code, out, err = self.ctl("doctor", env=env)
            self.assertEqual(code, 0, err)
            self.assertIn("The device library would use: its built-in backend, over the device multiplexer at "
                          + mux.address, out)
        finally:
            mux.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
