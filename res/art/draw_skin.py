#!/usr/bin/python3
"""Draws the installer's skin images and the program icon.

    draw_skin.py [--out RES_DIR]     write skin/*.png and InstallOrvex.ico
    draw_skin.py --check RES_DIR     redraw into a temporary folder and
                                     compare with the files in RES_DIR

Everything is drawn here from shapes, gradients and the WenQuanYi Micro Hei
font; shapes are drawn at SS times the size and reduced with a box filter,
which gives their edges exact coverage antialiasing. The output is
byte-identical from run to run (see pngio.py).
"""

import argparse
import math
import os
import sys
import tempfile

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pngio  # noqa: E402

SS = 8
FONT_PATH = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

WEB_ADDRESS = "www.orvex.example.com"
WEB_ADDRESS_LEFT = 213  # first ink column of the address
WEB_ADDRESS_BASELINE = 175  # letters without descender end on the row above

WINDOW = (390, 220)
BAR = (313, 40)
BAR_AT = (38, 90)  # where the window places the bar, from the sizes above
MIN_AT = (306, 0)
CLOSE_AT = (342, 0)
ARROW_AT = (255, 30)

# The panel: a rounded rectangle inside a transparent margin that holds
# its soft shadow. Edges are in pixel-edge coordinates.
PANEL = (6, 4, 384, 212)
PANEL_RADIUS = 12

# The handset: left, top and right edges of its body, and its top button.
PHONE_LEFT, PHONE_TOP, PHONE_RIGHT = 124, 58, 284
PHONE_BUTTON = (258, 54, 276, 60)

# Palette.
INK = (38, 48, 60)
PANEL_TOP = (253, 254, 255)
PANEL_BOTTOM = (236, 241, 246)
PANEL_EDGE = (200, 209, 219)
GREEN_LIGHT = (88, 205, 128)
GREEN = (46, 174, 96)
GREEN_DARK = (29, 138, 74)
GREEN_HOVER_LIGHT = (124, 228, 160)
GREEN_HOVER = (72, 202, 124)
GREEN_HOVER_DARK = (44, 170, 96)
BLUE = (43, 122, 224)
BLUE_LIGHT = (86, 160, 240)
AMBER_LIGHT = (255, 190, 72)
AMBER = (240, 150, 26)
AMBER_DARK = (206, 118, 10)
GREY_LIGHT = (178, 186, 196)
GREY = (146, 156, 168)
GREY_DARK = (120, 130, 142)
LINK = (74, 104, 140)
WHITE = (255, 255, 255)


# ---------------------------------------------------------------- helpers


def rgba(colour, alpha=255):
    return tuple(colour[:3]) + (alpha,)


def mix(c1, c2, t):
    return tuple(int(round(a + (b - a) * t)) for a, b in zip(c1, c2))


