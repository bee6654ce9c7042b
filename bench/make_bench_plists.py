#!/usr/bin/python3
"""Writes two property lists of about 1 MB each for the reader benchmark:
bench.bin (binary) and bench.xml (XML), each an array of application
records like the ones a device reports (texts in several scripts, numbers
of every width, booleans, dates, small data, nested arrays and
dictionaries).

    make_bench_plists.py OUTPUT_FOLDER"""
import datetime
import os
import plistlib
import random
import sys

TARGET = 1 << 20


def record(rng, i):
    name = rng.choice(["Orvex", "Quillon", "天气", "地图", "メモ", "Карты", "Notes"]) + " %d" % i
    return {
        "CFBundleIdentifier": "com.example.app%d" % i,
        "CFBundleDisplayName": name,
        "CFBundleVersion": "%d.%d.%d" % (rng.randrange(10), rng.randrange(100), rng.randrange(1000)),
        "CFBundleIconFiles": ["Icon.png", "Icon@2x.png", "Icon-%d.png" % i],
        "ApplicationType": rng.choice(["User", "System"]),
        "Path": "/var/mobile/Applications/%08X-0000-4000-8000-%012X/App%d.app" % (i, i * 7919, i),
        "ApplicationDSID": rng.randrange(1, 2**40),
        "StaticDiskUsage": rng.randrange(2**31),
        "DynamicDiskUsage": rng.randrange(2**16),
        "Rating": rng.random() * 5,
        "Signed": rng.random() < 0.5,
        "Installed": datetime.datetime(2012, 1, 1) + datetime.timedelta(seconds=rng.randrange(10**8)),
        "Token": bytes(rng.randrange(256) for _ in range(16)),
        "Entitlements": {"get-task-allow": False, "keychain-access-groups": ["ABCDE12345.*"]},
    }


def build(fmt):
    rng = random.Random(20120625)
    records = []
    data = b""
    while len(data) < TARGET:
        records.extend(record(rng, len(records) + k) for k in range(50))
        data = plistlib.dumps(records, fmt=fmt)
    return data


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "bench.bin"), "wb") as f:
        f.write(build(plistlib.FMT_BINARY))
    with open(os.path.join(out, "bench.xml"), "wb") as f:
        f.write(build(plistlib.FMT_XML))
    with open(os.path.join(out, "tiny.xml"), "wb") as f:
        f.write(plistlib.dumps({"a": 1}))


if __name__ == "__main__":
    main()
