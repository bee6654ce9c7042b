#!/usr/bin/python3
"""The release kits (scripts/release.sh), made from the built editions into
a temporary folder: what each archive holds, the checksums, the import
libraries' format and names, a caller of every function built from the
unpacked kit with MinGW and with a Microsoft-ABI compiler and linker, the
SDK's sample built from the unpacked kit alone and run against a simulated
device, and the optional Authenticode signature."""
import hashlib
import os
import re
import shutil
import struct
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
# Microsoft's ABI per edition: clang's target, lld-link's machine and its
# options beyond the common ones, the COFF machine number, dlltool's machine.
MSVC = {"win32": ("i686-pc-windows-msvc", "x86", ["/safeseh"], 0x14C, "i386"),
        "win64": ("x86_64-pc-windows-msvc", "x64", [], 0x8664, "i386:x86-64")}


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(InstallOrvex VERSION ([0-9.]+) ", f.read(), re.M).group(1)


def decorated_names(column):
    with open(os.path.join(ROOT, "device", "OrvexDeviceExports.h"), encoding="utf-8") as f:
        names = re.findall(r'"(\?[^"]+)"', f.read())
    return sorted(names[int(column) - 1::2])


def every_function():
    """The names of the 23 declarations of OrvexDevice.h, in its order."""
    with open(os.path.join(ROOT, "device", "OrvexDeviceExports.h"), encoding="utf-8") as f:
        return re.findall(r"X\((\w+), \"\?", f.read())


def archive_members(path):
    """The members of an ar archive, but for the symbol and name tables."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"!<arch>\n", path
    members, at = [], 8
    while at < len(data):
        name, size = data[at:at + 16].decode("ascii").rstrip(), int(data[at + 48:at + 58])
        if name not in ("/", "//"):
            members.append(data[at + 60:at + 60 + size])
        at += 60 + size + (size & 1)
    return members


SHORT_IMPORT = b"\0\0\xff\xff"


def short_import(member):
    """(machine, import type, name type, symbol, DLL) of a member in the
    short import format."""
    machine, type_bits = struct.unpack_from("<6xH10xH", member)
    symbol, dll = member[20:].split(b"\0")[:2]
    return machine, type_bits & 3, (type_bits >> 2) & 7, symbol.decode("ascii"), dll.decode("ascii")


def readobj_names(option, path, field):
    """The names llvm-readobj lists for a PE file (--coff-imports: per DLL)."""
    code, output = run(["llvm-readobj-14", option, path])
    assert code == 0, output
    names, dll = {}, None
    for line in output.splitlines():
        line = line.strip()
        if option == "--coff-imports" and line.startswith("Name: "):
            dll = line[len("Name: "):]
        elif line.startswith(field + ": "):
            names.setdefault(dll, []).append(re.sub(r" \(\d+\)$", "", line[len(field) + 2:]))
    return names


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

    def test_the_import_library_for_microsofts_linker_is_in_the_short_format_with_exactly_the_23_names(self):
        # lib.exe's layout: one short import per name (function, imported
        # under the name as it is) and three objects (the import descriptor
        # and the two terminators).
        for edition, (column, _) in EDITIONS.items():
            with self.subTest(edition=edition):
                sdk = self.unpack("OrvexDevice-sdk-%s-%s.zip" % (self.version, edition), "sdk-" + edition)
                members = archive_members(os.path.join(sdk, "lib", "OrvexDevice.lib"))
                shorts = [short_import(m) for m in members if m.startswith(SHORT_IMPORT)]
                self.assertEqual(len(members) - len(shorts), 3)
                self.assertEqual(sorted(s[3] for s in shorts), decorated_names(column))
                machine = MSVC[edition][3]
                self.assertEqual({s[:3] + s[4:] for s in shorts}, {(machine, 0, 1, "OrvexDevice.dll")})

    def build_msvc_caller(self, edition, sdk):
        """msvc_caller.cpp compiled with clang for Microsoft's ABI from the
        kit's header and linked by lld-link against the kit's OrvexDevice.lib,
        without a C runtime."""
        target, machine, options, _, dlltool_machine = MSVC[edition]
        folder = os.path.join(self.work, "msvc-" + edition)
        crt = os.path.join(folder, "crt")
        os.makedirs(crt, exist_ok=True)
        # Visual Studio's C runtime headers are not here; OrvexDevice.h needs
        # wchar.h for nothing C++ lacks.
        with open(os.path.join(crt, "wchar.h"), "w", encoding="utf-8") as f:
            f.write("#pragma once\n")
        with open(os.path.join(folder, "every_function.inc"), "w", encoding="utf-8") as f:
            f.writelines("reinterpret_cast<const void*>(&%s),\n" % name for name in every_function())
        # kernel32's two functions the caller needs, __stdcall on x86.
        kernel32 = os.path.join(folder, "kernel32.def")
        decoration = ("@4", "@8") if edition == "win32" else ("", "")
        with open(kernel32, "w", encoding="utf-8") as f:
            f.write("LIBRARY kernel32.dll\nEXPORTS\n    GetModuleHandleW%s\n    GetProcAddress%s\n" % decoration)
        code, output = run(["llvm-dlltool-14", "-m", dlltool_machine, "-d", kernel32, "-k",
                            "-l", os.path.join(folder, "kernel32.lib")])
        self.assertEqual(code, 0, output)
        obj, exe = os.path.join(folder, "caller.obj"), os.path.join(folder, "msvc_caller.exe")
        code, output = run(["clang-14", "--target=" + target, "-std=c++17", "-O2", "-fno-exceptions", "-fno-rtti",
                            "-Wall", "-Wextra", "-Werror", "-isystem", crt, "-I", os.path.join(sdk, "include"),
                            "-I", folder, '-DORVEX_KIT_VERSION=L"%s"' % self.version, "-c",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "msvc_caller.cpp"), "-o", obj])
        self.assertEqual(code, 0, output)
        code, output = run(["lld-link-14", "/nologo", "/machine:" + machine, "/subsystem:console",
                            "/entry:CallerStart", "/nodefaultlib", "/dynamicbase", "/nxcompat", "/opt:ref"]
                           + options + ["/out:" + exe, obj, os.path.join(sdk, "lib", "OrvexDevice.lib"),
                                        os.path.join(folder, "kernel32.lib")])
        self.assertEqual(code, 0, output)
        return exe

    def test_a_microsoft_abi_caller_links_with_the_kit_and_binds_every_import_to_its_export(self):
        # The 32-bit caller links with /SAFESEH. The names it imports are
        # those the DLL exports; where the edition runs here, the caller runs
        # beside the kit's DLL and counts the imports the loader bound to
        # their exports (its exit code).
        for edition, (column, _) in EDITIONS.items():
            with self.subTest(edition=edition):
                sdk = self.unpack("OrvexDevice-sdk-%s-%s.zip" % (self.version, edition), "sdk-" + edition)
                exe = self.build_msvc_caller(edition, sdk)
                dll = os.path.join(sdk, "bin", "OrvexDevice.dll")
                exports = sorted(readobj_names("--coff-exports", dll, "Name")[None])
                self.assertEqual(exports, decorated_names(column))
                imports = readobj_names("--coff-imports", exe, "Symbol")
                self.assertEqual(sorted(imports.pop("OrvexDevice.dll")), exports)
                self.assertEqual(imports, {"kernel32.dll": ["GetModuleHandleW", "GetProcAddress"]})
                if edition != RUNS_HERE:
                    continue
                shutil.copy(dll, os.path.dirname(exe))
                code, output = run([os.path.join(ROOT, "scripts", "wine-run"), exe],
                                   env=dict(os.environ, ORVEX_BUILD=BUILD))
                self.assertEqual(code, len(exports), "exit code %#x: %s" % (code, output))

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
        functions = every_function()
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