def sample(stops, t):
    """Colour at t of a gradient given as [(position, colour), ...]."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 1.0)
    return stops[-1][1]


def vgradient(size, stops, top=0.0, bottom=None):
    """RGBA image with a vertical gradient running from row `top` to `bottom`."""
    w, h = size
    bottom = h if bottom is None else bottom
    line = Image.new("RGBA", (1, h))
    line.putdata([rgba(sample(stops, (y + 0.5 - top) / (bottom - top))) for y in range(h)])
    return line.resize(size, Image.NEAREST)


def solid(size, colour):
    return Image.new("RGBA", size, rgba(colour))


def mask(size, *shapes):
    """Antialiased coverage mask of the union of shapes (see rrect, ellipse, polygon)."""
    w, h = size
    big = Image.new("L", (w * SS, h * SS), 0)
    d = ImageDraw.Draw(big)
    for shape in shapes:
        shape(d, SS)
    return big.resize(size, Image.BOX)


def rrect(x0, y0, x1, y1, r, corners=None):
    """A rounded rectangle; `corners` (top left, top right, bottom right,
    bottom left) picks which corners are rounded, all by default."""

    def draw(d, s):
        left, top, right, bottom = round(x0 * s), round(y0 * s), round(x1 * s) - 1, round(y1 * s) - 1
        radius = round(r * s)
        d.rounded_rectangle([left, top, right, bottom], radius=radius, fill=255)
        if corners is None or radius == 0:
            return
        squares = ([left, top, left + radius, top + radius], [right - radius, top, right, top + radius],
                   [right - radius, bottom - radius, right, bottom], [left, bottom - radius, left + radius, bottom])
        for rounded, square in zip(corners, squares):
            if not rounded:
                d.rectangle(square, fill=255)

    return draw


def ellipse(cx, cy, rx, ry=None, value=255):
    ry = rx if ry is None else ry

    def draw(d, s):
        d.ellipse([round((cx - rx) * s), round((cy - ry) * s), round((cx + rx) * s) - 1, round((cy + ry) * s) - 1],
                  fill=value)

    return draw


def polygon(points, value=255):
    def draw(d, s):
        d.polygon([(x * s, y * s) for x, y in points], fill=value)

    return draw


def line(x0, y0, x1, y1, width):
    """A stroke with square ends, as a polygon."""
    dx, dy = x1 - x0, y1 - y0
    n = math.hypot(dx, dy)
    ox, oy = -dy / n * width / 2, dx / n * width / 2
    return polygon([(x0 + ox, y0 + oy), (x1 + ox, y1 + oy), (x1 - ox, y1 - oy), (x0 - ox, y0 - oy)])


def subtract(a, b):
    return ImageChops.subtract(a, b)


def intersect(a, b):
    return ImageChops.multiply(a, b)


def scale(m, factor):
    return m.point(lambda v: int(round(v * factor)))


def paint(canvas, m, source, at=(0, 0)):
    """Draws `source` (an RGBA image or a colour) through coverage mask `m` onto `canvas` at `at`."""
    if not isinstance(source, Image.Image):
        source = solid(m.size, source)
    layer = source.copy()
    layer.putalpha(intersect(source.getchannel("A"), m))
    canvas.alpha_composite(layer, dest=at)


def font(size):
    return ImageFont.truetype(FONT_PATH, size, layout_engine=ImageFont.Layout.BASIC)


def text_mask(size, xy, text, px, anchor="ls"):
    m = Image.new("L", size, 0)
    ImageDraw.Draw(m).text(xy, text, font=font(px), fill=255, anchor=anchor)
    return m


def heavy_text_mask(size, xy, text, px):
    """Text a little heavier than the font's regular weight: drawn four times
    as large with a thin stroke, then reduced."""
    w, h = size
    big = Image.new("L", (w * 4, h * 4), 0)
    ImageDraw.Draw(big).text((xy[0] * 4, xy[1] * 4), text, font=font(px * 4), fill=255, anchor="ls", stroke_width=2,
                             stroke_fill=255)
    return big.resize(size, Image.BOX)


def fade_rows(m, start, end):
    """Mask `m` faded to nothing from row `start` to row `end`."""
    w, h = m.size
    ramp = Image.new("L", (1, h))
    values = []
    for y in range(h):
        t = (y + 0.5 - start) / (end - start)
        t = min(max(t, 0.0), 1.0)
        values.append(int(round(255 * (1 - t * t * (3 - 2 * t)))))
    ramp.putdata(values)
    return intersect(m, ramp.resize((w, h), Image.NEAREST))


# ---------------------------------------------------------------- logo


def logo(size):
    """The product mark: a green-to-blue tile with a white orbit and its moon."""
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    u = size / 32.0
    tile = mask(img.size, rrect(1 * u, 1 * u, 31 * u, 31 * u, 7.5 * u))
    grad = Image.new("RGBA", (size, size))
    grad.putdata([rgba(sample([(0.0, GREEN_LIGHT), (0.45, GREEN), (1.0, BLUE)], (x + y + 1) / (2.0 * size)))
                  for y in range(size) for x in range(size)])
    paint(img, tile, grad)
    # A soft light on the upper half of the tile.
    gloss = intersect(tile, mask(img.size, ellipse(16 * u, -6 * u, 26 * u, 20 * u)))
    paint(img, scale(gloss, 0.22), WHITE)
    # The orbit: a ring broken where the moon passes.
    cx, cy = 15.2 * u, 16.8 * u
    ring = subtract(mask(img.size, ellipse(cx, cy, 9.2 * u)), mask(img.size, ellipse(cx, cy, 5.6 * u)))
    mx, my = cx + 6.6 * u, cy - 6.6 * u
    ring = subtract(ring, mask(img.size, ellipse(mx, my, 5.2 * u)))
    moon = mask(img.size, ellipse(mx, my, 3.2 * u))
    paint(img, ring, WHITE)
    paint(img, moon, WHITE)
    return img


# ---------------------------------------------------------------- background


def handset(size):
    """The upper part of a handset, fading out towards the bottom."""
    img = Image.new("RGBA", size, (0, 0, 0, 0))
    left, top, right = PHONE_LEFT, PHONE_TOP, PHONE_RIGHT
    width = right - left
    cx = (left + right) / 2
    bottom = top + 2 * width
    corner = width * 0.15
    # Top button and ringer switch, under the body's edge.
    steel = [(0.0, (196, 202, 210)), (1.0, (112, 120, 132))]
    paint(img, mask(size, rrect(*PHONE_BUTTON, 2)), vgradient(size, steel, PHONE_BUTTON[1], PHONE_BUTTON[3]))
    paint(img, mask(size, rrect(left - 3, top + 24, left + 2, top + 35, 1.5)),
          vgradient(size, steel, top + 24, top + 35))
    # Steel rim around a black glass front.
    body = mask(size, rrect(left, top, right, bottom, corner))
    rim_steps = [(0.0, (228, 232, 238)), (0.5, (166, 174, 184)), (1.0, (204, 210, 218))]
    paint(img, body, vgradient(size, rim_steps, top, top + 110))
    front = mask(size, rrect(left + 2.4, top + 2.4, right - 2.4, bottom - 2.4, corner - 2.4))
    paint(img, front, vgradient(size, [(0.0, (56, 62, 72)), (1.0, (14, 16, 20))], top, top + 110))
    # Earpiece and front camera.
    ear_y = top + width * 0.16
    paint(img, mask(size, rrect(cx - 14, ear_y - 2.5, cx + 14, ear_y + 2.5, 2.5)), (82, 90, 102))
    paint(img, mask(size, rrect(cx - 13, ear_y - 1.5, cx + 13, ear_y + 1.5, 1.5)), (22, 24, 28))
    cam_x = cx - 27
    paint(img, mask(size, ellipse(cam_x, ear_y, 3)), (74, 82, 96))
    paint(img, mask(size, ellipse(cam_x, ear_y, 1.6)), (20, 28, 52))
    paint(img, mask(size, ellipse(cam_x - 0.6, ear_y - 0.6, 0.6)), (120, 140, 190))
    # The screen: a blue wallpaper with a row of application tiles.
    inset = width * 0.075
    sx0, sy0, sx1 = left + inset, top + width * 0.3, right - inset
    screen = mask(size, rrect(sx0, sy0, sx1, bottom, 1))
    wall = [(0.0, (30, 74, 156)), (0.5, (28, 112, 172)), (1.0, (22, 148, 152))]
    paint(img, screen, vgradient(size, wall, sy0, sy0 + 90))
    tiles = [((104, 214, 140), (40, 160, 86)), ((110, 176, 255), (38, 110, 220)), ((255, 200, 96), (236, 134, 30)),
             ((250, 120, 120), (214, 60, 70))]
    tile = (sx1 - sx0) * 0.18
    gap = ((sx1 - sx0) - 4 * tile) / 4
    tile_y = 134
    x = sx0 + gap / 2
    for light, dark in tiles:
        paint(img, mask(size, rrect(x, tile_y, x + tile, tile_y + tile, tile * 0.24)),
              vgradient(size, [(0.0, light), (1.0, dark)], tile_y, tile_y + tile))
        shine = rrect(x + 0.5, tile_y + 0.5, x + tile - 0.5, tile_y + tile / 2, tile * 0.2, (True, True, False, False))
        paint(img, scale(mask(size, shine), 0.22), WHITE)
        x += tile + gap
    # A glint across the glass.
    glint = intersect(front, mask(size, polygon([(left, top), (left + width * 0.6, top), (left, top + width * 0.8)])))
    paint(img, scale(glint, 0.07), WHITE)
    img.putalpha(fade_rows(img.getchannel("A"), 142, 165))
    return img


def background():
    size = WINDOW
    img = Image.new("RGBA", size, (0, 0, 0, 0))
    x0, y0, x1, y1 = PANEL
    panel = mask(size, rrect(x0, y0, x1, y1, PANEL_RADIUS))
    # Soft shadow in the margin, a little heavier below.
    shadow = mask(size, rrect(x0 + 1, y0 + 2, x1 - 1, y1 + 1.5, PANEL_RADIUS))
    shadow = shadow.filter(ImageFilter.GaussianBlur(2.6))
    paint(img, scale(shadow, 0.34), (20, 32, 48))
    paint(img, panel, vgradient(size, [(0.0, PANEL_TOP), (1.0, PANEL_BOTTOM)], y0, y1))
    # A pale glow behind the device.
    glow = mask(size, ellipse(204, 112, 130, 84)).filter(ImageFilter.GaussianBlur(22))
    paint(img, scale(intersect(glow, panel), 0.55), (214, 240, 226))
    # Two soft waves along the bottom of the panel.
    for phase, base, amp, colour, strength in ((0.0, 192, 7, (204, 237, 218), 0.7), (2.2, 199, 6, (208, 226, 246), 0.65)):
        points = [(x0, y1 + 2)]
        for i in range(0, 81):
            x = x0 + (x1 - x0) * i / 80
            points.append((x, base + amp * math.sin(phase + 2 * math.pi * (x - x0) / 300)))
        points.append((x1, y1 + 2))
        wave = intersect(mask(size, polygon(points)), panel)
        paint(img, scale(wave, strength), colour)
    # Edge of the panel: a hairline inside its outline, lighter at the top.
    edge = subtract(panel, mask(size, rrect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, PANEL_RADIUS - 1)))
    paint(img, edge, vgradient(size, [(0.0, (214, 221, 229)), (1.0, PANEL_EDGE)], y0, y1))
    img.alpha_composite(handset(size))
    # Logo and product name at the top left.
    img.alpha_composite(logo(28), dest=(18, 12))
    paint(img, heavy_text_mask(size, (54, 32), "Orvex", 19), INK)
    name_width = font(19).getlength("Orvex")
    paint(img, heavy_text_mask(size, (54 + name_width + 1, 32), "助手", 19), GREEN_DARK)
    # The maker's web address at the lower right.
    f = font(12)
    ink_left = f.getbbox(WEB_ADDRESS, anchor="ls")[0]
    paint(img, text_mask(size, (WEB_ADDRESS_LEFT - ink_left, WEB_ADDRESS_BASELINE), WEB_ADDRESS, 12), LINK)
    return img


# ---------------------------------------------------------------- bars

PILL = (0, 1, BAR[0], BAR[1] - 1)  # the bars' outline inside their 313 x 40 box
PILL_RADIUS = (PILL[3] - PILL[1]) / 2


def pill_mask():
    return mask(BAR, rrect(*PILL, PILL_RADIUS))


def bar(light, mid, dark, glyph=None):
    """A rounded bar with a gradient body, a glossy top and a darker hairline edge."""
    img = Image.new("RGBA", BAR, (0, 0, 0, 0))
    x0, y0, x1, y1 = PILL
    body = pill_mask()
    paint(img, body, vgradient(BAR, [(0.0, light), (0.5, mid), (1.0, dark)], y0, y1))
    gloss = mask(BAR, rrect(x0 + 3, y0 + 1.5, x1 - 3, y0 + 18, 16))
    paint(img, scale(gloss, 0.18), WHITE)
    inner = mask(BAR, rrect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, PILL_RADIUS - 1))
    paint(img, scale(subtract(body, inner), 0.75), mix(dark, (0, 0, 0), 0.12))
    if glyph:
        glyph(img, dark)
    return img


def exclamation_glyph(img, colour):
    cx, cy = 24, 20
    paint(img, mask(BAR, ellipse(cx, cy, 9)), WHITE)
    mark = mask(BAR, rrect(cx - 1.25, cy - 5.8, cx + 1.25, cy + 2.2, 1.25), ellipse(cx, cy + 4.6, 1.45))
    paint(img, mark, colour)


def device_glyph(img, colour):
    x0, y0, x1, y1 = 18, 10, 29.5, 30
    outline = subtract(mask(BAR, rrect(x0, y0, x1, y1, 2.8)), mask(BAR, rrect(x0 + 1.7, y0 + 1.7, x1 - 1.7, y1 - 1.7, 1.4)))
    paint(img, outline, WHITE)
    cx = (x0 + x1) / 2
    paint(img, mask(BAR, rrect(x0 + 2.9, y0 + 4.2, x1 - 2.9, y1 - 5.2, 0.5)), WHITE)
    paint(img, mask(BAR, ellipse(cx, y1 - 2.6, 1.1)), WHITE)
    paint(img, mask(BAR, rrect(cx - 1.6, y0 + 2.2, cx + 1.6, y0 + 3.0, 0.4)), WHITE)


def track():
    """The progress track: a recessed grey bar."""
    img = Image.new("RGBA", BAR, (0, 0, 0, 0))
    x0, y0, x1, y1 = PILL
    body = pill_mask()
    paint(img, body, vgradient(BAR, [(0.0, GREY_DARK), (0.3, GREY), (1.0, GREY_LIGHT)], y0, y1))
    # An inner shadow along the top edge.
    lower = mask(BAR, rrect(x0 + 1, y0 + 2.5, x1 - 1, y1 + 6, PILL_RADIUS))
    paint(img, scale(subtract(body, lower), 0.35), (40, 48, 58))
    inner = mask(BAR, rrect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, PILL_RADIUS - 1))
    paint(img, scale(subtract(body, inner), 0.6), (104, 114, 126))
    return img


def fill_cap(bg):
    """The white crescent that rounds the fill's cut left end: the panel seen
    around the bar's left end, taken from the background itself."""
    w, h = 21, BAR[1]
    outside = ImageChops.invert(pill_mask().crop((0, 0, w, h)))
    panel = bg.crop((BAR_AT[0], BAR_AT[1], BAR_AT[0] + w, BAR_AT[1] + h))
    cap = panel.copy()
    cap.putalpha(intersect(panel.getchannel("A"), outside))
    return cap


