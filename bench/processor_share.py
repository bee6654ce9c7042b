#!/usr/bin/python3
"""Runs a benchmark and tells the processor time that the farm's server
(devicesim.exe) and the prefix's Wine server spent between the marks
"timed calls begin" and "timed calls end" on its error output (from
/proc; the benchmark prints its own figure). Both are processes of their
own, so the benchmark cannot see their share itself.

  bench/processor_share.py scripts/wine-run build/bin/builtin-bench.exe info 20
"""
import os
import subprocess
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")
PREFIX = os.environ.get("WINEPREFIX") or "wineprefix-builtin"


def processor_times():
    """Seconds of processor per kind: the farm's servers of this tree, and this prefix's Wine server."""
    times = {}
    tree = os.path.basename(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if "wineserver" in command:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    kind = "Wine server" if PREFIX in f.read().decode(errors="replace") else None
            else:
                kind = "devicesim.exe" if "devicesim.exe" in command and tree in command else None
        except OSError:
            continue
        if kind:
            times[kind] = times.get(kind, 0) + (int(fields[11]) + int(fields[12])) / TICK
    return times


def main():
    process = subprocess.Popen(sys.argv[1:], stderr=subprocess.PIPE, text=True)
    marks = []
    for line in process.stderr:
        if "timed calls begin" in line or "timed calls end" in line:
            marks.append((time.perf_counter(), processor_times()))
        else:
            sys.stderr.write(line)
    code = process.wait()
    if len(marks) != 2:
        print("processor_share: the benchmark printed no marks", file=sys.stderr)
        return code or 1
    (start, before), (end, after) = marks
    print("between the marks: %.1f s; processor: %s" % (end - start, ", ".join(
        "%s %.2f s" % (kind, after[kind] - before.get(kind, 0)) for kind in sorted(after))))
    return code


if __name__ == "__main__":
    sys.exit(main())
