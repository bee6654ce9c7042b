#!/usr/bin/python3
"""Test data of the archive reader, and the independent check of its PNG output.

  ipa_fixtures.py generate OUTDIR        archives, icons and property lists
  ipa_fixtures.py check OUTDIR RESULTDIR...  decode what the tests wrote

Archives are written with zipfile, property lists with plistlib, PNG files
chunk by chunk with zlib and struct; the check decodes PNG files with zlib
and struct alone (no image library), so it is independent of GDI+.
"""
import io
import json
import os
import plistlib
import shutil
import subprocess
import struct
import sys
import warnings
import zipfile
import zlib

PNG_SIG = b"\x89PNG\r\n\x1a\n"
VARIANT_SIG = b"\x89PNG\n\n\x1a\n"
CGBI_DATA = b"\x50\x00\x20\x06"
STAMP = (2012, 6, 25, 10, 20, 30)

# ---- PNG writing -----------------------------------------------------------


def chunk(ctype, data, crc=None):
    if crc is None:
        crc = zlib.crc32(ctype + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", crc)


def ihdr(width, height, colour_type=6, depth=8):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0))


def filtered_rows(pixels, width, height, bgra, filters=(0,)):
    """Scanlines of 8-bit RGBA (or BGRA) pixels, each with its filter byte."""
    out = bytearray()
    prev = bytes(width * 4)
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b, a = pixels[y * width + x]
            row += bytes((b, g, r, a) if bgra else (r, g, b, a))
        ftype = filters[y % len(filters)]
        if ftype == 0:
            enc = bytes(row)
        elif ftype == 1:
            enc = bytes((row[i] - (row[i - 4] if i >= 4 else 0)) & 255 for i in range(len(row)))
        elif ftype == 2:
            enc = bytes((row[i] - prev[i]) & 255 for i in range(len(row)))
        else:
            raise ValueError(ftype)
        out.append(ftype)
        out += enc
        prev = bytes(row)
    return bytes(out)


def raw_deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def cgbi_png(pixels, width, height, extra_before=(), extra_after=(), idat_parts=1, streams=1,
             zlib_header=False, signature=PNG_SIG, filters=(0, 1, 2)):
    """A device-optimised PNG: CgBI chunk, BGRA pixels, raw deflate data."""
    raw = filtered_rows(pixels, width, height, True, filters)
    if streams == 1:
        data = zlib.compress(raw, 9) if zlib_header else raw_deflate(raw)
        parts = split(data, idat_parts)
    else:
        # One stream per band of rows, each in its own IDAT (as the device
        # tools write them, with an iDOT chunk naming the bands).
        stride = 1 + 4 * width
        rows_per = (height + streams - 1) // streams
        parts = [raw_deflate(raw[i * rows_per * stride:(i + 1) * rows_per * stride]) for i in range(streams)]
    out = signature + chunk(b"CgBI", CGBI_DATA) + ihdr(width, height)
    for c in extra_before:
        out += c
    for p in parts:
        out += chunk(b"IDAT", p)
    for c in extra_after:
        out += c
    return out + chunk(b"IEND", b"")


def split(data, n):
    size = (len(data) + n - 1) // n
    return [data[i * size:(i + 1) * size] for i in range(n)]


def plain_png(pixels, width, height):
    raw = filtered_rows(pixels, width, height, False)
    return PNG_SIG + ihdr(width, height) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


# Pixels of the small icons, as true RGBA. The alpha-0 pixel carries colour
# that must not survive; the half-transparent one may move by rounding.
SMALL_W, SMALL_H = 4, 3
SMALL = [
    (255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255), (10, 20, 30, 255),
    (200, 100, 50, 0), (250, 240, 230, 255), (1, 2, 3, 255), (128, 64, 32, 128),
    (0, 0, 0, 255), (255, 255, 255, 255), (90, 180, 45, 255), (33, 66, 99, 255),
]


def pattern(width, height):
    return [((x * 7) & 255, (y * 3) & 255, (x + y) & 255, 255) for y in range(height) for x in range(width)]