# ---------------------------------------------------------------- buttons

TAB_TOP, TAB_BOTTOM = PANEL[1] + 1, 31


def tab(width, shape, glyph, hover):
    """A button tab at the panel's top right; `shape(dx)` gives its outline
    in the tab box's own coordinates."""
    size = (width, 40)
    img = Image.new("RGBA", size, (0, 0, 0, 0))
    outline = mask(size, shape(0, 0))
    if hover:
        stops = [(0.0, (255, 255, 255)), (1.0, (246, 249, 252))]
        glyph_colour = (32, 42, 56)
    else:
        stops = [(0.0, (234, 238, 243)), (1.0, (219, 226, 233))]
        glyph_colour = (96, 108, 124)
    paint(img, outline, vgradient(size, stops, TAB_TOP, TAB_BOTTOM))
    # A hairline on the edges that face the panel (left and bottom).
    shifted = mask(size, shape(1, -1))
    paint(img, subtract(outline, shifted), (196, 205, 216))
    glyph(img, size, glyph_colour)
    return img


def min_shape(dx, dy):
    return rrect(0 + dx, TAB_TOP + dy, 36 + 8, TAB_BOTTOM + dy, 6, (False, False, False, True))


def close_shape(dx, dy):
    x1 = PANEL[2] - 1 - CLOSE_AT[0]
    return rrect(0 + dx - 8, TAB_TOP + dy, x1, TAB_BOTTOM + dy, PANEL_RADIUS - 1, (False, True, False, False))


