#!/usr/bin/python3
"""InstallIpa through the device library on its built-in backend beside
Debian's `ideviceinstaller -i`, the same archive against the same
`devicesim serve`, taking turns in one run.

  bench/builtin_install_bench.py [MB] [ROUNDS] [ENTRIES]     (defaults: 50, 5, 500)
  ORVEX_EDITION=64 ORVEX_BUILD=build/x64 bench/builtin_install_bench.py

Needs the edition's build (builtin-bench.exe, devicesim.exe and the
library) and its prefix without the vendor's software, which the first run
prepares. The archive comes from bench/make_bench_ipa.py (MB = 10^6 bytes;
500 entries: the farm's install unpacks every entry, one file each, which
with thousands of entries takes most of the time and varies most with the
machine's load). Every round first uninstalls the application with
ideviceinstaller (not timed), then installs it with each of the two, the
order changing from round to round; a first round of each is a warm-up and
not counted. ideviceinstaller is timed as a whole process (a native
program: its start, its own lockdown session and TLS included); ours as the
InstallIpa call in builtin-bench.exe, which also opens its own session.
Each figure also has the time to the first report of the device's own steps:
the upload into PublicStaging done (the rest is the server's install work,
the same for both).
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
os.environ["ORVEX_NO_VENDOR"] = "1"  # the prefix without the vendor's software
os.environ.pop("ORVEX_TEST_BACKEND", None)  # the server is started here
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sim", "wire"))
from wire_harness import Server, harness  # noqa: E402

BUNDLE = "com.example.bench"
IDEVICEINSTALLER = shutil.which("ideviceinstaller") or "/usr/bin/ideviceinstaller"


def fail(message):
    print("builtin_install_bench: " + message, file=sys.stderr)
    sys.exit(1)


def ideviceinstaller(server, udid, *args):
    start = time.perf_counter()
    result = subprocess.run([IDEVICEINSTALLER, "-u", udid] + list(args), env=server.env, capture_output=True,
                            timeout=900)
    return time.perf_counter() - start, result


def timed_install(server, udid, ipa):
    """ideviceinstaller -i: the seconds in all, and until its first line of the device's steps (the upload done)."""
    start = time.perf_counter()
    uploaded = None
    output = []
    process = subprocess.Popen(["stdbuf", "-oL", IDEVICEINSTALLER, "-u", udid, "-i", ipa], env=server.env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in process.stdout:
        output.append(line)
        if uploaded is None and line.startswith("Install:"):
            uploaded = time.perf_counter() - start
    if process.wait(timeout=900) != 0:
        fail("ideviceinstaller -i failed:\n" + "".join(output))
    return time.perf_counter() - start, uploaded


class Ours:
    """builtin-bench.exe install: one timed InstallIpa for every line sent."""

    def __init__(self, server, udid, ipa, log):
        program = os.path.join(harness.BUILD, "bin", "builtin-bench.exe")
        self.process = subprocess.Popen([harness.WINE_RUN, program, "install", udid, harness.windows_path(ipa)],
                                        env=server.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=log, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.close()
            fail("builtin-bench.exe did not get ready (see %s)" % log.name)

    def install(self):
        self.process.stdin.write("install\n")
        self.process.stdin.flush()
        words = self.process.stdout.readline().split()
        if len(words) != 4 or words[0] != "installed":
            fail("builtin-bench.exe stopped")
        if words[1] != "1":
            fail("InstallIpa returned %s" % words[1])
        return float(words[2]), float(words[3])

    def close(self):
        try:
            self.process.stdin.close()
            self.process.wait(timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    entries = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    work = tempfile.mkdtemp(prefix="builtin-install-bench-")
    farm = harness.Farm()
    server = ours = None
    log = open(os.path.join(work, "builtin-bench.log"), "w")
    try:
        subprocess.run([sys.executable, os.path.join(HERE, "make_bench_ipa.py"), work, str(megabytes), str(entries)],
                       check=True)
        ipa = os.path.join(work, "bench.ipa")
        udid = farm.create(harness.IPHONE4S)
        server = Server(farm)
        ours = Ours(server, udid, ipa, log)
        print("archive: %d bytes in %d entries, %s; load average %.1f" %
              (os.path.getsize(ipa), entries, udid, os.getloadavg()[0]))
        theirs_times, our_times = [], []
        for round_ in range(rounds + 1):
            times = {}
            for side in (("ours", "theirs") if round_ % 2 else ("theirs", "ours")):
                ideviceinstaller(server, udid, "-U", BUNDLE)
                times[side] = ours.install() if side == "ours" else timed_install(server, udid, ipa)
            label = "warm-up" if round_ == 0 else "round %d" % round_
            print("%-8s ideviceinstaller -i %6.3f s (upload %6.3f s)   InstallIpa %6.3f s (upload %6.3f s)" %
                  (label, times["theirs"][0], times["theirs"][1] or -1, times["ours"][0], times["ours"][1]),
                  flush=True)
            if round_ > 0:
                theirs_times.append(times["theirs"])
                our_times.append(times["ours"])
        for name, pick in (("median", statistics.median), ("best", min)):
            theirs = [pick(t[i] for t in theirs_times if t[i] is not None) for i in (0, 1)]
            mine = [pick(t[i] for t in our_times) for i in (0, 1)]
            print("%-8s ideviceinstaller -i %6.3f s (upload %6.3f s)   InstallIpa %6.3f s (upload %6.3f s)   "
                  "ours takes %.0f%% of its time (upload %.0f%%)" %
                  (name, theirs[0], theirs[1], mine[0], mine[1], 100 * mine[0] / theirs[0], 100 * mine[1] / theirs[1]))
        print("load average %.1f" % os.getloadavg()[0])
    finally:
        if ours:
            ours.close()
        if server:
            server.stop()
        farm.close()
        log.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