def cgbi_expected(pixels):
    """What the normaliser makes of CgBI pixels: colours as stored, alpha 0 cleared."""
    return [(0, 0, 0, 0) if a == 0 else (r, g, b, a) for r, g, b, a in pixels]


# ---- PNG reading (the independent check) -----------------------------------


def read_chunks(data):
    if data[:8] != PNG_SIG:
        raise AssertionError("no standard PNG signature")
    pos, chunks = 8, []
    while pos < len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        chunks.append((ctype, body, crc))
        pos += 12 + length
        if ctype == b"IEND":
            break
    if pos != len(data):
        raise AssertionError("bytes after IEND or no IEND")
    return chunks


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def decode(data):
    """8-bit RGB or RGBA, not interlaced: returns width, height, RGBA pixels."""
    chunks = read_chunks(data)
    for ctype, body, crc in chunks:
        if zlib.crc32(ctype + body) & 0xFFFFFFFF != crc:
            raise AssertionError("bad CRC on %r" % ctype)
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if chunks[0][0] != b"IHDR" or depth != 8 or colour not in (2, 6) or interlace:
        raise AssertionError("unexpected header %r" % (chunks[0],))
    bpp = 4 if colour == 6 else 3
    raw = zlib.decompress(b"".join(b for t, b, _ in chunks if t == b"IDAT"))
    stride = width * bpp
    prev = bytearray(stride)
    pixels = []
    for y in range(height):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            pred = [0, a, b, (a + b) // 2, paeth(a, b, c)][ftype]
            line[i] = (line[i] + pred) & 255
        for x in range(width):
            px = tuple(line[x * bpp:(x + 1) * bpp])
            pixels.append(px if bpp == 4 else px + (255,))
        prev = line
    return width, height, pixels


# ---- the fixtures ------------------------------------------------------------


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_zip(path, entries, method=zipfile.ZIP_DEFLATED):
    """entries: (name, bytes) in order; names are stored exactly as given."""
    buf = io.BytesIO()
    warnings.filterwarnings("ignore", "Duplicate name")
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, STAMP)
            info.compress_type = method
            info.flag_bits |= 0x800  # names are UTF-8
            z.writestr(info, data)
    write(path, buf.getvalue())
    return buf.getvalue()


TRAVERSAL_NAMES = [
    "../Info.plist", "..\\Info.plist", "a/../../Info.plist", "a\\..\\..\\Info.plist", "a/..\\../Info.plist",
    "/Info.plist", "\\Info.plist", "C:Info.plist", "C:\\Info.plist", "C:/Info.plist",
    "\\\\server\\share\\Info.plist", "//server/share/Info.plist", "\\\\?\\C:\\Info.plist", "//?/C:/Info.plist",
    "a:stream/Info.plist", "CON/Info.plist", "nul.txt/Info.plist", "lpt1 /Info.plist", "a./Info.plist",
    ".../Info.plist", "./Info.plist",
]


LISTED = [("Payload/", b""), ("Payload/A.app/Info.plist", b"info"), ("Payload/A.app/\u56fe\u6807.png", b"png"),
          ("x/Info.plist", b"second")]
TIMESTAMP_EXTRA = struct.pack("<HHBI", 0x5455, 5, 1, 0)
ZIP64_EXTRA = struct.pack("<HHQ", 0x0001, 8, 0)


def raw_zip(entries, prefix=b"", comment=b"", extra=b"", zip64_end=False):
    """A zip written field by field: stored entries whose central headers
    carry `extra`, `prefix` in front of the archive (offsets stay relative
    to the archive, as with a self-extracting program in front), `comment`
    after the end record, and with `zip64_end` a zip64 end record and its
    locator before the ordinary end record."""
    out = bytearray(prefix)
    central = bytearray()
    for name, data in entries:
        n = name.encode()
        crc = zlib.crc32(data)
        offset = len(out) - len(prefix)
        out += struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0x800, 0, 0, 0x21, crc, len(data), len(data), len(n), 0)
        out += n + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0x800, 0, 0, 0x21, crc, len(data),
                               len(data), len(n), len(extra), 0, 0, 0, 0, offset) + n + extra
    directory = len(out) - len(prefix)
    out += central
    if zip64_end:
        record = len(out) - len(prefix)
        out += struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, len(entries), len(entries), len(central),
                           directory)
        out += struct.pack("<IIQI", 0x07064b50, 0, record, 1)
    out += struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, len(entries), len(entries), len(central), directory,
                       len(comment)) + comment
    return bytes(out)