def dash_glyph(img, size, colour):
    cy = (TAB_TOP + TAB_BOTTOM) / 2 + 1
    paint(img, mask(size, rrect(12.5, cy - 1, 24.5, cy + 1, 1)), colour)


def cross_glyph(img, size, colour):
    cx, cy, r = 20.5, (TAB_TOP + TAB_BOTTOM) / 2, 5.2
    paint(img, mask(size, line(cx - r, cy - r, cx + r, cy + r, 2.0), line(cx - r, cy + r, cx + r, cy - r, 2.0)),
          colour)


def minimise(hover):
    return tab(36, min_shape, dash_glyph, hover)


def close(hover):
    img = tab(48, close_shape, cross_glyph, hover)
    # The separator between the two tabs.
    paint(img, mask(img.size, rrect(0, TAB_TOP, 1, TAB_BOTTOM, 0)), (206, 214, 224) if not hover else (214, 222, 231))
    return img


# ---------------------------------------------------------------- arrow and spinner


def arrow():
    size = (24, 25)
    img = Image.new("RGBA", size, (0, 0, 0, 0))
    shape = mask(size, rrect(8, 1, 16, 13, 1.5), polygon([(1.5, 10.5), (22.5, 10.5), (12, 23.5)]))
    # A light halo keeps the arrow apart from whatever lies under it.
    halo = shape.filter(ImageFilter.MaxFilter(3)).filter(ImageFilter.GaussianBlur(0.6))
    paint(img, scale(halo, 0.8), WHITE)
    paint(img, shape, vgradient(size, [(0.0, (102, 110, 122)), (1.0, (54, 60, 70))], 1, 24))
    return img


