"""Byte-exact writers for the skin's PNG files and the program icon.

PIL cannot write interlaced PNG files, and its encoders may change between
versions, so the skin writes its own: 8-bit RGBA with straight alpha, no
ancillary chunks (no gamma or colour profile that a decoder could apply), the
filter per row chosen by the usual minimum-sum heuristic, zlib level 9. The
same pixels always give the same bytes.
"""

import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Adam7 passes: (x start, y start, x step, y step).
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filter_row(row, prev, bpp=4):
    """The row with the filter byte that gives the least sum of absolute values."""
    n = len(row)
    best = None
    for ftype in range(5):
        out = bytearray(n)
        for i in range(n):
            x = row[i]
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 0:
                v = x
            elif ftype == 1:
                v = x - a
            elif ftype == 2:
                v = x - b
            elif ftype == 3:
                v = x - ((a + b) >> 1)
            else:
                v = x - _paeth(a, b, c)
            out[i] = v & 0xFF
        score = sum(v if v < 128 else 256 - v for v in out)
        if best is None or score < best[0]:
            best = (score, ftype, out)
    return bytes([best[1]]) + bytes(best[2])


def _scanlines(rgba, width, height, xs, ys, dx, dy):
    """Filtered scanlines of one pass (or of the whole image with steps 1)."""
    cols = range(xs, width, dx)
    if not cols or ys >= height:
        return b""
    prev = bytes(len(cols) * 4)
    parts = []
    for y in range(ys, height, dy):
        base = y * width * 4
        row = bytearray()
        for x in cols:
            row += rgba[base + x * 4 : base + x * 4 + 4]
        parts.append(_filter_row(bytes(row), prev))
        prev = bytes(row)
    return b"".join(parts)


def png_bytes(image, interlace=False):
    """PNG file bytes of an RGBA PIL image."""
    if image.mode != "RGBA":
        raise ValueError("skin images are RGBA")
    width, height = image.size
    rgba = image.tobytes()
    if interlace:
        raw = b"".join(_scanlines(rgba, width, height, *p) for p in ADAM7)
    else:
        raw = _scanlines(rgba, width, height, 0, 0, 1, 1)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 1 if interlace else 0)
    return PNG_SIGNATURE + _chunk(b"IHDR", ihdr) + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b"")


def png_header(data):
    """(width, height, bit depth, colour type, interlace) read from PNG bytes."""
    if data[:8] != PNG_SIGNATURE or data[12:16] != b"IHDR":
        raise ValueError("not a PNG file")
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
    return width, height, depth, colour, interlace


def _dib_entry(image):
    """A classic icon image: 32-bit BGRA bottom-up with its AND mask."""
    size = image.width
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    px = image.load()
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(stride)
        for x in range(size):
            if px[x, y][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """An .ico file of square RGBA images: classic entries below 256 px, PNG at 256."""
    entries = []
    for image in images:
        size = image.width
        data = png_bytes(image) if size >= 256 else _dib_entry(image)
        entries.append((size, data))
    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    blobs = b""
    for size, data in entries:
        dim = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        blobs += data
    return directory + blobs
