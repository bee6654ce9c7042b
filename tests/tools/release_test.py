#!/usr/bin/python3
"""The release kits (scripts/release.sh), made from the built editions into
a temporary folder: what each archive holds, the checksums, the import
libraries' names, the SDK's sample built from the unpacked kit alone and run
against a simulated device, and the optional Authenticode signature."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from orvexctl_harness import BUILD, IPHONE4S, ROOT, Farm, windows_path  # noqa: E402

EDITION = os.environ.get("ORVEX_EDITION", "32")
EDITIONS = {"win32": ("1", "i686-w64-mingw32"), "win64": ("2", "x86_64-w64-mingw32")}
RUNS_HERE = "win64" if EDITION == "64" else "win32"


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(InstallOrvex VERSION ([0-9.]+) ", f.read(), re.M).group(1)


def decorated_names(column):
    with open(os.path.join(ROOT, "device", "OrvexDeviceExports.h"), encoding="utf-8") as f:
        names = re.findall(r'"(\?[^"]+)"', f.read())
    return sorted(names[int(column) - 1::2])


def run(command, **kwargs):
    process = subprocess.run(command, capture_output=True, timeout=300, stdin=subprocess.DEVNULL, **kwargs)
    return process.returncode, process.stdout.decode("utf-8", "replace") + process.stderr.decode("utf-8", "replace")


class ReleaseKits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="orvex-release-")
        cls.version = version()
        cls.dist = os.path.join(cls.work, "dist")
        code, output = run([os.path.join(ROOT, "scripts", "release.sh"), "--no-build", "--out", cls.dist])
        assert code == 0, output

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def unpack(self, archive, name):
        folder = os.path.join(self.work, name)
        if not os.path.isdir(folder):
            with zipfile.ZipFile(os.path.join(self.dist, archive)) as z:
                z.extractall(folder)
        return folder

    def test_each_archive_holds_exactly_its_files_and_the_checksums_match(self):
        v = self.version
        expected = {"SHA256SUMS"}
        for edition in EDITIONS:
            expected |= {"OrvexDevice-sdk-%s-%s.zip" % (v, edition), "InstallOrvex-%s-%s.zip" % (v, edition)}
        self.assertEqual(set(os.listdir(self.dist)), expected)
        for edition in EDITIONS:
            with zipfile.ZipFile(os.path.join(self.dist, "OrvexDevice-sdk-%s-%s.zip" % (v, edition))) as z:
                self.assertEqual(sorted(z.namelist()), [
                    "README.md", "bin/OrvexDevice.dll", "include/OrvexDevice.h", "lib/OrvexDevice.lib",
                    "lib/libOrvexDevice.dll.a", "samples/CMakeLists.txt", "samples/list_and_copy.cpp"])
                self.assertIn("(%s)" % edition, z.read("README.md").decode("utf-8"))
            with zipfile.ZipFile(os.path.join(self.dist, "InstallOrvex-%s-%s.zip" % (v, edition))) as z:
                self.assertEqual(sorted(z.namelist()),
                                 ["InstallOrvex.exe", "OrvexDevice.dll", "README.txt", "orvexctl.exe"])
                readme = z.read("README.txt").decode("utf-8")
                self.assertIn("中文", readme)
                self.assertIn("English", readme)
        with open(os.path.join(self.dist, "SHA256SUMS"), encoding="utf-8") as f:
            sums = dict(reversed(line.split("  ")) for line in f.read().splitlines())
        self.assertEqual(set(sums), expected - {"SHA256SUMS"})
        for name, digest in sums.items():
            with open(os.path.join(self.dist, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)

    def test_the_import_library_for_microsofts_linker_holds_exactly_the_23_names(self):
        for edition, (column, triple) in EDITIONS.items():
            with self.subTest(edition=edition):
                sdk = self.unpack("OrvexDevice-sdk-%s-%s.zip" % (self.version, edition), "sdk-" + edition)
                code, output = run([triple + "-nm", os.path.join(sdk, "lib", "OrvexDevice.lib")])
                self.assertEqual(code, 0, output)
                code_symbols = sorted(m.group(1) for m in re.finditer(r" T (\S+)$", output, re.M))
                imports = sorted(m.group(1) for m in re.finditer(r" I __imp_(\S+)$", output, re.M))
                self.assertEqual(code_symbols, decorated_names(column))
                self.assertEqual(imports, decorated_names(column))

    def build_from_kit(self, edition, source_folder, name):
        """Configures and builds a CMake project of the kit with MinGW alone."""
        triple = EDITIONS[edition][1]
        build = os.path.join(self.work, name)
        code, output = run(["cmake", "-S", source_folder, "-B", build, "-G", "Ninja", "-DCMAKE_SYSTEM_NAME=Windows",
                            "-DCMAKE_CXX_COMPILER=%s-g++-posix" % triple, "-DCMAKE_RC_COMPILER=%s-windres" % triple])
        self.assertEqual(code, 0, output)
        code, output = run(["cmake", "--build", build])
        self.assertEqual(code, 0, output)
        return build

    def test_every_declaration_links_through_the_mingw_import_library(self):
        # A program taking the address of all 23 functions: it links only if
        # the import library has GCC's name of each, and it starts only if
        # each imported name is one the DLL exports.
        with open(os.path.join(ROOT, "device", "OrvexDeviceExports.h"), encoding="utf-8") as f:
            functions = re.findall(r"X\((\w+), \"\?", f.read())
        self.assertEqual(len(functions), 23)
        for edition in EDITIONS:
            with self.subTest(edition=edition):
                sdk = self.unpack("OrvexDevice-sdk-%s-%s.zip" % (self.version, edition), "sdk-" + edition)
                source = os.path.join(self.work, "all-" + edition)
                os.makedirs(source, exist_ok=True)
                with open(os.path.join(source, "all.cpp"), "w", encoding="utf-8") as f:
                    f.write('#include "OrvexDevice.h"\n#include <cstdio>\nint main() {\n'
                            '    const void* all[] = {%s};\n    int n = 0;\n'
                            '    for (const void* p : all) n += p != nullptr;\n'
                            '    std::printf("%%d\\n", n);\n    return n == 23 ? 0 : 1;\n}\n'
                            % ", ".join("reinterpret_cast<const void*>(&%s)" % f for f in functions))
                with open(os.path.join(source, "CMakeLists.txt"), "w", encoding="utf-8") as f:
                    f.write("cmake_minimum_required(VERSION 3.15)\nproject(All CXX)\nadd_executable(every_export all.cpp)\n"
                            "target_include_directories(every_export PRIVATE %s/include)\n"
                            "target_link_libraries(every_export PRIVATE %s/lib/libOrvexDevice.dll.a)\n"
                            "target_link_options(every_export PRIVATE -static)\n" % (sdk, sdk))
                build = self.build_from_kit(edition, source, "all-build-" + edition)
                if edition == RUNS_HERE:
                    shutil.copy(os.path.join(sdk, "bin", "OrvexDevice.dll"), build)
                    code, output = run([os.path.join(ROOT, "scripts", "wine-run"), os.path.join(build, "every_export.exe")],
                                       env=dict(os.environ, ORVEX_BUILD=BUILD))
                    self.assertEqual(code, 0, output)
                    self.assertIn("23", output)

    def test_the_sample_builds_from_the_unpacked_kit_and_copies_a_file_to_a_device(self):
        for edition in EDITIONS:
            with self.subTest(edition=edition):
                sdk = self.unpack("OrvexDevice-sdk-%s-%s.zip" % (self.version, edition), "sdk-" + edition)
                build = self.build_from_kit(edition, os.path.join(sdk, "samples"), "sample-" + edition)
                self.assertTrue(os.path.isfile(os.path.join(build, "OrvexDevice.dll")))
                if edition != RUNS_HERE:
                    continue
                farm = Farm()
                try:
                    udid = farm.create(IPHONE4S)
                    local = os.path.join(self.work, "hello from the sample.txt")
                    with open(local, "w", encoding="utf-8") as f:
                        f.write("hello")
                    code, output = run([os.path.join(ROOT, "scripts", "wine-run"),
                                        os.path.join(build, "orvex_sample.exe"), windows_path(local),
                                        "/var/mobile/Media"], env=farm.env)
                    self.assertEqual(code, 0, output)
                    self.assertIn("1 device(s) attached", output)
                    self.assertIn(udid, output)
                    self.assertIn("model: iPhone4,1", output)
                    copied = farm.host_path(udid, "/private/var/mobile/Media/hello from the sample.txt")
                    with open(copied, encoding="utf-8") as f:
                        self.assertEqual(f.read(), "hello")
                finally:
                    farm.close()

    @unittest.skipIf(shutil.which("osslsigncode") is None, "osslsigncode is not installed")
    def test_binaries_are_signed_only_when_a_certificate_is_given(self):
        key, cert = os.path.join(self.work, "key.pem"), os.path.join(self.work, "cert.pem")
        code, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                            "-days", "2", "-subj", "/CN=Orvex release test"])
        self.assertEqual(code, 0, output)
        signed = os.path.join(self.work, "dist-signed")
        code, output = run([os.path.join(ROOT, "scripts", "release.sh"), "--no-build", "--out", signed],
                           env=dict(os.environ, ORVEX_SIGN_CERT=cert, ORVEX_SIGN_KEY=key))
        self.assertEqual(code, 0, output)
        for kit, folder in (("signed", signed), ("unsigned", self.dist)):
            archive = os.path.join(folder, "InstallOrvex-%s-%s.zip" % (self.version, RUNS_HERE))
            unpacked = os.path.join(self.work, "kit-%s" % kit)
            with zipfile.ZipFile(archive) as z:
                z.extractall(unpacked)
            for binary in ("InstallOrvex.exe", "orvexctl.exe", "OrvexDevice.dll"):
                code, output = run(["osslsigncode", "verify", "-CAfile", cert, "-in",
                                    os.path.join(unpacked, binary)])
                if kit == "signed":
                    self.assertEqual(code, 0, output)
                    self.assertIn("Signature verification: ok", output)
                else:
                    self.assertNotEqual(code, 0, output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