SPINNER = (32, 40)
SPINNER_CENTRE = (19, 20)


def spinner(step):
    """Frame `step` (0-11) of the ring: a green and a blue arc, each with a
    fading tail, turned by 30 degrees per step."""
    img = Image.new("RGBA", SPINNER, (0, 0, 0, 0))
    cx, cy = SPINNER_CENTRE
    disc = mask(SPINNER, ellipse(cx, cy, 12.8))
    rim = subtract(disc, mask(SPINNER, ellipse(cx, cy, 11.8)))
    shadow = mask(SPINNER, ellipse(cx, cy + 0.8, 12.8)).filter(ImageFilter.GaussianBlur(0.8))
    paint(img, scale(shadow, 0.35), (0, 20, 10))
    paint(img, disc, vgradient(SPINNER, [(0.0, (255, 255, 255)), (1.0, (236, 241, 246))], cy - 12.8, cy + 12.8))
    paint(img, scale(rim, 0.5), (190, 200, 210))
    radius, width = 8.0, 3.4
    for index, colour in ((0, GREEN), (1, BLUE)):
        head = step * 30 + index * 180 - 90 + 150
        m = arc_mask(cx, cy, radius, width, head - 150, head)
        paint(img, m, colour)
    return img


def arc_mask(cx, cy, radius, width, start, end):
    """An arc from `start` to `end` degrees (clockwise from three o'clock)
    with a round head at `end` and a tail that fades towards `start`."""
    w, h = SPINNER
    big = Image.new("L", (w * SS, h * SS), 0)
    d = ImageDraw.Draw(big)
    s = SS
    box = [(cx - radius - width / 2) * s, (cy - radius - width / 2) * s, (cx + radius + width / 2) * s,
           (cy + radius + width / 2) * s]
    pieces = 60
    for i in range(pieces):
        a0 = start + (end - start) * i / pieces
        a1 = start + (end - start) * (i + 1) / pieces + 0.6
        t = (i + 1) / pieces
        value = int(round(255 * (0.08 + 0.92 * t * t)))
        d.arc(box, a0, min(a1, end), fill=value, width=round(width * s))
    hx = cx + radius * math.cos(math.radians(end))
    hy = cy + radius * math.sin(math.radians(end))
    ellipse(hx, hy, width / 2)(d, s)
    return big.resize((w, h), Image.BOX)


