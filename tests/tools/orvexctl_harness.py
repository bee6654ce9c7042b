"""Running orvexctl through its Linux wrapper against simulated device farms.

Each Farm is a fresh folder of its own, named to the stand-in device library
through DEVICESIM_FARM (the program itself reads no environment; only the
stand-in does) and managed with devicesim, so tests never share devices.

With ORVEX_TEST_BACKEND=builtin (the second run of these tests) the farm is
also served on the wire by `devicesim serve`, and orvexctl runs in the
edition's prefix without the vendor's software (ORVEX_NO_VENDOR=1), pointed
at that server: the library binds its built-in backend.
"""
import os
import plistlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ORVEX_BUILD", os.path.join(ROOT, "build"))
WRAPPER = os.path.join(ROOT, "scripts", "orvexctl")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
DEVICESIM = os.path.join(BUILD, "bin", "devicesim.exe")

# Whether this run tests the library's built-in backend (see above).
BUILTIN = os.environ.get("ORVEX_TEST_BACKEND") == "builtin"
# The backend that orvexctl info --json names in this run.
BACKEND = "built-in" if BUILTIN else "vendor"
PREFIX = os.environ.get("ORVEX_WINEPREFIX", os.path.join(BUILD, "wineprefix-builtin" if BUILTIN else "wineprefix"))

IPHONE4S = "iphone4s-jailbroken"
IPAD2 = "ipad2-stock"

# Every run is bounded: a hang fails the test instead of stopping the suite.
TIMEOUT = 60


def windows_path(path):
    """A Unix path as the prefix's programs see it (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unix_path(path):
    """A Windows path of the prefix (C:\\users\\...) as a Unix path."""
    drive, rest = path[0].lower(), path[2:].replace("\\", "/")
    return os.path.join(PREFIX, "dosdevices", drive + ":") + rest


class Result:
    def __init__(self, process):
        self.code = process.returncode
        self.out = process.stdout.decode("utf-8")
        self.err = process.stderr.decode("utf-8")

    def __repr__(self):
        return "exit %d\n--- stdout\n%s--- stderr\n%s" % (self.code, self.out, self.err)


class Farm:
    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="orvexctl-farm-")
        self.env = dict(os.environ, ORVEX_BUILD=BUILD, DEVICESIM_FARM=windows_path(self.folder))
        self.server = None
        if BUILTIN:
            self.env["ORVEX_NO_VENDOR"] = "1"
            sys.path.insert(0, os.path.join(ROOT, "tests", "sim", "wire"))
            import wire_harness  # noqa: E402 (it imports this module)
            self.server = wire_harness.Server(self)
            self.env = self.server.env

    def close(self):
        if self.server:
            self.server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def sim(self, *args):
        # Output through files: Wine's background processes, when this call
        # starts them, would hold a pipe open for seconds.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([WINE_RUN, DEVICESIM, "--farm", windows_path(self.folder)] + list(args),
                                  env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=TIMEOUT).returncode
            out.seek(0)
            err.seek(0)
            if code != 0:
                raise AssertionError("devicesim %s: %s" % (" ".join(args), err.read().decode("utf-8")))
            return out.read().decode("utf-8")

    def create(self, template, attach=True):
        return self.sim("create", "--template", template, *(["--attach"] if attach else [])).strip()

    def description(self, udid):
        return plistlib.loads(self.sim("show", udid).encode("utf-8"))

    def host_path(self, udid, device_path):
        """The farm's file behind a device path (no links on the way)."""
        return os.path.join(self.folder, udid, "root", device_path.lstrip("/"))

    def ctl(self, *args):
        """Runs the wrapper as a user's script does, reading its output through pipes.

        orvexctl never fails without a word. Once in CI, under load, a run
        ended with exit 1 and no output at all (the cause was not found): such
        a run is said on stderr and made once more, so that a fault of the
        tool, which prints its reason, still fails the test."""
        for attempt in range(2):
            process = subprocess.run([WRAPPER] + list(args), env=self.env, capture_output=True, timeout=TIMEOUT,
                                     stdin=subprocess.DEVNULL)
            result = Result(process)
            if result.code == 0 or result.out or result.err or attempt == 1:
                return result
            sys.stderr.write("orvexctl %s: exit %d with no output; running it once more\n"
                             % (" ".join(args), result.code))
        return result


def record_fields(record):
    """(type, name, capacity) of each field of a record in the public header, in order."""
    with open(os.path.join(ROOT, "device", "OrvexDevice.h"), encoding="utf-8") as f:
        header = f.read()
    body = re.search(r"struct %s \{(.*?)\n\};" % re.escape(record), header, re.S).group(1)
    return [(m.group(1), m.group(2), int(m.group(4)) if m.group(4) else None)
            for m in re.finditer(r"^\s*(\w+) (\w+)(\[(\d+)\])?;", body, re.M)]