def listing_fixtures(out):
    """The same entries under every layout of the central directory the
    reader meets, and two archives of one size with different entries."""
    forms = {
        "listing_plain.zip": {},
        "listing_prefixed.zip": {"prefix": b"MZ" + bytes(4094)},
        "listing_comment.zip": {"comment": b"c" * 3000},
        "listing_extra.zip": {"extra": TIMESTAMP_EXTRA, "prefix": b"MZ"},
        "listing_zip64_extra.zip": {"extra": ZIP64_EXTRA},
        "listing_zip64_end.zip": {"zip64_end": True},
    }
    for name, form in forms.items():
        write(os.path.join(out, name), raw_zip(LISTED, **form))
    one = raw_zip([("a/one.txt", b"1"), ("a/Info.plist", b"from one")])
    two = raw_zip([("b/two.txt", b"2"), ("b/Info.plist", b"from two")])
    assert len(one) == len(two)
    write(os.path.join(out, "listing_one.zip"), one)
    write(os.path.join(out, "listing_two.zip"), two)


def zip_fixtures(out):
    listing_fixtures(out)
    make_zip(os.path.join(out, "nomatch.zip"), [("a.txt", b"a"), ("dir/b.txt", b"b"), ("dir/", b"")])
    make_zip(os.path.join(out, "twice.zip"),
             [("x/Info.plist", b"first"), ("y.txt", b"y"), ("x/Info.plist", b"second"),
              ("x/Info.plist", b"third")])
    make_zip(os.path.join(out, "empty_entry.zip"), [("Payload/A.app/Info.plist", b"")], zipfile.ZIP_STORED)
    make_zip(os.path.join(out, "nested.zip"),
             [("Payload/A.app/sub/deeper/Info.plist", b"deep"), ("Payload/A.app/Info.plist", b"top")])
    make_zip(os.path.join(out, "case.zip"),
             [("a/Icon.PNG", b"1"), ("b/ICON.png", b"2"), ("c/icon.png.bak", b"3"), ("icon.pn", b"4")])
    make_zip(os.path.join(out, "folders.zip"), [("Payload/", b""), ("Payload/A.app/", b""), ("f.txt", b"f")])
    make_zip(os.path.join(out, "traversal.zip"),
             [(n, b"evil") for n in TRAVERSAL_NAMES] + [("safe/Info.plist", b"good")])
    big = make_zip(os.path.join(out, "big.zip"),
                   [("big/Info.plist", bytes(64 * 1024 * 1024 + 1)), ("small/Info.plist", b"ok")])
    assert len(big) < 1024 * 1024
    good = make_zip(os.path.join(out, "good.zip"), [("Payload/A.app/Info.plist", b"x" * 5000)])
    write(os.path.join(out, "truncated.zip"), good[:len(good) // 2])
    bad_header = bytearray(good)
    bad_header[0:4] = b"\0\0\0\0"
    write(os.path.join(out, "bad_local_header.zip"), bytes(bad_header))
    other = bytearray(make_zip(os.path.join(out, "bad_other_header.zip"),
                               [("a.txt", b"a"), ("Payload/A.app/Info.plist", b"kept")]))
    other[0:4] = b"\0\0\0\0"  # the local header of a.txt, which is never opened
    write(os.path.join(out, "bad_other_header.zip"), bytes(other))
    bad_data = bytearray(good)
    start = 30 + len("Payload/A.app/Info.plist")
    bad_data[start:start + 8] = b"\xff" * 8
    write(os.path.join(out, "bad_data.zip"), bytes(bad_data))


def png_fixtures(out):
    d = os.path.join(out, "png")
    small = lambda **kw: cgbi_png(SMALL, SMALL_W, SMALL_H, **kw)
    private = chunk(b"prVt", b"private data \x00\x01\x02")
    bad_crc = chunk(b"tEXt", b"Comment\x00wrong crc", crc=0x12345678)
    write(os.path.join(d, "cgbi_one.png"), small(extra_before=(private, bad_crc)))
    write(os.path.join(d, "cgbi_variant.png"), small(signature=VARIANT_SIG))
    write(os.path.join(d, "cgbi_zlib.png"), small(zlib_header=True))
    write(os.path.join(d, "cgbi_split.png"), small(extra_before=(chunk(b"iDOT", bytes(28)),), idat_parts=3))
    write(os.path.join(d, "cgbi_streams.png"), small(extra_before=(chunk(b"iDOT", bytes(28)),), streams=2))
    texts = tuple(chunk(b"tEXt", b"k%d\x00v" % i) for i in range(30))
    write(os.path.join(d, "cgbi_many.png"), small(extra_before=texts[:25], extra_after=texts[25:]))
    write(os.path.join(d, "cgbi_1024.png"), cgbi_png(pattern(1024, 1024), 1024, 1024))
    one = small()
    iend = chunk(b"IEND", b"")
    write(os.path.join(d, "truncated.png"), one[:len(one) - len(iend) - 20])
    write(os.path.join(d, "no_iend.png"), one[:len(one) - len(iend)])
    corrupt = PNG_SIG + chunk(b"CgBI", CGBI_DATA) + ihdr(SMALL_W, SMALL_H) + chunk(b"IDAT", b"\xff" * 40) + iend
    write(os.path.join(d, "cgbi_corrupt.png"), corrupt)
    huge = raw_deflate(bytes(64 * 1024 * 1024 + 4096))
    write(os.path.join(d, "cgbi_huge.png"),
          PNG_SIG + chunk(b"CgBI", CGBI_DATA) + ihdr(4096, 4097) + chunk(b"IDAT", huge) + iend)
    write(os.path.join(d, "plain.png"), plain_png(SMALL_OPAQUE, SMALL_W, SMALL_H))
    try:
        from PIL import Image
        img = Image.new("RGB", (8, 8), (200, 30, 60))
        buf = io.BytesIO()
        img.save(buf, "JPEG", quality=95)
        write(os.path.join(d, "photo.jpg"), buf.getvalue())
    except ImportError:
        pass


SMALL_OPAQUE = [(r, g, b, 255 if a != 128 else 128) for r, g, b, a in SMALL]

# What each converted file must decode to: (width, height, pixels, tolerance
# for pixels that are not opaque, tolerance for opaque ones).
EXPECTED = {
    "cgbi_one.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_variant.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_zlib.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_split.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_streams.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_many.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
    "cgbi_1024.png": (1024, 1024, lambda: pattern(1024, 1024), 0, 0),
    "plain.png": (SMALL_W, SMALL_H, lambda: SMALL_OPAQUE, 2, 0),
    "photo.png": (8, 8, lambda: [(200, 30, 60, 255)] * 64, 0, 8),
    "app_icon.png": (SMALL_W, SMALL_H, lambda: cgbi_expected(SMALL), 2, 0),
}


def plist(value, binary=False):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)


SUBGENRES = [{"genre": "g%d" % i, "genreId": 7000 + i} for i in range(25)]
METADATA = {
    "artistName": "Example Artist", "artistId": 284417353, "itemId": 6443843700, "itemName": "Store Name",
    "softwareVersionBundleId": "com.example.store", "bundleVersion": "0.9", "kind": "software",
    "genre": "Games", "genreId": 6014, "subgenres": SUBGENRES, "softwareVersionExternalIdentifier": 812345,
    "releaseDate": "2012-06-25T07:00:00Z",
}
DEMO_INFO = {
    "CFBundleDisplayName": "演示", "CFBundleName": "DemoName", "CFBundleVersion": "2.5",
    "CFBundleIdentifier": "com.example.demo", "CFBundleIconFile": "Icon",
}


def ipa_fixtures(out):
    d = os.path.join(out, "ipa")
    icon = cgbi_png(SMALL, SMALL_W, SMALL_H)
    bad_icon = PNG_SIG + chunk(b"CgBI", CGBI_DATA) + ihdr(4, 4) + chunk(b"IDAT", b"\xff" * 40) + chunk(b"IEND", b"")
    app = lambda name, files: [("Payload/%s.app/%s" % (name, f), data) for f, data in files]
    make_zip(os.path.join(d, "full.ipa"),
             [("iTunesMetadata.plist", plist(METADATA))] +
             app("Demo", [("Info.plist", plist(DEMO_INFO, True)), ("Icon.png", icon),
                          ("Frameworks/Kit.framework/Info.plist", plist({"CFBundleIdentifier": "kit"})),
                          ("Frameworks/Kit.framework/Icon.png", b"not the icon")]))
    # The same identifier and version with an icon that can't be converted:
    # only a cache hit gives 1.
    make_zip(os.path.join(d, "full_bad_icon.ipa"),
             app("Demo", [("Info.plist", plist(DEMO_INFO)), ("Icon.png", bad_icon)]))
    make_zip(os.path.join(d, "nometa.ipa"),
             app("NoMeta", [("Info.plist", plist({"CFBundleName": "OnlyName", "CFBundleVersion": "1.0",
                                                   "CFBundleIdentifier": "com.example.nometa",
                                                   "CFBundleIconFiles": ["Icon-72.png", "other.png"]})),
                            ("icon-72.PNG", icon)]))
    make_zip(os.path.join(d, "metaname.ipa"),
             [("iTunesMetadata.plist", plist({"itemName": "StoreOnly", "subgenres": SUBGENRES[:2],
                                               "softwareVersionBundleId": "com.example.metaname",
                                               "bundleVersion": "3"}, True))] +
             app("M", [("Info.plist", plist({"CFBundleIconFiles": []})),
                       ("Icon.png", plain_png(SMALL_OPAQUE, SMALL_W, SMALL_H))]))
    make_zip(os.path.join(d, "noicon.ipa"),
             app("N", [("Info.plist", plist({"CFBundleIdentifier": "com.example.noicon",
                                              "CFBundleIconFile": "Missing"}))]))
    make_zip(os.path.join(d, "evilicon.ipa"),
             app("E", [("Info.plist", plist({"CFBundleIdentifier": "com.example.evil",
                                              "CFBundleIconFile": "..\\..\\..\\evil.png"}))]))
    make_zip(os.path.join(d, "twoapps.ipa"),
             app("First", [("Info.plist", plist({"CFBundleIdentifier": "com.example.first"}))]) +
             app("Second", [("Info.plist", plist({"CFBundleIdentifier": "com.example.second"}))]))
    make_zip(os.path.join(d, "long.ipa"),
             app("L", [("Info.plist", plist({"CFBundleDisplayName": "名" * 80, "CFBundleIdentifier": "i" * 400,
                                              "CFBundleVersion": "v" * 60}))]))
    make_zip(os.path.join(d, "types.ipa"),
             [("iTunesMetadata.plist", plist({"artistName": 5, "genreId": "x", "subgenres": "none",
                                               "itemName": ["a"], "softwareVersionBundleId": "com.types",
                                               "itemId": "12"}))] +
             app("T", [("Info.plist", plist({"CFBundleIdentifier": 7, "CFBundleName": "T",
                                              "CFBundleIconFile": 3}))]))
    make_zip(os.path.join(d, "badmeta.ipa"),
             [("iTunesMetadata.plist", b"<plist><dict><key>x")] +
             app("B", [("Info.plist", plist({"CFBundleIdentifier": "com.example.badmeta"}))]))
    make_zip(os.path.join(d, "badicon.ipa"),
             app("Bad", [("Info.plist", plist({"CFBundleIdentifier": "com.example.badicon"})), ("Icon.png", bad_icon)]))
    make_zip(os.path.join(d, "clash.ipa"),
             [("Payload/C.app/Info.plist/Info.plist", b"x"), ("Payload/C.app/Info.plist", b"x")])
    make_zip(os.path.join(d, "arrayinfo.ipa"), app("A", [("Info.plist", plist(["not", "a", "dictionary"]))]))
    make_zip(os.path.join(d, "nopayload.ipa"), [("App.app/Info.plist", plist({"CFBundleName": "x"}))])
    make_zip(os.path.join(d, "noapp.ipa"), [("Payload/Info.plist", plist({"CFBundleName": "x"}))])
    make_zip(os.path.join(d, "noappinfo.ipa"),
             app("K", [("Frameworks/K.framework/Info.plist", plist({"CFBundleName": "x"}))]))
    make_zip(os.path.join(d, "badinfo.ipa"), app("I", [("Info.plist", b"\x00\x01 not a property list")]))
    good = open(os.path.join(d, "full.ipa"), "rb").read()
    write(os.path.join(d, "truncated.ipa"), good[:len(good) // 2])


def generate(out):
    zip_fixtures(out)
    png_fixtures(out)
    ipa_fixtures(out)
    with open(os.path.join(out, ".stamp"), "w") as f:
        f.write("ok\n")


# ---- the check -------------------------------------------------------------


def check_rebuilt(source, rebuilt, name):
    """The rebuilt PNG: the input's chunks in order minus CgBI, one zlib IDAT
    with a correct CRC where the input's IDATs were, other CRCs as they were."""
    src = read_chunks(b"\x89PNG\r\n\x1a\n" + source[8:])
    got = read_chunks(rebuilt)
    want = []
    for ctype, body, crc in src:
        if ctype == b"CgBI" or (ctype == b"IDAT" and any(t == b"IDAT" for t, _, _ in want)):
            continue
        want.append((ctype, body, crc))
    if [c[0] for c in got] != [c[0] for c in want]:
        raise AssertionError("%s: chunk order %r, want %r" % (name, [c[0] for c in got], [c[0] for c in want]))
    for (gtype, gbody, gcrc), (_, wbody, wcrc) in zip(got, want):
        if gtype == b"IDAT":
            zlib.decompress(gbody)  # a complete zlib stream
            if zlib.crc32(gtype + gbody) & 0xFFFFFFFF != gcrc:
                raise AssertionError("%s: IDAT CRC" % name)
        elif (gbody, gcrc) != (wbody, wcrc):
            raise AssertionError("%s: %r changed" % (name, gtype))


def check(out, folders):
    failures, checked = [], 0
    for name, (width, height, pixels, tol_alpha, tol_opaque) in sorted(EXPECTED.items()):
        found = [os.path.join(f, name) for f in folders if os.path.exists(os.path.join(f, name))]
        path = found[0] if found else None
        if not path:
            failures.append("%s: not written" % name)
            continue
        try:
            data = open(path, "rb").read()
            w, h, got = decode(data)
            if (w, h) != (width, height):
                raise AssertionError("size %dx%d" % (w, h))
            for i, (g, e) in enumerate(zip(got, pixels())):
                tol = tol_opaque if e[3] == 255 else tol_alpha
                if any(abs(a - b) > tol for a, b in zip(g, e)):
                    raise AssertionError("pixel %d is %r, want %r" % (i, g, e))
            if shutil.which("pngcheck"):
                run = subprocess.run(["pngcheck", "-q", path], capture_output=True, text=True)
                if run.returncode != 0:
                    raise AssertionError("pngcheck: " + run.stdout.strip())
            checked += 1
        except Exception as e:  # report every file, not just the first
            failures.append("%s: %s" % (name, e))
    rebuilt = [(f, n) for f in folders if os.path.isdir(f) for n in sorted(os.listdir(f)) if n.endswith(".rebuilt")]
    for folder, name in rebuilt:
        source = open(os.path.join(out, "png", name[:-len(".rebuilt")]), "rb").read()
        try:
            check_rebuilt(source, open(os.path.join(folder, name), "rb").read(), name)
            checked += 1
        except Exception as e:
            failures.append("%s: %s" % (name, e))
    for f in failures:
        print("FAIL", f)
    print("%d passed, %d failed" % (checked, len(failures)))
    return 1 if failures or checked == 0 else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "generate":
        generate(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3:]))
    else:
        sys.exit(__doc__)