# ---------------------------------------------------------------- the set

SPINNER_IDS = (187, 188, 189, 190, 191, 192, 7, 194, 195, 196, 197, 198)

# Resource number -> (file name, interlaced). The sizes are those the window's
# geometry is built on; main() checks every picture against them.
TABLE = {
    1003: ("1003-background.png", False, (390, 220)),
    171: ("171-bar-message.png", False, (313, 40)),
    172: ("172-bar-action.png", False, (313, 40)),
    184: ("184-bar-action-hover.png", False, (313, 40)),
    176: ("176-bar-success.png", False, (313, 40)),
    173: ("173-bar-track.png", False, (313, 40)),
    174: ("174-bar-fill.png", False, (313, 40)),
    175: ("175-fill-cap.png", False, (21, 40)),
    177: ("177-minimise.png", True, (36, 40)),
    183: ("183-minimise-hover.png", True, (36, 40)),
    179: ("179-close.png", True, (48, 40)),
    180: ("180-close-hover.png", True, (48, 40)),
    186: ("186-arrow.png", True, (24, 25)),
}
for _n, _id in enumerate(SPINNER_IDS):
    TABLE[_id] = ("%d-spinner-%02d.png" % (_id, _n + 1), False, (32, 40))

ICON_FILE = "InstallOrvex.ico"
ICON_SIZES = (16, 24, 32, 48, 256)


