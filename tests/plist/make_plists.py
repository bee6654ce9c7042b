#!/usr/bin/python3
"""Writes the property lists that the property-list codec must read, made by
independent writers: Python's plistlib (XML and binary) and plistutil from
libplist (each converted to the other format).

    make_plists.py OUTPUT_FOLDER

The values are the ones tests/plist/interop_test.cpp and the value library's
tests/sim/corefoundation/plist_interop_test.cpp expect; the large list is
read back from each writer and compared with the others."""
import datetime
import os
import plistlib
import subprocess
import sys


def value():
    return {
        "ascii": "plain text",
        "cjk": "中文字符 日本語 한국어",
        "astral": "\U0001F600\U00020000 outside the basic plane",
        "中文键": "unicode key",
        "entities": "<&>\"' ]]>",
        "max_int64": 2**63 - 1,
        "min_int64": -(2**63),
        "max_uint64": 2**64 - 1,
        "negative": -42,
        "zero": 0,
        "one_byte": 200,
        "two_bytes": 40000,
        "four_bytes": 3000000000,
        "reals": [0.5, -1234.5678, 1e300, 5e-324, 3.141592653589793, -0.0],
        "date": datetime.datetime(2012, 6, 25, 13, 45, 30),
        "old_date": datetime.datetime(1970, 1, 1, 0, 0, 0),
        "data": bytes(range(256)),
        "empty_data": b"",
        "empty_dict": {},
        "empty_array": [],
        "empty_string": "",
        "bools": [True, False],
        "nested": {"level1": {"level2": [1, [2, [3, {"deep": "yes"}]]]}},
        "long_string": "x" * 1000,
        "many": list(range(100)),
    }


def large_value():
    """Over 64 KiB of objects and far more than 255 of them: libplist then
    writes 3-byte offsets and 2-byte object references."""
    return {
        "items": [
            {"name": "item %05d \u00e9\u4e2d\U0001F600" % i, "n": i * 7919 - 10**6, "r": i / 7.0, "flag": i % 3 == 0}
            for i in range(3000)
        ],
        "when": datetime.datetime(2001, 1, 1, 0, 0, 1),
        "blob": bytes(range(256)) * 4,
    }


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    v = value()
    xml = os.path.join(out, "plistlib.xml")
    binary = os.path.join(out, "plistlib.bin")
    with open(xml, "wb") as f:
        plistlib.dump(v, f, fmt=plistlib.FMT_XML)
    with open(binary, "wb") as f:
        plistlib.dump(v, f, fmt=plistlib.FMT_BINARY)
    subprocess.run(["plistutil", "-i", xml, "-o", os.path.join(out, "plistutil.bin"), "-f", "bin"], check=True)
    subprocess.run(["plistutil", "-i", binary, "-o", os.path.join(out, "plistutil.xml"), "-f", "xml"], check=True)

    large_xml = os.path.join(out, "large.plistlib.xml")
    large_bin = os.path.join(out, "large.plistlib.bin")
    with open(large_xml, "wb") as f:
        plistlib.dump(large_value(), f, fmt=plistlib.FMT_XML)
    with open(large_bin, "wb") as f:
        plistlib.dump(large_value(), f, fmt=plistlib.FMT_BINARY)
    subprocess.run(["plistutil", "-i", large_xml, "-o", os.path.join(out, "large.plistutil.bin"), "-f", "bin"],
                   check=True)
    subprocess.run(["plistutil", "-i", large_bin, "-o", os.path.join(out, "large.plistutil.xml"), "-f", "xml"],
                   check=True)


if __name__ == "__main__":
    main()
