#!/usr/bin/python3
"""Writes the benchmark archive: about 100 MB in 5,000 entries, with store
metadata, an application property list and a 512 x 512 CgBI icon, and the
icon beside it as a file of its own.

  make_bench_ipa.py OUTDIR [MB [ENTRIES]]    -> OUTDIR/bench.ipa, OUTDIR/icon.png

MB (10^6 bytes, default 100) sets the archive's size, ENTRIES (default
5,000) the number of its entries.
"""
import os
import plistlib
import random
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "ipa"))
import ipa_fixtures  # noqa: E402

ENTRIES = 5000
TOTAL = 100 * 1000 * 1000


def icon():
    size = 512
    pixels = [((x * 3) & 255, (y * 5) & 255, (x ^ y) & 255, 255 if (x + y) % 7 else 128)
              for y in range(size) for x in range(size)]
    return ipa_fixtures.cgbi_png(pixels, size, size)


def main(out, total=TOTAL, entries=ENTRIES):
    os.makedirs(out, exist_ok=True)
    rng = random.Random(20120625)
    png = icon()
    with open(os.path.join(out, "icon.png"), "wb") as f:
        f.write(png)
    info = plistlib.dumps({"CFBundleDisplayName": "Bench", "CFBundleIdentifier": "com.example.bench",
                           "CFBundleExecutable": "Bench",
                           "CFBundleVersion": "1.0", "CFBundleIconFiles": ["icon.png"]}, fmt=plistlib.FMT_BINARY)
    meta = plistlib.dumps({"itemName": "Bench", "itemId": 123456789, "artistName": "Example",
                           "softwareVersionBundleId": "com.example.bench", "bundleVersion": "1.0",
                           "subgenres": [{"genre": "g%d" % i, "genreId": i} for i in range(3)]})
    filler = (total - len(png)) // (entries - 3)
    path = os.path.join(out, "bench.ipa")
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_STORED) as z:
        z.writestr(zipfile.ZipInfo("iTunesMetadata.plist"), meta, zipfile.ZIP_DEFLATED)
        for i in range(entries - 3):
            if i == (entries - 3) // 2:
                z.writestr(zipfile.ZipInfo("Payload/Bench.app/Info.plist"), info, zipfile.ZIP_DEFLATED)
            folder = "Payload/Bench.app/Assets/%02d/" % (i % 50)
            z.writestr(zipfile.ZipInfo(folder + "resource-%04d.bin" % i), rng.randbytes(filler))
        z.writestr(zipfile.ZipInfo("Payload/Bench.app/icon.png"), png)
    os.replace(path + ".part", path)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) * 1000 * 1000 if len(sys.argv) > 2 else TOTAL,
         int(sys.argv[3]) if len(sys.argv) > 3 else ENTRIES)