def draw_all():
    """Resource number -> RGBA image, for every skin image."""
    bg = background()
    action = bar(GREEN_LIGHT, GREEN, GREEN_DARK, device_glyph)
    images = {
        1003: bg,
        171: bar(AMBER_LIGHT, AMBER, AMBER_DARK, exclamation_glyph),
        172: action,
        184: bar(GREEN_HOVER_LIGHT, GREEN_HOVER, GREEN_HOVER_DARK, device_glyph),
        176: action.copy(),
        173: track(),
        174: bar(GREEN_LIGHT, GREEN, GREEN_DARK),
        175: fill_cap(bg),
        177: minimise(False),
        183: minimise(True),
        179: close(False),
        180: close(True),
        186: arrow(),
    }
    for n, rid in enumerate(SPINNER_IDS):
        images[rid] = spinner(n)
    return images


def icon_images():
    return [logo(size) for size in ICON_SIZES]


def write_all(res_dir, images=None):
    images = draw_all() if images is None else images
    skin_dir = os.path.join(res_dir, "skin")
    os.makedirs(skin_dir, exist_ok=True)
    for rid, image in sorted(images.items()):
        name, interlaced, size = TABLE[rid]
        if image.size != size or image.mode != "RGBA":
            raise SystemExit("image %d is %s %s, expected %s RGBA" % (rid, image.size, image.mode, size))
        with open(os.path.join(skin_dir, name), "wb") as f:
            f.write(pngio.png_bytes(image, interlaced))
    with open(os.path.join(res_dir, ICON_FILE), "wb") as f:
        f.write(pngio.ico_bytes(icon_images()))


def outputs():
    return [os.path.join("skin", name) for name, _, _ in TABLE.values()] + [ICON_FILE]


def check(res_dir):
    """Redraws everything and compares with the files in res_dir: the same
    bytes, the header the table asks for, and pixels that decode back to the
    drawing."""
    problems = []
    images = draw_all()
    with tempfile.TemporaryDirectory() as tmp:
        write_all(tmp, images)
        for rel in sorted(outputs()):
            with open(os.path.join(tmp, rel), "rb") as f:
                fresh = f.read()
            try:
                with open(os.path.join(res_dir, rel), "rb") as f:
                    committed = f.read()
            except OSError:
                problems.append("%s: missing" % rel)
                continue
            if fresh != committed:
                problems.append("%s: differs from a fresh drawing" % rel)
    for rid, (name, interlaced, size) in sorted(TABLE.items()):
        path = os.path.join(res_dir, "skin", name)
        if not os.path.exists(path):
            continue
        with open(path, "rb") as f:
            header = pngio.png_header(f.read(64))
        if header != (size[0], size[1], 8, 6, int(interlaced)):
            problems.append("%s: header %s" % (name, header))
        try:
            with Image.open(path) as decoded:
                pixels = decoded.convert("RGBA").tobytes()
        except OSError as error:
            problems.append("%s: does not decode (%s)" % (name, error))
            continue
        if pixels != images[rid].tobytes():
            problems.append("%s: decodes to other pixels than drawn" % name)
    for p in problems:
        print(p)
    print("%d files checked, %d problems" % (len(outputs()), len(problems)))
    return 1 if problems else 0


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=here, help="resource folder to write (default: res/)")
    parser.add_argument("--check", metavar="RES_DIR", help="compare a fresh drawing with RES_DIR")
    args = parser.parse_args()
    if args.check:
        return check(args.check)
    write_all(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
